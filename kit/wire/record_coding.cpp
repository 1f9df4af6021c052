// JSON forms of every body record and of the message envelope.
#include <fmt/format.h>

#include "kit/wire/envelope.h"
#include "kit/wire/json.h"
#include "kit/wire/json_text.h"
#include "kit/wire/message.h"

namespace tillerpad::kit {
namespace {

using json::Json;
using json::Reader;
using json::Writer;
using Kind = DecodingError::Kind;

// Codable<T>: write(Writer&, const T&) and read(const Reader&) for one record.
template <class T>
struct Codable;

template <class T>
Json toJson(const T& record, BlobSink* sink) {
  Writer w(sink);
  Codable<T>::write(w, record);
  return w.take();
}

template <class T>
T fromJson(const Reader& r) {
  if (!r.value().is_object()) {
    r.fail(Kind::typeMismatch, "Expected to decode Dictionary but found another value instead.");
  }
  return Codable<T>::read(r);
}

// A nested record under `key`.
template <class T>
T nested(const Reader& r, std::string_view key) {
  const Json& v = r.required(key);
  return fromJson<T>(r.child(v, key));
}

template <class T>
std::optional<T> optionalNested(const Reader& r, std::string_view key) {
  const Json* v = r.find(key);
  if (!v) return std::nullopt;
  return fromJson<T>(r.child(*v, key));
}

template <class T>
T openText(const Reader& r, std::string_view key) {
  return T(r.get<std::string>(key));
}

template <class T>
struct EmptyCodable {
  static void write(Writer&, const T&) {}
  static T read(const Reader&) { return T{}; }
};

template <class T, class Action>
struct ActionCodable {
  static void write(Writer& w, const T& c) { w.put("action", c.action.rawValue); }
  static T read(const Reader& r) { return T{openText<Action>(r, "action")}; }
};

MouseButton readButton(const Reader& r, std::string_view key) {
  std::string text = r.get<std::string>(key);
  auto button = mouseButtonFromText(text);
  if (!button) {
    r.failAt(key, Kind::dataCorrupted, fmt::format("Cannot initialize MouseButton from invalid String value {}", text));
  }
  return *button;
}

template <>
struct Codable<ProtocolVersion> {
  static void write(Writer& w, const ProtocolVersion& v) {
    w.put("major", v.major);
    w.put("minor", v.minor);
  }
  static ProtocolVersion read(const Reader& r) { return {r.get<std::int64_t>("major"), r.get<std::int64_t>("minor")}; }
};

template <>
struct Codable<DeviceInfo> {
  static void write(Writer& w, const DeviceInfo& d) {
    w.put("name", d.name);
    w.put("model", d.model);
    w.put("systemVersion", d.systemVersion);
    w.put("appVersion", d.appVersion);
  }
  static DeviceInfo read(const Reader& r) {
    return {r.get<std::string>("name"), r.get<std::string>("model"), r.get<std::string>("systemVersion"),
            r.get<std::string>("appVersion")};
  }
};

template <>
struct Codable<Hello> {
  static void write(Writer& w, const Hello& h) {
    w.put("protocolVersion", toJson(h.protocolVersion, w.sink()));
    w.put("identity", h.identity.text());
    w.put("proof", h.proof);
    w.put("device", toJson(h.device, w.sink()));
  }
  static Hello read(const Reader& r) {
    Hello h;
    h.protocolVersion = nested<ProtocolVersion>(r, "protocolVersion");
    auto identity = PeerIdentity::parse(r.get<std::string>("identity"));
    if (!identity) r.failAt("identity", Kind::dataCorrupted, "Invalid peer identity");
    h.identity = *identity;
    h.proof = r.get<Bytes>("proof");
    h.device = nested<DeviceInfo>(r, "device");
    return h;
  }
};

template <>
struct Codable<Welcome> {
  static void write(Writer& w, const Welcome& m) {
    w.put("protocolVersion", toJson(m.protocolVersion, w.sink()));
    w.put("macID", m.macID);
    w.put("macName", m.macName);
    w.put("appVersion", m.appVersion);
    w.putOptional("fastPort", m.fastPort);
  }
  static Welcome read(const Reader& r) {
    return {nested<ProtocolVersion>(r, "protocolVersion"), r.get<Uuid>("macID"), r.get<std::string>("macName"),
            r.get<std::string>("appVersion"), r.optional<std::uint16_t>("fastPort")};
  }
};

template <>
struct Codable<Ping> {
  static void write(Writer& w, const Ping& p) {
    w.put("id", p.id);
    w.put("sentAt", p.sentAt);
  }
  static Ping read(const Reader& r) { return {r.get<std::uint64_t>("id"), r.get<double>("sentAt")}; }
};

template <>
struct Codable<ErrorMessage> {
  static void write(Writer& w, const ErrorMessage& e) {
    w.put("code", e.code.rawValue);
    w.putOptional("detail", e.detail);
  }
  static ErrorMessage read(const Reader& r) {
    return {openText<ErrorCode>(r, "code"), r.optional<std::string>("detail")};
  }
};

template <>
struct Codable<Bye> {
  static void write(Writer& w, const Bye& b) { w.put("reason", b.reason.rawValue); }
  static Bye read(const Reader& r) { return {openText<ByeReason>(r, "reason")}; }
};

template <>
struct Codable<PairRequest> {
  static void write(Writer& w, const PairRequest& p) { w.put("publicKey", p.publicKey); }
  static PairRequest read(const Reader& r) { return {r.get<Bytes>("publicKey")}; }
};

template <>
struct Codable<PairResult> {
  static void write(Writer& w, const PairResult& p) {
    w.put("accepted", p.accepted);
    w.putOptional("macPublicKey", p.macPublicKey);
    if (p.rejection) w.put("rejection", p.rejection->rawValue);
  }
  static PairResult read(const Reader& r) {
    PairResult p;
    p.accepted = r.get<bool>("accepted");
    p.macPublicKey = r.optional<Bytes>("macPublicKey");
    if (auto text = r.optional<std::string>("rejection")) p.rejection = PairingRejection(std::move(*text));
    return p;
  }
};

template <>
struct Codable<MouseButtonEvent> {
  static void write(Writer& w, const MouseButtonEvent& e) {
    w.put("button", toText(e.button));
    w.put("action", toText(e.action));
  }
  static MouseButtonEvent read(const Reader& r) {
    MouseButtonEvent e;
    e.button = readButton(r, "button");
    std::string text = r.get<std::string>("action");
    auto action = mouseActionFromText(text);
    if (!action) {
      r.failAt("action", Kind::dataCorrupted,
               fmt::format("Cannot initialize Action from invalid String value {}", text));
    }
    e.action = *action;
    return e;
  }
};

template <>
struct Codable<KeyPress> {
  static void write(Writer& w, const KeyPress& k) {
    w.put("key", k.key.rawValue);
    w.put("modifiers", k.modifiers.rawValue);
  }
  static KeyPress read(const Reader& r) {
    return {openText<Key>(r, "key"), Modifiers{r.get<std::int64_t>("modifiers")}};
  }
};

template <>
struct Codable<TextInput> {
  static void write(Writer& w, const TextInput& t) { w.put("text", t.text); }
  static TextInput read(const Reader& r) { return {r.get<std::string>("text")}; }
};

template <>
struct Codable<InputSettings> {
  static void write(Writer& w, const InputSettings& s) {
    w.put("pointerSpeed", s.pointerSpeed);
    w.put("pointerAcceleration", s.pointerAcceleration);
    w.put("scrollSpeed", s.scrollSpeed);
    w.put("naturalScrolling", s.naturalScrolling);
  }
  static InputSettings read(const Reader& r) {
    return {r.get<double>("pointerSpeed"), r.get<double>("pointerAcceleration"), r.get<double>("scrollSpeed"),
            r.get<bool>("naturalScrolling")};
  }
};

template <>
struct Codable<PermissionStatus> {
  static void write(Writer& w, const PermissionStatus& p) {
    w.put("accessibility", p.accessibility);
    w.put("screenRecording", p.screenRecording);
  }
  static PermissionStatus read(const Reader& r) {
    return {r.get<bool>("accessibility"), r.get<bool>("screenRecording")};
  }
};

template <>
struct Codable<MediaCommand> : ActionCodable<MediaCommand, MediaAction> {};
template <>
struct Codable<PowerCommand> : ActionCodable<PowerCommand, PowerAction> {};
template <>
struct Codable<MissionControlCommand> : ActionCodable<MissionControlCommand, MissionControlAction> {};
template <>
struct Codable<AppListRequest> : EmptyCodable<AppListRequest> {};
template <>
struct Codable<ScreenStop> : EmptyCodable<ScreenStop> {};

template <>
struct Codable<MacApp> {
  static void write(Writer& w, const MacApp& a) {
    w.put("bundleID", a.bundleID);
    w.put("name", a.name);
    w.put("isRunning", a.isRunning);
    w.put("isActive", a.isActive);
  }
  static MacApp read(const Reader& r) {
    return {r.get<std::string>("bundleID"), r.get<std::string>("name"), r.get<bool>("isRunning"),
            r.get<bool>("isActive")};
  }
};

template <>
struct Codable<AppList> {
  static void write(Writer& w, const AppList& l) {
    Json apps = Json::array();
    for (const auto& app : l.apps) apps.push_back(toJson(app, w.sink()));
    w.put("apps", std::move(apps));
  }
  static AppList read(const Reader& r) { return {r.array<MacApp>("apps", fromJson<MacApp>)}; }
};

template <>
struct Codable<AppIconRequest> {
  static void write(Writer& w, const AppIconRequest& a) {
    w.put("bundleID", a.bundleID);
    w.put("pixelSize", a.pixelSize);
  }
  static AppIconRequest read(const Reader& r) {
    return {r.get<std::string>("bundleID"), r.get<std::int64_t>("pixelSize")};
  }
};

template <>
struct Codable<AppIcon> {
  static void write(Writer& w, const AppIcon& a) {
    w.put("bundleID", a.bundleID);
    w.put("pixelSize", a.pixelSize);
    w.put("png", a.png);
  }
  static AppIcon read(const Reader& r) {
    return {r.get<std::string>("bundleID"), r.get<std::int64_t>("pixelSize"), r.get<Blob>("png")};
  }
};

template <>
struct Codable<AppOpen> {
  static void write(Writer& w, const AppOpen& a) { w.put("bundleID", a.bundleID); }
  static AppOpen read(const Reader& r) { return {r.get<std::string>("bundleID")}; }
};

template <>
struct Codable<DisplayInfo> {
  static void write(Writer& w, const DisplayInfo& d) {
    w.put("id", d.id);
    w.put("name", d.name);
    w.put("pointWidth", d.pointWidth);
    w.put("pointHeight", d.pointHeight);
    w.put("isMain", d.isMain);
  }
  static DisplayInfo read(const Reader& r) {
    return {r.get<std::uint32_t>("id"), r.get<std::string>("name"), r.get<std::int64_t>("pointWidth"),
            r.get<std::int64_t>("pointHeight"), r.get<bool>("isMain")};
  }
};

template <>
struct Codable<ScreenStart> {
  static void write(Writer& w, const ScreenStart& s) {
    w.putOptional("displayID", s.displayID);
    w.put("maxPixelWidth", s.maxPixelWidth);
    w.put("maxFramesPerSecond", s.maxFramesPerSecond);
  }
  static ScreenStart read(const Reader& r) {
    return {r.optional<std::uint32_t>("displayID"), r.get<std::int64_t>("maxPixelWidth"),
            r.get<std::int64_t>("maxFramesPerSecond")};
  }
};

template <>
struct Codable<ScreenInfo> {
  static void write(Writer& w, const ScreenInfo& s) {
    Json displays = Json::array();
    for (const auto& d : s.displays) displays.push_back(toJson(d, w.sink()));
    w.put("displays", std::move(displays));
    w.put("displayID", s.displayID);
  }
  static ScreenInfo read(const Reader& r) {
    return {r.array<DisplayInfo>("displays", fromJson<DisplayInfo>), r.get<std::uint32_t>("displayID")};
  }
};

template <>
struct Codable<ScreenFrame> {
  static void write(Writer& w, const ScreenFrame& f) {
    w.put("frameID", f.frameID);
    w.put("displayID", f.displayID);
    w.put("pixelWidth", f.pixelWidth);
    w.put("pixelHeight", f.pixelHeight);
    w.put("jpeg", f.jpeg);
  }
  static ScreenFrame read(const Reader& r) {
    return {r.get<std::uint64_t>("frameID"), r.get<std::uint32_t>("displayID"), r.get<std::int64_t>("pixelWidth"),
            r.get<std::int64_t>("pixelHeight"), r.get<Blob>("jpeg")};
  }
};

template <>
struct Codable<ScreenFrameAck> {
  static void write(Writer& w, const ScreenFrameAck& a) { w.put("frameID", a.frameID); }
  static ScreenFrameAck read(const Reader& r) { return {r.get<std::uint64_t>("frameID")}; }
};

template <>
struct Codable<ClickAt> {
  static void write(Writer& w, const ClickAt& c) {
    w.put("displayID", c.displayID);
    w.put("x", c.x);
    w.put("y", c.y);
    w.put("button", toText(c.button));
  }
  static ClickAt read(const Reader& r) {
    return {r.get<std::uint32_t>("displayID"), r.get<double>("x"), r.get<double>("y"), readButton(r, "button")};
  }
};

template <>
struct Codable<ClipboardImage> {
  static void write(Writer& w, const ClipboardImage& i) {
    w.put("format", i.format.rawValue);
    w.put("data", i.data);
  }
  static ClipboardImage read(const Reader& r) { return {openText<ImageFormat>(r, "format"), r.get<Blob>("data")}; }
};

template <>
struct Codable<ClipboardContent> {
  static void write(Writer& w, const ClipboardContent& c) {
    w.putOptional("text", c.text);
    if (c.image) w.put("image", toJson(*c.image, w.sink()));
    w.put("pasteAfterwards", c.pasteAfterwards);
  }
  static ClipboardContent read(const Reader& r) {
    return {r.optional<std::string>("text"), optionalNested<ClipboardImage>(r, "image"),
            r.get<bool>("pasteAfterwards")};
  }
};

template <>
struct Codable<ClipboardSubscription> {
  static void write(Writer& w, const ClipboardSubscription& s) { w.put("enabled", s.enabled); }
  static ClipboardSubscription read(const Reader& r) { return {r.get<bool>("enabled")}; }
};

template <>
struct Codable<SharingSettings> {
  static void write(Writer& w, const SharingSettings& s) {
    w.put("clipboard", s.clipboard);
    w.put("screen", s.screen);
  }
  static SharingSettings read(const Reader& r) { return {r.get<bool>("clipboard"), r.get<bool>("screen")}; }
};

// ---- the envelope

using BodyReader = Message (*)(const Reader&);

template <MessageType T>
Message readBody(const Reader& r) {
  return Message::make<T>(nested<Message::BodyOf<T>>(r, "body"));
}

constexpr std::array<BodyReader, messageTypeCount> kBodyReaders{
#define TILLERPAD_X(name, body) &readBody<MessageType::name>,
    TILLERPAD_MESSAGE_TYPES(TILLERPAD_X)
#undef TILLERPAD_X
};

}  // namespace

std::string envelope::write(const Message& message, BlobSink* sink) {
  return std::visit(
      [&](const auto& body) -> std::string {
        using B = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<B, UnknownMessage>) {
          throw EncodingError("Cannot send a message of unknown type " + body.type);
        } else {
          Json out = Json::object();
          out["type"] = message.type();
          out["body"] = toJson(body, sink);
          return json::dump(out);
        }
      },
      message.body());
}

Message envelope::read(std::string_view text, const BlobSource* source) {
  Json document = json::parse(text);
  Reader r(document, source);
  if (!document.is_object()) r.fail(Kind::typeMismatch, "Expected to decode Dictionary but found another value instead.");
  std::string type = r.get<std::string>("type");
  auto kind = messageTypeFromRaw(type);
  if (!kind) return Message::unknown(std::move(type));
  return kBodyReaders[static_cast<std::size_t>(*kind)](r);
}

// ---- records outside the codec

template <class Record>
std::string toJsonText(const Record& record) {
  return json::dump(toJson(record, nullptr));
}

template <class Record>
Record fromJsonText(std::string_view text) {
  Json document = json::parse(text);
  return fromJson<Record>(Reader(document, nullptr));
}

#define TILLERPAD_INSTANTIATE(Record)                             \
  template std::string toJsonText<Record>(const Record&); \
  template Record fromJsonText<Record>(std::string_view);

TILLERPAD_INSTANTIATE(Hello)
TILLERPAD_INSTANTIATE(Welcome)
TILLERPAD_INSTANTIATE(Ping)
TILLERPAD_INSTANTIATE(ErrorMessage)
TILLERPAD_INSTANTIATE(Bye)
TILLERPAD_INSTANTIATE(PairRequest)
TILLERPAD_INSTANTIATE(PairResult)
TILLERPAD_INSTANTIATE(MouseButtonEvent)
TILLERPAD_INSTANTIATE(KeyPress)
TILLERPAD_INSTANTIATE(TextInput)
TILLERPAD_INSTANTIATE(InputSettings)
TILLERPAD_INSTANTIATE(PermissionStatus)
TILLERPAD_INSTANTIATE(MediaCommand)
TILLERPAD_INSTANTIATE(PowerCommand)
TILLERPAD_INSTANTIATE(AppListRequest)
TILLERPAD_INSTANTIATE(AppList)
TILLERPAD_INSTANTIATE(AppIconRequest)
TILLERPAD_INSTANTIATE(AppIcon)
TILLERPAD_INSTANTIATE(AppOpen)
TILLERPAD_INSTANTIATE(ScreenStart)
TILLERPAD_INSTANTIATE(ScreenStop)
TILLERPAD_INSTANTIATE(ScreenInfo)
TILLERPAD_INSTANTIATE(ScreenFrame)
TILLERPAD_INSTANTIATE(ScreenFrameAck)
TILLERPAD_INSTANTIATE(ClickAt)
TILLERPAD_INSTANTIATE(ClipboardContent)
TILLERPAD_INSTANTIATE(ClipboardSubscription)
TILLERPAD_INSTANTIATE(SharingSettings)
TILLERPAD_INSTANTIATE(MissionControlCommand)
TILLERPAD_INSTANTIATE(ProtocolVersion)
TILLERPAD_INSTANTIATE(DeviceInfo)
TILLERPAD_INSTANTIATE(MacApp)
TILLERPAD_INSTANTIATE(DisplayInfo)
TILLERPAD_INSTANTIATE(ClipboardImage)
#undef TILLERPAD_INSTANTIATE

}  // namespace tillerpad::kit

#include "kit/wire/message_codec.h"

#include <gtest/gtest.h>

#include <functional>

#include "kit/common/coding_error.h"
#include "kit/wire/byte_reader.h"
#include "kit/wire/framing.h"
#include "kit/wire/wire_error.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using testing::payload;

std::string jsonOf(const Bytes& encoded) {
  ByteReader r(encoded);
  std::uint32_t length = r.readUInt32();
  return std::string(asText(r.readView(length)));
}

Message roundTrip(const Message& m) { return MessageCodec::decode(MessageCodec::encode(m)); }

ScreenFrame frameWith(Bytes jpeg) {
  return ScreenFrame{ScreenFrame::makeFrameID(2, 1), 7, 640, 480, Blob{std::move(jpeg)}};
}

TEST(MessageCodec, GoldenBytesOfWholeMessages) {
  // screenStop: the empty body and no attachments, 4 + J + 2 bytes.
  Bytes stop = MessageCodec::encode(Message::screenStop({}));
  std::string stopJson = R"({"body":{},"type":"screenStop"})";
  EXPECT_EQ(stop, payload(stopJson));
  EXPECT_EQ(stop.size(), 4 + stopJson.size() + 2);

  Bytes click = MessageCodec::encode(Message::mouseButton({MouseButton::right, MouseButtonEvent::Action::click}));
  EXPECT_EQ(click, payload(R"({"body":{"action":"click","button":"right"},"type":"mouseButton"})"));

  Bytes frame = MessageCodec::encode(Message::screenFrame(frameWith(Bytes{0xFF, 0xD8, 0xFF, 0xD9})));
  EXPECT_EQ(frame, payload(R"({"body":{"displayID":7,"frameID":8589934593,"jpeg":0,"pixelHeight":480,)"
                           R"("pixelWidth":640},"type":"screenFrame"})",
                           {Bytes{0xFF, 0xD8, 0xFF, 0xD9}}));

  // encodeFrame is the frame of encode, built in one buffer.
  EXPECT_EQ(MessageCodec::encodeFrame(Message::screenStop({})), Framing::frame(stop));
}

TEST(MessageCodec, EveryKindRoundTrips) {
  const Uuid id = *Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");
  ClipboardImage image{ImageFormat::png, Blob{Bytes{1, 2, 3}}};
  const std::vector<Message> all = {
      Message::hello({ProtocolVersion::current, PeerIdentity::device(id), Bytes(32, 0xAB),
                      {"Phone", "Model 1", "18.1", "2.0"}}),
      Message::welcome({ProtocolVersion::current, id, "Desk", "1.0", 50123}),
      Message::welcome({ProtocolVersion::current, id, "Desk", "1.0", std::nullopt}),
      Message::ping({7, 12.5}),
      Message::pong({UINT64_MAX, -1e300}),
      Message::error({ErrorCode::incompatibleVersion, "Mac speaks protocol 1.5"}),
      Message::error({ErrorCode("somethingNew"), std::nullopt}),
      Message::bye({ByeReason::replaced}),
      Message::pairRequest({Bytes(32, 9)}),
      Message::pairResult(PairResult::acceptedWith(Bytes(32, 3))),
      Message::pairResult(PairResult::rejectedWith(PairingRejection::denied)),
      Message::mouseButton({MouseButton::middle, MouseButtonEvent::Action::down}),
      Message::keyPress({Key("c"), Modifiers::command() | Modifiers::shift() | Modifiers{64}}),
      Message::typeText({"h\xC3\xA9llo \xF0\x9F\x91\x8B\n"}),
      Message::inputSettings({10, 0, 0.25, false}),
      Message::permissionStatus({true, false}),
      Message::media({MediaAction::volumeUp}),
      Message::power({PowerAction("hibernate")}),
      Message::appListRequest({}),
      Message::appList({{{"org.example.Editor", "Editor", true, false}, {"b", "B", false, false}}}),
      Message::appList({}),
      Message::appIconRequest({"org.example.Editor", 128}),
      Message::appIcon({"org.example.Editor", 128, Blob{Bytes{}}}),
      Message::appOpen({"org.example.Editor"}),
      Message::screenStart({std::nullopt, 1280, 30}),
      Message::screenStart({0u, 1280, 30}),
      Message::screenStop({}),
      Message::screenInfo({{{1, "HDMI-1", 1920, 1080, true}, {UINT32_MAX, "DP-2", 1280, 1024, false}}, 1}),
      Message::screenFrame(frameWith(Bytes(1000, 0x42))),
      Message::screenFrameAck({ScreenFrame::makeFrameID(2, 1)}),
      Message::clickAt({1, 1.5, -0.25, MouseButton::left}),
      Message::clipboard(ClipboardContent::fromText("copied", true)),
      Message::clipboard(ClipboardContent::fromImage(image, false)),
      Message::clipboardSubscription({true}),
      Message::sharingSettings({true, false}),
      Message::missionControl({MissionControlAction::spaceLeft}),
  };
  std::set<std::string_view> kinds;
  for (const auto& m : all) {
    EXPECT_EQ(roundTrip(m), m) << m.type();
    kinds.insert(m.type());
  }
  EXPECT_EQ(kinds.size(), messageTypeCount);
}

TEST(MessageCodec, AttachmentsAreNumberedInWriteOrderAndCopiedVerbatim) {
  Bytes jpeg(100, 0x11);
  Bytes encoded = MessageCodec::encode(Message::screenFrame(frameWith(jpeg)));
  EXPECT_NE(jsonOf(encoded).find(R"("jpeg":0)"), std::string::npos);
  ByteReader r(encoded);
  r.readView(r.readUInt32());
  EXPECT_EQ(r.readUInt16(), 1);
  EXPECT_EQ(r.readUInt32(), 100u);
  EXPECT_EQ(r.readBytes(100), jpeg);
  EXPECT_TRUE(r.atEnd());

  // An empty PNG still travels as one attachment of length 0.
  Bytes icon = MessageCodec::encode(Message::appIcon({"x", 16, Blob{}}));
  EXPECT_EQ(icon.size(), 4 + jsonOf(icon).size() + 2 + 4);
}

TEST(MessageCodec, UnknownTypesDecodeButNeverEncode) {
  for (const char* json : {R"({"type":"Ping","body":{"id":1,"sentAt":0}})", R"({"type":"Ping"})",
                           R"({"type":"Ping","body":17})", R"({"type":"ping ","body":{}})"}) {
    Message m = MessageCodec::decode(payload(json));
    EXPECT_TRUE(m.isUnknown()) << json;
  }
  Message unknown = MessageCodec::decode(payload(R"({"type":"Ping"})"));
  EXPECT_EQ(unknown.type(), "Ping");
  EXPECT_FALSE(unknown.kind());
  try {
    MessageCodec::encode(unknown);
    FAIL() << "unknown was encoded";
  } catch (const EncodingError& e) {
    EXPECT_EQ(e.description(), "Cannot send a message of unknown type Ping");
  }
}

// ---- hostile payloads

enum class Expect { truncated, tooManyAttachments, trailingBytes, decoding };

struct BadPayload {
  const char* name;
  Bytes bytes;
  Expect expect;
  std::string description = {};  // for decoding errors, when the protocol names one
};

TEST(MessageCodec, HostilePayloadsFailWithTheirOwnError) {
  const std::string frameJson = R"({"type":"screenFrame","body":{"frameID":1,"displayID":1,"pixelWidth":1,)"
                                R"("pixelHeight":1,"jpeg":1}})";
  const std::string stop = R"({"type":"screenStop","body":{}})";
  Bytes good = payload(stop);
  Bytes oneShort(good.begin(), good.end() - 1);
  Bytes oneLong = good;
  oneLong.push_back(0);
  Bytes lyingLength = payload(stop, {Bytes(10, 1)});
  lyingLength.pop_back();

  const std::vector<BadPayload> cases = {
      {"empty", {}, Expect::truncated},
      {"three bytes", {0, 0, 0}, Expect::truncated},
      {"json shorter than announced", {0, 0, 0, 9, '{', '}'}, Expect::truncated},
      {"no attachment count", Bytes(good.begin(), good.end() - 2), Expect::truncated},
      {"one byte missing", oneShort, Expect::truncated},
      {"one byte extra", oneLong, Expect::trailingBytes},
      {"attachment shorter than announced", lyingLength, Expect::truncated},
      {"65 attachments announced", payload(stop, {}, 65), Expect::tooManyAttachments},
      {"65535 attachments announced", payload(stop, {}, 65535), Expect::tooManyAttachments},
      {"attachment index out of range", payload(frameJson, {Bytes{1}}), Expect::decoding, "Missing attachment 1"},
      {"negative attachment index",
       payload(R"({"type":"appIcon","body":{"bundleID":"a","pixelSize":1,"png":-1}})", {Bytes{1}}), Expect::decoding,
       "Missing attachment -1"},
      {"not json", payload("{"), Expect::decoding},
      {"json array", payload("[]"), Expect::decoding},
      {"type missing", payload(R"({"body":{}})"), Expect::decoding},
      {"type not a string", payload(R"({"type":3,"body":{}})"), Expect::decoding},
      {"body missing", payload(R"({"type":"screenStop"})"), Expect::decoding},
      {"body null", payload(R"({"type":"screenStop","body":null})"), Expect::decoding},
      {"body a number", payload(R"({"type":"appListRequest","body":3})"), Expect::decoding},
      {"deeply nested", payload(std::string(10000, '[') + std::string(10000, ']')), Expect::decoding},
      {"invalid utf-8", payload("{\"type\":\"typeText\",\"body\":{\"text\":\"\xC3\"}}"), Expect::decoding},
  };
  for (const auto& c : cases) {
    try {
      MessageCodec::decode(c.bytes);
      ADD_FAILURE() << c.name << ": decoded";
    } catch (const WireError& e) {
      switch (c.expect) {
        case Expect::truncated: EXPECT_EQ(e, WireError::truncated()) << c.name; break;
        case Expect::tooManyAttachments: EXPECT_EQ(e, WireError::malformed("Too many attachments")) << c.name; break;
        case Expect::trailingBytes:
          EXPECT_EQ(e, WireError::malformed("Trailing bytes after attachments")) << c.name;
          break;
        case Expect::decoding: ADD_FAILURE() << c.name << ": " << e.what(); break;
      }
    } catch (const DecodingError& e) {
      EXPECT_EQ(c.expect, Expect::decoding) << c.name << ": " << e.what();
      if (!c.description.empty()) EXPECT_EQ(e.description(), c.description) << c.name;
    }
  }
}

TEST(MessageCodec, SixtyFourAttachmentsAreTheLimit) {
  std::vector<Bytes> blobs(64, Bytes{7});
  Message m = MessageCodec::decode(payload(R"({"type":"screenStop","body":{}})", blobs));
  EXPECT_TRUE(m.is(MessageType::screenStop));
  // Unreferenced attachments are ignored; two fields may name the same one.
  Message img = MessageCodec::decode(payload(
      R"({"type":"clipboard","body":{"pasteAfterwards":false,"image":{"format":"png","data":1}}})",
      {Bytes{1}, Bytes{2, 2}}));
  EXPECT_EQ(img.get<MessageType::clipboard>().image->data.data, (Bytes{2, 2}));
}

TEST(MessageCodec, EncodingRefusesWhatCannotBeWritten) {
  EXPECT_THROW(MessageCodec::encode(Message::ping({1, std::numeric_limits<double>::quiet_NaN()})), EncodingError);
  EXPECT_THROW(MessageCodec::encode(Message::clickAt({1, std::numeric_limits<double>::infinity(), 0})),
               EncodingError);
  EXPECT_THROW(MessageCodec::encode(Message::typeText({"\xFF\xFE"})), EncodingError);
}

}  // namespace
}  // namespace tillerpad::kit

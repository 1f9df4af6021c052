#include "kit/wire/message_codec.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "kit/common/coding_error.h"
#include "kit/wire/framing.h"
#include "kit/wire/wire_error.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using testing::payload;

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
  // An empty PNG still travels as one attachment of length 0.
  EXPECT_EQ(MessageCodec::encode(Message::appIcon({"x", 16, Blob{}})),
            payload(R"({"body":{"bundleID":"x","pixelSize":16,"png":0},"type":"appIcon"})", {Bytes{}}));

  // encodeFrame is the frame of encode, built in one buffer.
  EXPECT_EQ(MessageCodec::encodeFrame(Message::screenStop({})), Framing::frame(stop));
}

// The gathered frame, joined, is the frame in one buffer; an attachment from
// gatherMinimum on is a piece that shares the message's bytes, smaller ones
// are copied in with the JSON.
TEST(MessageCodec, GatheredFrameSharesOnlyLargeAttachments) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, MessageCodec::gatherMinimum - 1, MessageCodec::gatherMinimum,
                           std::size_t{300'000}}) {
    const Message message = Message::screenFrame(frameWith(testing::counting(3, size)));
    const auto pieces = MessageCodec::encodeFramePieces(message);
    Bytes joined;
    for (const auto& piece : pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    EXPECT_EQ(joined, MessageCodec::encodeFrame(message)) << size;
    const SharedBytes& jpeg = message.get<MessageType::screenFrame>().jpeg.data;
    bool shared = std::any_of(pieces.begin(), pieces.end(), [&](const SharedBytes& piece) {
      return !jpeg.empty() && piece.data() == jpeg.data() && piece.size() == jpeg.size();
    });
    EXPECT_EQ(shared, size >= MessageCodec::gatherMinimum) << size;
  }
}

// With an owner, decoded attachments point into the payload and keep it
// alive; without one they are copies.
TEST(MessageCodec, DecodedAttachmentsShareAnOwnedPayload) {
  const Message message = Message::screenFrame(frameWith(testing::counting(5, 5000)));
  auto owned = std::make_shared<Bytes>(MessageCodec::encode(message));
  const ByteView payload(*owned);
  auto inPayload = [&](const Message& m) {
    const auto* bytes = m.get<MessageType::screenFrame>().jpeg.data.data();
    return bytes >= payload.data() && bytes < payload.data() + payload.size();
  };
  Message copied = MessageCodec::decode(payload);
  Message shared = MessageCodec::decode(payload, owned);
  EXPECT_FALSE(inPayload(copied));
  EXPECT_TRUE(inPayload(shared));
  owned.reset();  // the decoded message holds the payload now
  EXPECT_EQ(shared, message);
  EXPECT_EQ(copied, message);
}

TEST(MessageCodec, EveryKindRoundTrips) {
  const Uuid id = *Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");
  ClipboardImage image{ImageFormat::png, Blob{Bytes{1, 2, 3}}};
  const std::vector<Message> all = {
      Message::hello({ProtocolVersion::current, PeerIdentity::device(id), Bytes(32, 0xAB),
                      {"Phone", "Model 1", "18.1", "2.0"}}),
      Message::welcome({ProtocolVersion::current, id, "Desk", "1.0", 50123}),
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
    EXPECT_EQ(MessageCodec::decode(MessageCodec::encode(m)), m) << m.type();
    kinds.insert(m.type());
  }
  EXPECT_EQ(kinds.size(), messageTypeCount);
}

TEST(MessageCodec, UnknownTypesDecodeButNeverEncode) {
  for (const char* json : {R"({"type":"Ping","body":{"id":1,"sentAt":0}})", R"({"type":"Ping"})",
                           R"({"type":"Ping","body":17})", R"({"type":"ping ","body":{}})"}) {
    Message m = MessageCodec::decode(payload(json));
    EXPECT_TRUE(m.isUnknown()) << json;
  }
  Message unknown = MessageCodec::decode(payload(R"({"type":"Ping"})"));
  EXPECT_EQ(unknown.type(), "Ping");
  EXPECT_THROW(MessageCodec::encode(unknown), EncodingError);
}

// Each fails with its own wire error, or (wire empty) a decoding error, with
// the description the protocol names where it names one.
TEST(MessageCodec, HostilePayloadsFailWithTheirOwnError) {
  const std::string frameJson = R"({"type":"screenFrame","body":{"frameID":1,"displayID":1,"pixelWidth":1,)"
                                R"("pixelHeight":1,"jpeg":1}})";
  const std::string stop = R"({"type":"screenStop","body":{}})";
  const std::string truncated = WireError::truncated().what(), many = WireError::malformed("Too many attachments").what();
  Bytes good = payload(stop), oneLong = payload(stop), lyingLength = payload(stop, {Bytes(10, 1)});
  oneLong.push_back(0);
  lyingLength.pop_back();
  struct Bad {
    const char* name;
    Bytes bytes;
    std::string wire;
    std::string decoding = {};
  };
  const Bad cases[] = {
      {"empty", {}, truncated},
      {"three bytes", {0, 0, 0}, truncated},
      {"json shorter than announced", {0, 0, 0, 9, '{', '}'}, truncated},
      {"no attachment count", Bytes(good.begin(), good.end() - 2), truncated},
      {"one byte missing", Bytes(good.begin(), good.end() - 1), truncated},
      {"one byte extra", oneLong, WireError::malformed("Trailing bytes after attachments").what()},
      {"attachment shorter than announced", lyingLength, truncated},
      {"65 attachments announced", payload(stop, {}, 65), many},
      {"65535 attachments announced", payload(stop, {}, 65535), many},
      {"attachment index out of range", payload(frameJson, {Bytes{1}}), "", "Missing attachment 1"},
      {"negative attachment index",
       payload(R"({"type":"appIcon","body":{"bundleID":"a","pixelSize":1,"png":-1}})", {Bytes{1}}), "",
       "Missing attachment -1"},
      {"not json", payload("{"), ""},
      {"json array", payload("[]"), ""},
      {"type missing", payload(R"({"body":{}})"), ""},
      {"type not a string", payload(R"({"type":3,"body":{}})"), ""},
      {"body missing", payload(R"({"type":"screenStop"})"), ""},
      {"body null", payload(R"({"type":"screenStop","body":null})"), ""},
      {"body a number", payload(R"({"type":"appListRequest","body":3})"), ""},
      {"deeply nested", payload(std::string(10000, '[') + std::string(10000, ']')), ""},
      {"invalid utf-8", payload("{\"type\":\"typeText\",\"body\":{\"text\":\"\xC3\"}}"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      MessageCodec::decode(c.bytes);
      ADD_FAILURE() << "decoded";
    } catch (const WireError& e) {
      EXPECT_EQ(e.what(), c.wire);
    } catch (const DecodingError& e) {
      EXPECT_EQ(c.wire, "") << e.what();
      if (!c.decoding.empty()) EXPECT_EQ(e.description(), c.decoding);
    }
  }
}

// Nesting is counted before the parse: brackets inside strings are text, and
// 32 levels decode where 33 do not.
TEST(MessageCodec, NestingIsLimitedToThirtyTwoLevelsOutsideStrings) {
  auto withArrays = [](int arrays) {
    return payload(R"({"type":"screenStop","body":{"x":)" + std::string(arrays, '[') + std::string(arrays, ']') + "}}");
  };
  EXPECT_TRUE(MessageCodec::decode(withArrays(30)).is(MessageType::screenStop));
  try {
    MessageCodec::decode(withArrays(31));
    ADD_FAILURE() << "decoded";
  } catch (const DecodingError& e) {
    EXPECT_EQ(e.description(), "The given data was not valid JSON. It nests too deeply.");
  }
  const std::string text = std::string(40, '[') + "\\\"{" + std::string(40, '{');
  Message m = MessageCodec::decode(payload(R"({"type":"typeText","body":{"text":")" + text + R"("}})"));
  ASSERT_TRUE(m.getIf<MessageType::typeText>());
  // The escaped quote does not end the string: the braces after it are text.
  EXPECT_EQ(m.getIf<MessageType::typeText>()->text, std::string(40, '[') + "\"{" + std::string(40, '{'));
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
  for (const auto& m : {Message::ping({1, std::numeric_limits<double>::quiet_NaN()}),
                        Message::clickAt({1, std::numeric_limits<double>::infinity(), 0}), Message::typeText({"\xFF\xFE"})}) {
    EXPECT_THROW(MessageCodec::encode(m), EncodingError) << m.type();
  }
}

}  // namespace
}  // namespace tillerpad::kit

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kit/common/coding_error.h"
#include "kit/wire/json_text.h"
#include "kit/wire/message_codec.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

const std::string kUuid = "00000000-0000-0000-0000-000000000000";

Message decodeBody(const std::string& type, const std::string& body) {
  return MessageCodec::decode(testing::payload(R"({"type":")" + type + R"(","body":)" + body + "}"));
}

TEST(PeerIdentity, TextFormAndParsing) {
  Uuid zero = *Uuid::parse(kUuid);
  EXPECT_EQ(PeerIdentity::pairing(zero).text(), "p:" + kUuid);
  EXPECT_EQ(PeerIdentity::parse("p:" + kUuid), PeerIdentity::pairing(zero));

  auto lower = PeerIdentity::parse("d:6f9619ff-8b86-d011-b42d-00c04fc964ff");
  ASSERT_TRUE(lower);
  EXPECT_TRUE(lower->isDevice());
  EXPECT_EQ(lower->text(), "d:6F9619FF-8B86-D011-B42D-00C04FC964FF");

  for (const auto& bad : std::vector<std::string>{"x:" + kUuid, "d", "d:", ":" + kUuid, "D:" + kUuid, "P:" + kUuid,
                                                  "d:" + kUuid + ":", "dd:" + kUuid, "d::" + kUuid, ""}) {
    EXPECT_FALSE(PeerIdentity::parse(bad)) << bad;
  }
}

TEST(ProtocolVersion, OrderingCompatibilityAndText) {
  ProtocolVersion v14{1, 4}, v19{1, 9}, v20{2, 0};
  EXPECT_TRUE(v19.isCompatible(ProtocolVersion::current));
  EXPECT_FALSE(v20.isCompatible(ProtocolVersion::current));
  EXPECT_TRUE(v14 < ProtocolVersion::current && ProtocolVersion::current < v19 && v19 < v20);
  EXPECT_EQ((ProtocolVersion{2, 10}).text(), "2.10");
}

TEST(Key, CharacterIsOneGraphemeClusterAndFunctionKeysAreNumbered) {
  // e + combining acute; thumbs up + skin tone; a flag (two regional indicators)
  for (const char* one : {"a", "e\xCC\x81", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"}) {
    EXPECT_EQ(Key(one).character(), one);
  }
  for (const Key& notOne : {Key("ab"), Key(""), Key("f12"), Key::returnKey}) EXPECT_FALSE(notOne.character());
  EXPECT_EQ(Key::functionKey(12), Key("f12"));
  EXPECT_EQ(Key("f12").functionKeyNumber(), 12);
  EXPECT_EQ(Key("f1").functionKeyNumber(), 1);
  for (const char* notOne : {"f", "f0", "f01", "F1", "f1a", "f-1", "fx"}) {
    EXPECT_FALSE(Key(notOne).functionKeyNumber()) << notOne;
  }
}

TEST(Modifiers, BitsAndUnknownBitsSurvive) {
  EXPECT_EQ(toJsonText(KeyPress{Key("c"), Modifiers::command()}), R"({"key":"c","modifiers":1})");
  EXPECT_EQ((Modifiers::command() | Modifiers::shift()).rawValue, 9);
  auto press = decodeBody("keyPress", R"({"key":"c","modifiers":4131})").get<MessageType::keyPress>();
  EXPECT_TRUE(press.modifiers.contains(Modifiers::command() | Modifiers::option()));
  EXPECT_FALSE(press.modifiers.contains(Modifiers::shift()));
  EXPECT_EQ(press.modifiers.rawValue, 4131);
  EXPECT_THROW(decodeBody("keyPress", R"({"key":"c","modifiers":"1"})"), DecodingError);
  EXPECT_THROW(decodeBody("keyPress", R"({"key":"c","modifiers":1.5})"), DecodingError);
}

TEST(ClipboardContent, ValidityLimitsAreInclusiveAndCountUtf8Bytes) {
  EXPECT_TRUE(ClipboardContent::fromText(std::string(ClipboardContent::maxBytes, 'a'), false).isValid());
  EXPECT_FALSE(ClipboardContent::fromText(std::string(ClipboardContent::maxBytes + 1, 'a'), false).isValid());
  std::string twoByte(2 * 8'388'609, '\xC3');  // 8,388,609 "é": fewer characters than bytes
  for (std::size_t i = 1; i < twoByte.size(); i += 2) twoByte[i] = '\xA9';
  EXPECT_FALSE(ClipboardContent::fromText(twoByte, false).isValid());
  EXPECT_FALSE(ClipboardContent::fromText("", false).isValid());

  auto image = [](const char* format, std::size_t size) {
    return ClipboardContent::fromImage({ImageFormat(format), Blob{Bytes(size, 1)}}, false);
  };
  const std::tuple<const char*, std::size_t, bool> images[] = {
      {"png", 1, true}, {"jpeg", ClipboardContent::maxBytes, true}, {"jpeg", ClipboardContent::maxBytes + 1, false},
      {"png", 0, false}, {"PNG", 1, false}, {"gif", 1, false}};
  for (auto [format, size, valid] : images) EXPECT_EQ(image(format, size).isValid(), valid) << format << size;

  ClipboardContent both = image("png", 1);
  both.text = "x";
  EXPECT_FALSE(both.isValid());
  EXPECT_FALSE(decodeBody("clipboard", R"({"pasteAfterwards":true})").get<MessageType::clipboard>().isValid());

  EXPECT_EQ(toJsonText(ClipboardContent::fromText("t", true)), R"({"pasteAfterwards":true,"text":"t"})");
  EXPECT_EQ(toJsonText(image("png", 2)), R"({"image":{"data":"AQE=","format":"png"},"pasteAfterwards":false})");
}

TEST(PairResult, ConstructorsEncodeOnlyTheirKeys) {
  EXPECT_EQ(toJsonText(PairResult::rejectedWith(PairingRejection::denied)), R"({"accepted":false,"rejection":"denied"})");
  EXPECT_EQ(toJsonText(PairResult::acceptedWith(Bytes{1, 2, 3})), R"({"accepted":true,"macPublicKey":"AQID"})");
  EXPECT_FALSE(fromJsonText<PairResult>(R"({"accepted":false,"rejection":null})").rejection);
  auto inconsistent = fromJsonText<PairResult>(R"({"accepted":true})");
  EXPECT_TRUE(inconsistent.accepted && !inconsistent.macPublicKey);
  EXPECT_EQ(fromJsonText<PairResult>(R"({"accepted":false,"rejection":"later"})").rejection, PairingRejection("later"));
}

TEST(Records, OptionalKeysAreLeftOutAndNullIsAbsent) {
  Welcome w{ProtocolVersion::current, *Uuid::parse(kUuid), "Desk", "1.0", std::nullopt};
  EXPECT_EQ(toJsonText(w).find("fastPort"), std::string::npos);
  EXPECT_EQ(fromJsonText<Welcome>(toJsonText(w)), w);
  EXPECT_FALSE(fromJsonText<ScreenStart>(R"({"displayID":null,"maxPixelWidth":1,"maxFramesPerSecond":2})").displayID);
  EXPECT_EQ(fromJsonText<ScreenStart>(R"({"displayID":0,"maxPixelWidth":1,"maxFramesPerSecond":2})").displayID, 0u);
  EXPECT_EQ(fromJsonText<Bye>(R"({"reason":"replaced","surprise":[1,{"a":null}]})").reason, ByeReason::replaced);
}

TEST(Records, NumbersKeepTheirKind) {
  auto ping = [](const std::string& id) { return decodeBody("ping", R"({"id":)" + id + R"(,"sentAt":1})"); };
  EXPECT_EQ(ping("18446744073709551615").get<MessageType::ping>().id, UINT64_MAX);
  EXPECT_EQ(ping("0").get<MessageType::ping>().id, 0u);
  for (const char* bad : {"-1", "1.5", "18446744073709551616", "\"7\"", "true", "1e400"}) {
    EXPECT_THROW(ping(bad), DecodingError) << bad;
  }
  // An integral value written with a fraction or exponent is still that integer.
  EXPECT_EQ(ping("7.0").get<MessageType::ping>().id, 7u);
  EXPECT_EQ(ping("1e3").get<MessageType::ping>().id, 1000u);

  auto welcome = [](const std::string& port) {
    return decodeBody("welcome", R"({"protocolVersion":{"major":1,"minor":5},"macID":")" + kUuid +
                                     R"(","macName":"M","appVersion":"1","fastPort":)" + port + "}");
  };
  EXPECT_EQ(welcome("65535").get<MessageType::welcome>().fastPort, 65535);
  for (const char* bad : {"65536", "-1"}) EXPECT_THROW(welcome(bad), DecodingError) << bad;

  auto ack = [](const std::string& id) { return decodeBody("screenInfo", R"({"displays":[],"displayID":)" + id + "}"); };
  EXPECT_EQ(ack("4294967295").get<MessageType::screenInfo>().displayID, UINT32_MAX);
  EXPECT_THROW(ack("4294967296"), DecodingError);
  // A double field takes integers too.
  EXPECT_EQ(decodeBody("clickAt", R"({"displayID":1,"x":1,"y":0,"button":"left"})").get<MessageType::clickAt>().x, 1.0);
}

// Every full body decodes; removing any one of its keys (all required) fails.
TEST(Records, EveryRequiredKeyIsRequired) {
  const std::pair<const char*, const char*> records[] = {
      {"hello",
       R"({"protocolVersion":{"major":1,"minor":5},"identity":"d:00000000-0000-0000-0000-000000000000","proof":"AA==",)"
       R"("device":{"name":"n","model":"m","systemVersion":"s","appVersion":"a"}})"},
      {"welcome",
       R"({"protocolVersion":{"major":1,"minor":5},"macID":"00000000-0000-0000-0000-000000000000","macName":"M",)"
       R"("appVersion":"1"})"},
      {"ping", R"({"id":1,"sentAt":2})"},
      {"error", R"({"code":"x"})"},
      {"bye", R"({"reason":"x"})"},
      {"pairRequest", R"({"publicKey":"AA=="})"},
      {"pairResult", R"({"accepted":true})"},
      {"mouseButton", R"({"button":"left","action":"up"})"},
      {"keyPress", R"({"key":"a","modifiers":0})"},
      {"typeText", R"({"text":""})"},
      {"inputSettings", R"({"pointerSpeed":1,"pointerAcceleration":1,"scrollSpeed":1,"naturalScrolling":true})"},
      {"permissionStatus", R"({"accessibility":true,"screenRecording":false})"},
      {"media", R"({"action":"mute"})"},
      {"power", R"({"action":"lock"})"},
      {"missionControl", R"({"action":"spaceLeft"})"},
      {"appList", R"({"apps":[]})"},
      {"appIconRequest", R"({"bundleID":"b","pixelSize":64})"},
      {"appOpen", R"({"bundleID":"b"})"},
      {"screenStart", R"({"maxPixelWidth":1,"maxFramesPerSecond":1})"},
      {"screenInfo", R"({"displays":[],"displayID":0})"},
      {"screenFrameAck", R"({"frameID":1})"},
      {"clickAt", R"({"displayID":1,"x":0,"y":0,"button":"left"})"},
      {"clipboard", R"({"pasteAfterwards":false})"},
      {"clipboardSubscription", R"({"enabled":true})"},
      {"sharingSettings", R"({"clipboard":true,"screen":true})"},
  };
  for (const auto& [type, fullBody] : records) {
    EXPECT_NO_THROW(decodeBody(type, fullBody)) << type;
    const auto body = nlohmann::json::parse(fullBody);
    for (const auto& item : body.items()) {
      auto without = body;
      without.erase(item.key());
      EXPECT_THROW(decodeBody(type, without.dump()), DecodingError) << type << " without " << item.key();
    }
  }
}

// Nested records and array elements are checked, closed vocabularies take no
// other text, and identities and base64 must be valid; `detail` is part of the error.
TEST(Records, InvalidBodiesFailToDecode) {
  const std::string display = R"({"id":1,"name":"a","pointWidth":1,"pointHeight":1,"isMain":true})";
  const std::string hello = R"({"protocolVersion":{"major":1,"minor":5},"identity":"d:)" + kUuid +
                            R"(","proof":"AA==","device":{"name":"n","model":"m","systemVersion":"s","appVersion":"a"}})";
  auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  EXPECT_NO_THROW(decodeBody("screenInfo", R"({"displays":[)" + display + R"(],"displayID":1})"));
  EXPECT_NO_THROW(decodeBody("hello", hello));
  const struct {
    const char* type;
    std::string body;
    const char* detail = "";
  } cases[] = {
      {"screenInfo", R"({"displays":[)" + display + R"(,{"id":2,"name":"b","pointWidth":1,"isMain":true}],"displayID":1})",
       "(at body.displays[1])"},
      {"appList", R"({"apps":[{"bundleID":"b","name":"n","isRunning":true}]})"},
      {"appList", R"({"apps":{}})"},
      {"clipboard", R"({"pasteAfterwards":false,"image":{"format":"png"}})"},
      {"hello", replaced(hello, R"("minor":5)", R"("minors":5)")},
      {"hello", replaced(hello, "d:" + kUuid, "x:1"), "Invalid peer identity"},
      {"hello", replaced(hello, "AA==", "A")},
      {"pairRequest", R"({"publicKey":"not base64"})"},
      {"pairResult", R"({"accepted":true,"macPublicKey":"%%%%"})"},
      {"welcome", R"({"protocolVersion":{"major":1,"minor":5},"macID":"nope","macName":"M","appVersion":"1"})"},
      {"mouseButton", R"({"button":"Left","action":"click"})"},
      {"mouseButton", R"({"button":"left","action":"tap"})"},
      {"clickAt", R"({"displayID":1,"x":0,"y":0,"button":"fourth"})"},
      {"power", R"({"action":3})"},
  };
  for (const auto& c : cases) {
    EXPECT_THAT([&] { decodeBody(c.type, c.body); },
                ::testing::ThrowsMessage<DecodingError>(::testing::HasSubstr(c.detail)))
        << c.body;
  }
  // Open vocabularies keep text they do not know.
  auto power = decodeBody("power", R"({"action":"hibernate"})").get<MessageType::power>();
  EXPECT_EQ(toJsonText(power), R"({"action":"hibernate"})");
  EXPECT_EQ(decodeBody("error", R"({"code":"brandNew","detail":"d"})").get<MessageType::error>().code.rawValue, "brandNew");
}

}  // namespace
}  // namespace tillerpad::kit

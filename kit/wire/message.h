#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "kit/wire/clipboard_messages.h"
#include "kit/wire/command_messages.h"
#include "kit/wire/input_messages.h"
#include "kit/wire/pairing_messages.h"
#include "kit/wire/screen_messages.h"
#include "kit/wire/session_messages.h"

namespace tillerpad::kit {

// Every message kind, in declaration order: X(name, body record).
#define TILLERPAD_MESSAGE_TYPES(X)            \
  X(hello, Hello)                             \
  X(welcome, Welcome)                         \
  X(ping, Ping)                               \
  X(pong, Ping)                               \
  X(error, ErrorMessage)                      \
  X(bye, Bye)                                 \
  X(pairRequest, PairRequest)                 \
  X(pairResult, PairResult)                   \
  X(mouseButton, MouseButtonEvent)            \
  X(keyPress, KeyPress)                       \
  X(typeText, TextInput)                      \
  X(inputSettings, InputSettings)             \
  X(permissionStatus, PermissionStatus)       \
  X(media, MediaCommand)                      \
  X(power, PowerCommand)                      \
  X(appListRequest, AppListRequest)           \
  X(appList, AppList)                         \
  X(appIconRequest, AppIconRequest)           \
  X(appIcon, AppIcon)                         \
  X(appOpen, AppOpen)                         \
  X(screenStart, ScreenStart)                 \
  X(screenStop, ScreenStop)                   \
  X(screenInfo, ScreenInfo)                   \
  X(screenFrame, ScreenFrame)                 \
  X(screenFrameAck, ScreenFrameAck)           \
  X(clickAt, ClickAt)                         \
  X(clipboard, ClipboardContent)              \
  X(clipboardSubscription, ClipboardSubscription) \
  X(sharingSettings, SharingSettings)         \
  X(missionControl, MissionControlCommand)

enum class MessageType {
#define TILLERPAD_X(name, body) name,
  TILLERPAD_MESSAGE_TYPES(TILLERPAD_X)
#undef TILLERPAD_X
};

inline constexpr std::size_t messageTypeCount = 30;

// Every case, in declaration order.
const std::array<MessageType, messageTypeCount>& allMessageTypes();
std::string_view rawValue(MessageType type);
// Exact, case-sensitive match; nothing for any other text.
std::optional<MessageType> messageTypeFromRaw(std::string_view text);

// A message whose type text matched no known kind; only the text is kept.
struct UnknownMessage {
  std::string type;
  friend bool operator==(const UnknownMessage&, const UnknownMessage&) = default;
};

// A tagged message. The alternative's index is its MessageType ("ping" and
// "pong" share the Ping record but are different alternatives); the last
// alternative is `unknown`.
class Message {
 public:
  using Body = std::variant<
#define TILLERPAD_X(name, body) body,
      TILLERPAD_MESSAGE_TYPES(TILLERPAD_X)
#undef TILLERPAD_X
      UnknownMessage>;

  template <MessageType T>
  using BodyOf = std::variant_alternative_t<static_cast<std::size_t>(T), Body>;

#define TILLERPAD_X(name, body) \
  static Message name(body b) { return Message(std::in_place_index<static_cast<std::size_t>(MessageType::name)>, std::move(b)); }
  TILLERPAD_MESSAGE_TYPES(TILLERPAD_X)
#undef TILLERPAD_X

  static Message unknown(std::string type) {
    return Message(std::in_place_index<messageTypeCount>, UnknownMessage{std::move(type)});
  }

  template <MessageType T, class B>
  static Message make(B&& body) {
    return Message(std::in_place_index<static_cast<std::size_t>(T)>, std::forward<B>(body));
  }

  // The kind, or nothing for `unknown`.
  std::optional<MessageType> kind() const {
    if (isUnknown()) return std::nullopt;
    return static_cast<MessageType>(body_.index());
  }
  bool is(MessageType t) const { return body_.index() == static_cast<std::size_t>(t); }
  bool isUnknown() const { return body_.index() == messageTypeCount; }
  // The raw type text; for `unknown` the received text.
  std::string_view type() const;

  template <MessageType T>
  const BodyOf<T>& get() const {
    return std::get<static_cast<std::size_t>(T)>(body_);
  }
  template <MessageType T>
  const BodyOf<T>* getIf() const {
    return std::get_if<static_cast<std::size_t>(T)>(&body_);
  }
  const Body& body() const { return body_; }

  friend bool operator==(const Message&, const Message&) = default;

 private:
  template <std::size_t I, class B>
  Message(std::in_place_index_t<I> index, B&& body) : body_(index, std::forward<B>(body)) {}

  Body body_;
};

// The type text and a short description, for logs. Never the body: bodies may
// hold keys and proofs.
std::string describe(const Message& message);

}  // namespace tillerpad::kit

template <>
struct std::hash<tillerpad::kit::Message> {
  // Equal messages have equal types, so hashing the type alone is consistent
  // with equality; bodies are large (frames) and hashing them is not needed.
  std::size_t operator()(const tillerpad::kit::Message& m) const noexcept {
    return std::hash<std::string_view>{}(m.type());
  }
};

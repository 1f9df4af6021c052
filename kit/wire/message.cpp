#include "kit/wire/message.h"

#include <algorithm>

namespace tillerpad::kit {
namespace {

constexpr std::array<std::string_view, messageTypeCount> kRawValues{
#define TILLERPAD_X(name, body) #name,
    TILLERPAD_MESSAGE_TYPES(TILLERPAD_X)
#undef TILLERPAD_X
};

}  // namespace

const std::array<MessageType, messageTypeCount>& allMessageTypes() {
  static const std::array<MessageType, messageTypeCount> all = [] {
    std::array<MessageType, messageTypeCount> out{};
    for (std::size_t i = 0; i < messageTypeCount; ++i) out[i] = static_cast<MessageType>(i);
    return out;
  }();
  return all;
}

std::string_view rawValue(MessageType type) { return kRawValues[static_cast<std::size_t>(type)]; }

std::optional<MessageType> messageTypeFromRaw(std::string_view text) {
  auto it = std::find(kRawValues.begin(), kRawValues.end(), text);
  if (it == kRawValues.end()) return std::nullopt;
  return static_cast<MessageType>(it - kRawValues.begin());
}

std::string_view Message::type() const {
  if (const auto* unknown = std::get_if<UnknownMessage>(&body_)) return unknown->type;
  return rawValue(static_cast<MessageType>(body_.index()));
}

std::string describe(const Message& message) {
  return message.isUnknown() ? "unknown type " + std::string(message.type()) : std::string(message.type());
}

}  // namespace tillerpad::kit

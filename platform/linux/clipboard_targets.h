#pragma once

// How the CLIPBOARD selection's targets meet the host's pasteboard types;
// no Xlib here, so that the mapping can be tested and fuzzed on its own.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tillerpad::platform::linux_x11 {

using ClipboardBytes = std::vector<std::uint8_t>;

// The host type a target's content is offered as; nothing for targets that
// describe the selection rather than offer content (TARGETS, TIMESTAMP ...),
// and for the legacy text encodings that always come with a better one.
std::optional<std::string> hostTypeForTarget(std::string_view target);
// The host types of an owner's targets, in its order, each once.
std::vector<std::string> hostTypesForTargets(const std::vector<std::string>& targets);
// The targets to ask an owner for, best first, for content of `hostType`.
std::vector<std::string> targetsForReading(std::string_view hostType);
// The targets, each with the property type of the answer, under which we
// offer content written as `hostType`. Text is offered as UTF-8 under every
// text target; as STRING only when it can be said in Latin-1 (see below).
struct Offer {
  std::string target;
  std::string type;
  bool latin1 = false;  // the bytes converted to Latin-1 first
};
std::vector<Offer> offersForWriting(std::string_view hostType, std::span<const std::uint8_t> bytes);

// STRING is Latin-1. Nothing when `utf8` is not valid UTF-8 or holds a
// character beyond U+00FF.
std::optional<ClipboardBytes> utf8ToLatin1(std::span<const std::uint8_t> utf8);
ClipboardBytes latin1ToUtf8(std::span<const std::uint8_t> latin1);

}  // namespace tillerpad::platform::linux_x11

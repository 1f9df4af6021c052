#include "platform/linux/clipboard_targets.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/pasteboard.h"

namespace tillerpad::platform::linux_x11 {
namespace {

constexpr std::string_view kUtf8PlainTarget = "text/plain;charset=utf-8";
constexpr std::string_view kBmpType = "com.microsoft.bmp";

// Targets with a host name of their own; the first of each host type is the
// one we offer when writing.
constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kNamed{{
    {"UTF8_STRING", Pasteboard::plainTextType},
    {kUtf8PlainTarget, Pasteboard::plainTextType},
    {"STRING", Pasteboard::plainTextType},
    {"image/png", Pasteboard::pngType},
    {"image/jpeg", Pasteboard::jpegType},
    {"image/tiff", Pasteboard::tiffType},
    {"image/bmp", kBmpType},
    {"text/uri-list", Pasteboard::fileURLType},
    {"x-special/gnome-copied-files", Pasteboard::fileURLType},
}};

// Not content: requests about the selection itself, and text encodings that
// an owner offers only beside UTF8_STRING (TEXT, COMPOUND_TEXT).
constexpr std::array<std::string_view, 11> kNotContent{"TARGETS", "TIMESTAMP",        "MULTIPLE",         "SAVE_TARGETS",
                                                       "DELETE",  "INSERT_SELECTION", "INSERT_PROPERTY",  "LENGTH",
                                                       "TEXT",    "COMPOUND_TEXT",    "CLIPBOARD_MANAGER"};

}  // namespace

std::optional<std::string> hostTypeForTarget(std::string_view target) {
  if (target.empty() || std::ranges::find(kNotContent, target) != kNotContent.end()) return std::nullopt;
  for (const auto& [name, host] : kNamed) {
    if (name == target) return std::string(host);
  }
  return std::string(target);
}

std::vector<std::string> hostTypesForTargets(const std::vector<std::string>& targets) {
  std::vector<std::string> result;
  for (const auto& target : targets) {
    auto type = hostTypeForTarget(target);
    if (type && std::ranges::find(result, *type) == result.end()) result.push_back(std::move(*type));
  }
  return result;
}

std::vector<std::string> targetsForReading(std::string_view hostType) {
  std::vector<std::string> result;
  for (const auto& [name, host] : kNamed) {
    if (host == hostType) result.emplace_back(name);
  }
  // A type without a target of its own is a target's name passed through.
  if (result.empty() && hostTypeForTarget(hostType)) result.emplace_back(hostType);
  return result;
}

std::vector<Offer> offersForWriting(std::string_view hostType, std::span<const std::uint8_t> bytes) {
  if (hostType == Pasteboard::plainTextType) {
    std::vector<Offer> offers{
        {"UTF8_STRING", "UTF8_STRING"}, {std::string(kUtf8PlainTarget), std::string(kUtf8PlainTarget)}, {"TEXT", "UTF8_STRING"}};
    if (utf8ToLatin1(bytes)) offers.push_back({"STRING", "STRING", true});
    return offers;
  }
  auto targets = targetsForReading(hostType);
  if (targets.empty()) return {};
  return {{targets.front(), targets.front()}};
}

std::optional<ClipboardBytes> utf8ToLatin1(std::span<const std::uint8_t> utf8) {
  ClipboardBytes out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    std::uint8_t b = utf8[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
    } else if ((b == 0xC2 || b == 0xC3) && i + 1 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80) {
      out.push_back(static_cast<std::uint8_t>(((b & 0x03) << 6) | (utf8[i + 1] & 0x3F)));
      i += 2;
    } else {
      // Either beyond U+00FF or not UTF-8 at all (overlong C0/C1 forms too).
      return std::nullopt;
    }
  }
  return out;
}

ClipboardBytes latin1ToUtf8(std::span<const std::uint8_t> latin1) {
  ClipboardBytes out;
  out.reserve(latin1.size());
  for (std::uint8_t b : latin1) {
    if (b < 0x80) {
      out.push_back(b);
    } else {
      out.push_back(static_cast<std::uint8_t>(0xC0 | (b >> 6)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

}  // namespace tillerpad::platform::linux_x11

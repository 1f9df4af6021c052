#include "kit/wire/session_messages.h"

#include <fmt/format.h>

namespace tillerpad::kit {

std::string ProtocolVersion::text() const { return fmt::format("{}.{}", major, minor); }

std::optional<PeerIdentity> PeerIdentity::parse(std::string_view text) {
  // Split at the first colon; empty pieces are dropped, so ":X" and "d:" are
  // single pieces and invalid.
  auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
  std::string_view prefix = text.substr(0, colon);
  auto id = Uuid::parse(text.substr(colon + 1));
  if (!id) return std::nullopt;
  if (prefix == "d") return device(*id);
  if (prefix == "p") return pairing(*id);
  return std::nullopt;
}

std::string PeerIdentity::text() const { return (kind_ == Kind::device ? "d:" : "p:") + id_.text(); }

}  // namespace tillerpad::kit

#include "kit/transport/bonjour.h"

namespace tillerpad::kit {

Bonjour::TxtRecord Bonjour::txtRecord(const Uuid& macID) {
  return {{std::string(TXTKey::macID), macID.text()}, {std::string(TXTKey::version), std::string(txtVersion)}};
}

std::optional<Uuid> Bonjour::macID(const std::optional<TxtRecord>& txt) {
  if (!txt) return std::nullopt;
  for (const auto& [key, value] : *txt) {
    if (key == TXTKey::macID) return Uuid::parse(value);
  }
  return std::nullopt;
}

Bonjour::TxtRecord Bonjour::parseTxtStrings(const std::vector<std::string>& strings) {
  TxtRecord out;
  for (const auto& s : strings) {
    auto eq = s.find('=');
    if (eq == std::string::npos) {
      out.emplace_back(s, std::string());
    } else {
      out.emplace_back(s.substr(0, eq), s.substr(eq + 1));
    }
  }
  return out;
}

}  // namespace tillerpad::kit

#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tillerpad::kit::ClipboardPolicy {

// Whether the desktop's clipboard may go to a phone, and as what. Stateless:
// the caller passes the clipboard's type identifiers and its plain text.
enum class Choice { text, image, nothing };

// Content carrying any of these never leaves the desktop: password managers
// and clipboard utilities mark secrets and throwaway content with them.
const std::set<std::string>& markerTypes();
// Copied files never leave the desktop either.
const std::set<std::string>& fileTypes();
const std::set<std::string>& imageTypes();

Choice choice(const std::vector<std::string>& types, const std::optional<std::string>& text);

// No whitespace at all, and an http or https URL with a host.
bool looksLikeWebAddress(const std::string& text);

}  // namespace tillerpad::kit::ClipboardPolicy

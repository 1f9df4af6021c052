#pragma once

#include <string>
#include <string_view>

namespace tillerpad::kit {

// Text that came from a peer (a phone's name, model) made safe for a
// terminal and a log line: C0 controls, DEL and the C1 controls (as UTF-8)
// are dropped, so no peer can write escape sequences or start a new line.
std::string withoutControlCharacters(std::string_view text);

}  // namespace tillerpad::kit

#pragma once

#include <string>
#include <string_view>

namespace tillerpad::host {

// `tillerpad --attach [--pair]`: this terminal as the headless service's,
// through its control socket. Standard input goes there line by line, what
// the service prints comes here. End of input or SIGINT detaches (the service
// keeps running). Returns the exit status: 0 once detached, 1 when no
// service answers or another terminal is attached.
int runAttach(bool pair);

// `text` without its colour sequences (ESC [ ... m), for output that is not
// a terminal.
std::string withoutColours(std::string_view text);

}  // namespace tillerpad::host

#pragma once

namespace tillerpad::platform {
class KeyboardLayoutSource;
}

namespace tillerpad::host {

class InputInjector;

// Hands the injector the map of the selected layout now and again after
// every change the source announces. The source calls back on a thread of
// its own; the map is built there and passed to the injector by value.
// The source must be destroyed (and so stop calling back) before the injector.
void followKeyboardLayout(platform::KeyboardLayoutSource& source, InputInjector& injector);

}  // namespace tillerpad::host

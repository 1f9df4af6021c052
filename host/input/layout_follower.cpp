#include "host/input/layout_follower.h"

#include "host/input/input_injector.h"
#include "host/input/keyboard_layout_map.h"
#include "platform/keyboard_layout_source.h"

namespace tillerpad::host {

void followKeyboardLayout(platform::KeyboardLayoutSource& source, InputInjector& injector) {
  injector.updateLayout(KeyboardLayoutMap::current(source));
  source.setOnChange([&source, &injector] { injector.updateLayout(KeyboardLayoutMap::current(source)); });
}

}  // namespace tillerpad::host

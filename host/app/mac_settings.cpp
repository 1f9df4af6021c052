#include "host/app/mac_settings.h"

namespace tillerpad::host {

MacSettings::MacSettings(platform::UserDefaults& defaults)
    : defaults_(defaults),
      shareClipboard_(defaults.boolean(shareClipboardKey).value_or(true)),
      allowScreenViewing_(defaults.boolean(allowScreenViewingKey).value_or(true)) {}

void MacSettings::setShareClipboard(bool value) {
  shareClipboard_ = value;
  defaults_.setValue(shareClipboardKey, value);
  if (onChange) onChange();
}

void MacSettings::setAllowScreenViewing(bool value) {
  allowScreenViewing_ = value;
  defaults_.setValue(allowScreenViewingKey, value);
  if (onChange) onChange();
}

}  // namespace tillerpad::host

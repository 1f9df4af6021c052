#pragma once

namespace tillerpad::host {

// The application's identifier: its desktop entry is "<appID>.desktop" and
// its log subsystem is this text.
inline constexpr const char* appID = "app.tillerpad.Tillerpad";

}  // namespace tillerpad::host

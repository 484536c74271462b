// Whether a window system can be reached, asked before any windowing library is started:
// toolkits end the process outright when their display cannot be opened.
//
// Threads: any thread.
#pragma once

#include <string>

namespace platform {

// Connects to the X server named `display` (DISPLAY's form, e.g. ":0"; empty: DISPLAY), with
// the authorisation XAUTHORITY names, and disconnects again. False with *why (optional) set
// to a short reason when there is no such server, it refuses us, or the X client library
// (libxcb) is missing.
bool CanConnectX11(const std::string& display, std::string* why = nullptr);

// Connects to the Wayland compositor socket WAYLAND_DISPLAY names (an absolute path, or a
// name under XDG_RUNTIME_DIR; default "wayland-0") and disconnects again. False with *why
// when nothing answers there.
bool CanConnectWayland(std::string* why = nullptr);

}  // namespace platform

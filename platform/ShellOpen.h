// Opening a web page or a folder with the desktop's default program (xdg-open), as the user
// who sits at the desktop.
//
// The wizard runs as root (started through pkexec). A browser or file manager started as
// root would run without the user's settings, session bus and often without a display it
// may use, so when the process is root and PKEXEC_UID names another user, xdg-open runs as
// that user: their groups, group and user ids, HOME, USER, LOGNAME, and their session's
// XDG_RUNTIME_DIR and bus when those exist. Otherwise it runs as we are.
//
// Threads: any thread. The call does not wait for the opened program.
#pragma once

#include <string>

namespace platform {

// Starts "xdg-open TARGET" (looked up in PATH) detached from us: it is never our child
// when it ends, and its standard streams are /dev/null. True when xdg-open was started;
// false with *error = errno when it could not be found or started, or the user named by
// PKEXEC_UID cannot be taken on.
bool OpenForUser(const std::string& target, int* error = nullptr);

}  // namespace platform

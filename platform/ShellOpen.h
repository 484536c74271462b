// Opening a web page or a folder with the desktop's default program (xdg-open), and running
// the desktop's other helpers (xdg-email), as the user who sits at the desktop.
//
// The wizard runs as root (started through pkexec). A browser or file manager started as
// root would run without the user's settings, session bus and often without a display it
// may use, so when the process is root and PKEXEC_UID names another user, xdg-open runs as
// that user: their groups, group and user ids, HOME, USER, LOGNAME, and their session's
// XDG_RUNTIME_DIR and bus when those exist. Otherwise it runs as we are.
//
// Threads: any thread. OpenForUser does not wait for the opened program; RunForUser blocks
// until its program has ended.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts "xdg-open TARGET" (looked up in PATH) detached from us: it is never our child
// when it ends, and its standard streams are /dev/null. True when xdg-open was started;
// false with *error = errno when it could not be found or started, or the user named by
// PKEXEC_UID cannot be taken on.
bool OpenForUser(const std::string& target, int* error = nullptr);

// Runs `program` (looked up in PATH) with `args` (argv[1..]) as that same user, with stdin on
// /dev/null and our stdout and stderr, and waits for it. Returns its exit status (0..255); -1
// when it could not be found (*error = ENOENT) or started (*error = errno), or the user named
// by PKEXEC_UID cannot be taken on (as OpenForUser), or it died from a signal (*error = 0).
int RunForUser(const std::string& program, const std::vector<std::string>& args,
               int* error = nullptr);

}  // namespace platform

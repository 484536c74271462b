#include "platform/DisplayServer.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

void Say(std::string* why, const std::string& text) {
    if (why) *why = text;
}

}  // namespace

bool CanConnectX11(const std::string& display, std::string* why) {
    const char* name = display.empty() ? std::getenv("DISPLAY") : display.c_str();
    if (!name || !*name) {
        Say(why, "DISPLAY is not set");
        return false;
    }
    // The X client library is loaded only for this question, so that programs without a
    // window never depend on it.
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) {
        Say(why, "the X client library libxcb.so.1 is missing");
        return false;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    bool ok = false;
    if (!connect || !hasError || !disconnect) {
        Say(why, "libxcb.so.1 lacks xcb_connect");
    } else {
        void* connection = connect(name, nullptr);
        // xcb_connect never returns null: a failed connection is an error object.
        ok = connection && hasError(connection) == 0;
        if (!ok) Say(why, std::string("cannot connect to the X server ") + name);
        if (connection) disconnect(connection);
    }
    dlclose(xcb);
    return ok;
}

bool CanConnectWayland(std::string* why) {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    std::string path = display && *display ? display : "wayland-0";
    if (path[0] != '/') {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (!runtime || !*runtime) {
            Say(why, "XDG_RUNTIME_DIR is not set");
            return false;
        }
        path = std::string(runtime) + "/" + path;
    }
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) {
        Say(why, "the Wayland socket path is too long");
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Say(why, std::string("socket: ") + std::strerror(errno));
        return false;
    }
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    } while (rc != 0 && errno == EINTR);
    const int code = errno;
    close(fd);
    if (rc != 0) {
        Say(why, "cannot connect to the Wayland compositor at " + path + ": " + std::strerror(code));
        return false;
    }
    return true;
}

}  // namespace platform

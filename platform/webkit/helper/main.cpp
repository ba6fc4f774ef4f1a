// qm-webkit: owns the web engine for the library, in a process of its own with a display
// server of its own, and speaks the line protocol (protocol.hpp) on one descriptor.
//
//   qm-webkit [--fd N] [--parent-death] [--xvfb PROGRAM]
//
// --fd N          the protocol runs on descriptor N (a socketpair end) in both directions;
//                 without it, requests come on standard input and everything else goes out
//                 on standard output.
// --parent-death  exit (cleanly) when the process that started the helper dies.
// --xvfb PROGRAM  the display server to start (default: Xvfb on the PATH).
//
// Exit status: 0 after end of file, shutdown or SIGTERM; 1 when the engine could not start
// (a fatal event says why); 2 for bad arguments.
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine.hpp"
#include "system.hpp"

using namespace qm::webkit::helper;

namespace {

bool parseFd(const char* text, int* fd) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || v < 0 || v > 65535) return false;
    *fd = static_cast<int>(v);
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: qm-webkit [--fd N] [--parent-death] [--xvfb PROGRAM]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int fd = -1;
    bool parentDeath = false;
    std::string xvfb = "Xvfb";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--fd" && i + 1 < argc) {
            if (!parseFd(argv[++i], &fd)) return usage();
        } else if (arg == "--parent-death") {
            parentDeath = true;
        } else if (arg == "--xvfb" && i + 1 < argc) {
            xvfb = argv[++i];
        } else {
            return usage();
        }
    }
    if (parentDeath) {
        // SIGTERM, so the helper still stops its display server and removes its folders.
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) return 0;
    }
    signal(SIGPIPE, SIG_IGN);

    EngineOptions options;
    if (fd >= 0) {
        options.inFd = fd;
        options.outFd = fd;
    } else {
        // The protocol keeps the real standard output; anything the libraries print goes to
        // standard error instead of into the stream.
        options.inFd = STDIN_FILENO;
        options.outFd = dup(STDOUT_FILENO);
        if (options.outFd < 0) return 1;
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    // Not inherited by the display server and the engine's processes: end of file must
    // reach the library when the helper is gone.
    setCloseOnExec(options.inFd);
    setCloseOnExec(options.outFd);

    std::string error;
    auto folders = makePrivateFolders(&error);
    if (!folders) {
        writeFatal(options.outFd, "no private folder: " + error);
        return 1;
    }
    auto server = startDisplayServer(xvfb, &error);
    if (!server) {
        writeFatal(options.outFd, "display server: " + error);
        removeTree(*folders);
        return 1;
    }

    // The engine reads all of this when it starts, so it is set before GTK is.
    setenv("DISPLAY", server->display.c_str(), 1);
    setenv("GDK_BACKEND", "x11", 1);
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 1);
    setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GTK_A11Y", "none", 1);
    setenv("XDG_CONFIG_HOME", (*folders + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (*folders + "/cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (*folders + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (*folders + "/runtime").c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");

    int status = 1;
    if (!gtk_init_check(nullptr, nullptr)) {
        writeFatal(options.outFd, "GTK could not open display " + server->display);
    } else {
        options.xvfbPid = server->pid;
        options.display = server->display;
        status = runEngine(options);
    }
    stopDisplayServer(*server);
    removeTree(*folders);
    return status;
}

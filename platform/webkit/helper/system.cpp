#include "system.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qm::webkit::helper {

namespace {

constexpr int kStartSeconds = 15;
constexpr int kStopSeconds = 3;

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

void setCloseOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

bool setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::optional<DisplayServer> startDisplayServer(const std::string& program, std::string* error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = errnoText("pipe");
        return std::nullopt;
    }
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    const std::string displayFd = std::to_string(fds[1]);
    std::vector<std::string> args{program, "-displayfd", displayFd, "-nolisten", "tcp", "-screen", "0", "1920x1080x24",
                                  "-nocursor"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);

    const pid_t pid = fork();
    if (pid < 0) {
        *error = errnoText("fork");
        close(fds[0]);
        close(fds[1]);
        if (devNull >= 0) close(devNull);
        return std::nullopt;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        // Its own process group, so a terminal's signals meant for the helper's host miss it.
        setpgid(0, 0);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            dup2(STDERR_FILENO, STDOUT_FILENO);
        }
        const int flags = fcntl(fds[1], F_GETFD);
        fcntl(fds[1], F_SETFD, flags & ~FD_CLOEXEC);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (devNull >= 0) close(devNull);

    // The server writes its display number and a newline once it accepts clients.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
    bool done = false;
    while (!done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            *error = "the display server did not start within " + std::to_string(kStartSeconds) + " s";
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        char buf[32];
        const ssize_t got = read(fds[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            *error = "the display server (" + program + ") exited before it was ready";
            break;
        }
        number.append(buf, static_cast<std::size_t>(got));
        if (number.find('\n') != std::string::npos || number.size() > 16) done = true;
    }
    close(fds[0]);
    if (done) {
        while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
        const bool digits = !number.empty() && number.find_first_not_of("0123456789") == std::string::npos;
        if (digits) return DisplayServer{pid, ":" + number};
        *error = "the display server wrote no display number";
    }
    DisplayServer failed{pid, {}};
    stopDisplayServer(failed);
    return std::nullopt;
}

void stopDisplayServer(DisplayServer& server) {
    if (server.pid <= 0) return;
    kill(server.pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStopSeconds);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(server.pid, &status, WNOHANG);
        if (r == server.pid || (r < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(server.pid, SIGKILL);
            while (waitpid(server.pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        // Nothing else to do meanwhile: the helper is on its way out.
        poll(nullptr, 0, 5);
    }
    server.pid = -1;
}

namespace {

// Folders of helpers that died without removing them (killed outright): "qm-webkit-PID-..."
// owned by this user whose PID no longer runs.
void removeAbandonedFolders(const std::string& parent) {
    DIR* dir = opendir(parent.c_str());
    if (!dir) return;
    const std::string prefix = "qm-webkit-";
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid <= 0 || !end || *end != '-') continue;
        const std::string path = parent + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        removeTree(path);
    }
    closedir(dir);
}

}  // namespace

std::optional<std::string> makePrivateFolders(std::string* error) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string parent = tmp && *tmp ? tmp : "/tmp";
    removeAbandonedFolders(parent);
    std::string pattern = parent + "/qm-webkit-" + std::to_string(getpid()) + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        *error = errnoText("mkdtemp");
        return std::nullopt;
    }
    for (const char* sub : {"config", "cache", "data", "runtime"}) {
        const std::string path = pattern + "/" + sub;
        if (mkdir(path.c_str(), 0700) != 0) {
            *error = errnoText("mkdir");
            removeTree(pattern);
            return std::nullopt;
        }
    }
    return pattern;
}

void removeTree(const std::string& path) {
    if (path.empty()) return;
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) -> int {
            remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace qm::webkit::helper

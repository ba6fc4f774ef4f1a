#include "helper_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <variant>

extern char** environ;

namespace qm::webkit::testing {

namespace {
int remaining(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}
}  // namespace

std::string HelperProcess::program() {
#ifdef QM_WEBKIT_HELPER
    return QM_WEBKIT_HELPER;
#else
    return {};
#endif
}

HelperProcess::~HelperProcess() {
    if (pid_ > 0) {
        closeInput();
        if (!waitExit(Milliseconds(10000))) {
            kill(pid_, SIGKILL);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    if (socket_ >= 0) close(socket_);
    if (pidfd_ >= 0) close(pidfd_);
}

bool HelperProcess::start(std::vector<std::string> extraArguments, std::string* why) {
    const std::string path = program();
    if (path.empty()) {
        if (why) *why = "qm-webkit is not built here (webkit2gtk-4.1 was not found)";
        return false;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        if (why) *why = "socketpair failed";
        return false;
    }
    // The child's end becomes descriptor 3; dup2 onto itself would keep close-on-exec.
    if (fds[1] == 3) {
        const int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
        close(fds[1]);
        fds[1] = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    std::vector<std::string> args{path, "--fd", "3"};
    for (auto& a : extraArguments) args.push_back(std::move(a));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        pid_ = -1;
        if (why) *why = "qm-webkit could not be started";
        return false;
    }
    socket_ = fds[0];
    fcntl(socket_, F_SETFL, fcntl(socket_, F_GETFL) | O_NONBLOCK);
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
}

bool HelperProcess::waitReady(Milliseconds timeout, std::string* why) {
    auto first = waitEvent([](const Event&) { return true; }, timeout);
    if (!first) {
        *why = eof_ ? "qm-webkit exited before it was ready" : "qm-webkit was not ready in time";
        return false;
    }
    if (first->kind != EventKind::Ready) {
        *why = "qm-webkit could not start: " + first->message;
        return false;
    }
    ready_ = *first;
    return true;
}

void HelperProcess::sendRaw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(socket_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // The helper is slow to read: take in what it sends meanwhile, then try again.
            pollfd p{socket_, POLLOUT | POLLIN, 0};
            poll(&p, 1, 1000);
            if (p.revents & POLLIN) pump(std::chrono::steady_clock::now());
            continue;
        }
        return;
    }
}

std::int64_t HelperProcess::send(Request request) {
    request.id = nextId_++;
    auto line = encode(request);
    if (line) sendRaw(*line);
    return request.id;
}

std::optional<Response> HelperProcess::call(Request request, Milliseconds timeout) {
    return waitAnswer(send(std::move(request)), timeout);
}

bool HelperProcess::pump(std::chrono::steady_clock::time_point deadline) {
    if (eof_) return false;
    pollfd p{socket_, POLLIN, 0};
    const int n = poll(&p, 1, remaining(deadline));
    if (n <= 0) return false;
    char buffer[65536];
    bool got = false;
    for (;;) {
        const ssize_t r = read(socket_, buffer, sizeof buffer);
        if (r > 0) {
            got = true;
            lines_.append(std::string_view(buffer, static_cast<std::size_t>(r)));
            while (auto line = lines_.next()) {
                std::string error;
                auto message = line->overlong ? std::nullopt : decodeIncoming(line->text, &error);
                if (!message) {
                    badLines_.push_back(line->overlong ? "(overlong)" : line->text + " -- " + error);
                } else if (auto* response = std::get_if<Response>(&*message)) {
                    answers_.push_back(std::move(*response));
                } else {
                    events_.push_back(std::get<Event>(std::move(*message)));
                }
            }
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) return true;
        eof_ = true;
        return got;
    }
}

std::optional<Response> HelperProcess::waitAnswer(std::int64_t id, Milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (auto it = answers_.begin(); it != answers_.end(); ++it) {
            if (it->id == id) {
                Response r = std::move(*it);
                answers_.erase(it);
                return r;
            }
        }
        if (eof_ || remaining(deadline) == 0) return std::nullopt;
        pump(deadline);
    }
}

std::optional<Event> HelperProcess::waitEvent(const std::function<bool(const Event&)>& match, Milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (!events_.empty()) {
            Event e = std::move(events_.front());
            events_.pop_front();
            if (match(e)) return e;
        }
        if (eof_ || remaining(deadline) == 0) return std::nullopt;
        pump(deadline);
    }
}

void HelperProcess::closeInput() {
    if (socket_ >= 0) shutdown(socket_, SHUT_WR);
}

std::optional<int> HelperProcess::waitExit(Milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Its side closes as it exits; what it sends before is kept.
    while (!eof_ && remaining(deadline) > 0) pump(deadline);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (remaining(deadline) == 0) return std::nullopt;
        // Readable when the process has exited.
        pollfd p{pidfd_, POLLIN, 0};
        if (pidfd_ < 0 || poll(&p, 1, remaining(deadline)) < 0) return std::nullopt;
    }
}

}  // namespace qm::webkit::testing

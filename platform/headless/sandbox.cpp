#include "qmplatform/sandbox.hpp"
#include "qmbase/no_destructor.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <system_error>

namespace qm::platform {

namespace fs = std::filesystem;

namespace {

constexpr const char* kBackupAttribute = "user.qm.exclude-from-backup";
constexpr const char* kTemporaryInfix = ".qmtmp.";

struct SandboxState {
    std::mutex mutex;
    bool configured = false;
    std::string root;
    std::string groups;
};

SandboxState& state() {
    static NoDestructor<SandboxState> s;  // never destroyed: used from exit handlers
    return *s;
}

std::string trimTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string defaultRoot() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
        base = std::string(home) + "/.local/share";
    } else {
        base = "/tmp/quelmar-" + std::to_string(::getuid());
    }
    return trimTrailingSlashes(base) + "/quelmar/Container";
}

std::string defaultGroups(const std::string& root) {
    fs::path parent = fs::path(root).parent_path();
    if (parent.empty()) parent = ".";
    return (parent / "AppGroups").string();
}

bool createStandardFolders(const std::string& root) {
    bool ok = true;
    for (const char* sub : {"Documents", "Library/Caches", "Library/Preferences", "tmp"}) {
        ok = Files::createDirectory(root + "/" + sub, true) && ok;
    }
    return ok;
}

// Root and group folder, configuring the default container on first use.
std::pair<std::string, std::string> currentPaths() {
    SandboxState& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.configured) {
        s.root = defaultRoot();
        s.groups = defaultGroups(s.root);
        s.configured = true;
        createStandardFolders(s.root);
    }
    return {s.root, s.groups};
}

// ".<target><infix><6 letters or digits>" -> target.
std::optional<std::string> targetOfTemporary(std::string_view name, std::string_view infix) {
    constexpr std::size_t kRandomLength = 6;  // what mkostemp puts in place of "XXXXXX"
    if (name.size() < 2 + infix.size() + kRandomLength || name.front() != '.') return std::nullopt;
    for (char c : name.substr(name.size() - kRandomLength)) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
    }
    const std::string_view rest = name.substr(1, name.size() - 1 - kRandomLength);
    if (rest.size() <= infix.size() || rest.substr(rest.size() - infix.size()) != infix) return std::nullopt;
    return std::string(rest.substr(0, rest.size() - infix.size()));
}

// Gives the unnamed file open as `fd` a name `prefix` + six random letters or digits (the
// shape clean-ups recognise), retrying when the name is taken. The name goes to `linked`.
bool linkUnnamed(int fd, const std::string& prefix, std::string& linked) {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 random{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
    const std::string source = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        linked = prefix;
        for (int i = 0; i < 6; ++i) linked += kLetters[random() % (sizeof kLetters - 1)];
        if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, linked.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

bool writeAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool Sandbox::configure(std::string rootDir, std::string groupContainersDir) {
    rootDir = trimTrailingSlashes(std::move(rootDir));
    if (rootDir.empty()) return false;
    std::string groups = groupContainersDir.empty() ? defaultGroups(rootDir)
                                                    : trimTrailingSlashes(std::move(groupContainersDir));
    {
        SandboxState& s = state();
        std::lock_guard lock(s.mutex);
        s.root = rootDir;
        s.groups = groups;
        s.configured = true;
    }
    return createStandardFolders(rootDir);
}

std::string Sandbox::root() { return currentPaths().first; }
std::string Sandbox::documentsDirectory() { return root() + "/Documents"; }
std::string Sandbox::cachesDirectory() { return root() + "/Library/Caches"; }
std::string Sandbox::preferencesDirectory() { return root() + "/Library/Preferences"; }
std::string Sandbox::temporaryDirectory() { return root() + "/tmp"; }

std::optional<std::string> Sandbox::containerForAppGroup(const std::string& groupId) {
    if (groupId.empty() || groupId == "." || groupId == ".." ||
        groupId.find('/') != std::string::npos || groupId.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    std::string dir = currentPaths().second + "/" + groupId;
    if (!Files::createDirectory(dir, true)) return std::nullopt;
    return dir;
}

std::size_t Sandbox::removeAbandonedTemporaryFiles() {
    std::size_t removed = 0;
    for (const std::string& folder : {documentsDirectory(), cachesDirectory()}) {
        for (const auto& name : Files::contentsOfDirectory(folder)) {
            // Files of the earlier naming are never made any more; only those beside the
            // library's own files ("qm_...") are known to be ours.
            const auto earlier = Files::earlierTemporaryTarget(name);
            if (!Files::temporaryTarget(name) && !(earlier && earlier->rfind("qm_", 0) == 0)) continue;
            if (Files::removeAbandonedTemporary(folder + "/" + name)) ++removed;
        }
    }
    return removed;
}

// ---- Files ----

std::optional<std::string> Files::readFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        out.reserve(static_cast<size_t>(st.st_size));
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

namespace {

// A locked temporary in `dir` holding `bytes` on disk, linked in under a name of the shape
// clean-ups recognise (put in `tmpl`); the caller renames it and closes `fd` (which releases
// the lock). The file is locked before any clean-up can see it: it is made without a name,
// locked, written, and only then given its temporary name.
bool unnamedTemporary(const std::string& dir, const std::string& prefix, std::string_view bytes, mode_t mode,
                      int& fd, std::string& tmpl) {
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (mode) ::fchmod(fd, mode);
    if (writeAll(fd, bytes) && ::fsync(fd) == 0 && linkUnnamed(fd, prefix, tmpl)) return true;
    ::close(fd);
    fd = -1;
    return false;
}

// The same for file systems that cannot make unnamed files (or without /proc): a clean-up may
// take the file between its creation and the lock; it is unlinked then and another one is made.
bool namedTemporary(const std::string& prefix, std::string_view bytes, mode_t mode, int& fd, std::string& tmpl) {
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmpl = prefix + "XXXXXX";
        fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd < 0) return false;
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat own {};
        if (::fstat(fd, &own) == 0 && own.st_nlink == 0) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) return false;
    if (mode) ::fchmod(fd, mode);
    if (writeAll(fd, bytes) && ::fsync(fd) == 0) return true;
    ::unlink(tmpl.c_str());
    ::close(fd);
    fd = -1;
    return false;
}

}  // namespace

bool Files::writeFileAtomically(const std::string& path, std::string_view bytes) {
    if (path.empty()) return false;
    fs::path target(path);
    std::string dir = target.parent_path().string();
    if (dir.empty()) dir = ".";
    const std::string name = target.filename().string();
    if (name.empty()) return false;

    // The temporary stays locked until it has been renamed, which tells a clean-up that a
    // writer is alive; it takes the mode of the file it replaces.
    struct stat existing {};
    const mode_t mode = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) ? existing.st_mode & 07777 : 0;
    const std::string prefix = dir + "/." + name + kTemporaryInfix;
    std::string tmpl;
    int fd = -1;
    if (!unnamedTemporary(dir, prefix, bytes, mode, fd, tmpl) && !namedTemporary(prefix, bytes, mode, fd, tmpl))
        return false;
    // The data is on disk (fsync) before the rename makes it the file's content.
    const bool ok = ::rename(tmpl.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmpl.c_str());
    // Closing releases the lock, after the rename (or the removal).
    ::close(fd);
    if (!ok) return false;
    // The rename itself is only durable once the folder's entry list reaches the disk.
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

std::optional<std::string> Files::temporaryTarget(std::string_view name) {
    return targetOfTemporary(name, kTemporaryInfix);
}

std::optional<std::string> Files::earlierTemporaryTarget(std::string_view name) {
    return targetOfTemporary(name, ".tmp.");
}

bool Files::removeAbandonedTemporary(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat held {};
    bool removed = false;
    // A writer holds its temporary locked until it is renamed; a lock we get means the
    // writer is gone. Under our lock the path must still name the file we hold: a writer
    // that finished just before may have renamed it away.
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        struct stat now {};
        removed = ::lstat(path.c_str(), &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino &&
                  ::unlink(path.c_str()) == 0;
    }
    ::close(fd);
    return removed;
}

bool Files::fileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool Files::isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Files::removeItem(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    return !fileExists(path);
}

bool Files::moveItem(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty()) return false;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EXDEV || fileExists(to)) return false;
    // Another file system: copy, then remove the original; a failed copy leaves nothing at `to`.
    std::error_code ec;
    fs::copy(from, to, fs::copy_options::recursive, ec);
    if (ec) {
        fs::remove_all(to, ec);
        return false;
    }
    fs::remove_all(from, ec);
    return !ec;
}

bool Files::createDirectory(const std::string& path, bool intermediates) {
    if (path.empty()) return false;
    std::error_code ec;
    if (intermediates) {
        fs::create_directories(path, ec);
    } else if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
    }
    return isDirectory(path);
}

std::vector<std::string> Files::contentsOfDirectory(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    if (ec) return names;
    for (fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::uint64_t> Files::fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool Files::setExcludedFromBackup(const std::string& path, bool excluded) {
    if (excluded) {
        return ::setxattr(path.c_str(), kBackupAttribute, "1", 1, 0) == 0;
    }
    if (::removexattr(path.c_str(), kBackupAttribute) == 0) return true;
    // Not set in the first place counts as success, as long as the file is there.
    return errno == ENODATA && fileExists(path);
}

bool Files::isExcludedFromBackup(const std::string& path) {
    char value[8] = {};
    ssize_t n = ::getxattr(path.c_str(), kBackupAttribute, value, sizeof value);
    if (n < 0) return false;
    return !(n == 1 && value[0] == '0');
}

}  // namespace qm::platform

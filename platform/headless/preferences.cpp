#include "qmplatform/preferences.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "qmplatform/bundle.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/no_destructor.hpp"

namespace qm::platform {

namespace {

// What tells one version of a file from the next: every write replaces the file by a new
// one (a new inode), and size and modification time catch the rare reuse of an inode.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtimeNs = 0;

    static FileIdentity of(const struct stat& st) {
        FileIdentity id;
        id.exists = true;
        id.device = st.st_dev;
        id.inode = st.st_ino;
        id.size = st.st_size;
        id.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        return id;
    }
    static FileIdentity ofPath(const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return {};
        return of(st);
    }
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct DiskContent {
    FileIdentity identity;
    Value values = Value::dictionary();
    bool readable = true;  // false when the file exists but is not a dictionary plist
};

DiskContent readDisk(const std::string& path) {
    DiskContent out;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        out.readable = false;
        return out;
    }
    out.identity = FileIdentity::of(st);
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            out.readable = false;
            break;
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!out.readable) return out;
    std::optional<Value> parsed;
    try {
        parsed = plist::read(bytes);
    } catch (...) {
        parsed.reset();
    }
    if (parsed && parsed->isDictionary()) {
        out.values = std::move(*parsed);
    } else {
        out.readable = false;
    }
    return out;
}

bool isPropertyListValue(const Value& v) {
    switch (v.type()) {
        case Value::Type::None:
        case Value::Type::Null: return false;
        case Value::Type::Array:
            for (const Value& item : v.arrayItems()) {
                if (!isPropertyListValue(item)) return false;
            }
            return true;
        case Value::Type::Dictionary:
            for (const auto& [key, item] : v.dictionaryItems()) {
                if (!isPropertyListValue(item)) return false;
            }
            return true;
        default: return true;
    }
}

// A holder of an exclusive flock on "<file>.lock"; released on destruction. Without
// `wait` it gives up at once when someone else holds the lock.
class FileLock {
public:
    explicit FileLock(const std::string& path, bool wait = true) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) return;
        while (::flock(fd_, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Removes the temporaries of the suite's file that writers killed midway left behind.
// Every writer of the suite (this process, or the one sharing an app-group container)
// holds the suite's lock while its temporary exists, so under that lock none of them is
// live; a busy lock means a writer is at work, and the clean-up is left to the next start
// rather than waiting for it.
void removeAbandonedTemporaries(const std::string& path, const std::string& lockPath) {
    const std::string folder = folderOf(path);
    const std::string file = path.substr(path.rfind('/') + 1);
    std::vector<std::string> leftovers;
    for (const auto& name : Files::contentsOfDirectory(folder)) {
        if (Files::temporaryTarget(name) == file || Files::earlierTemporaryTarget(name) == file) {
            leftovers.push_back(folder + "/" + name);
        }
    }
    if (leftovers.empty()) return;
    FileLock lock(lockPath, false);
    if (!lock.locked()) return;
    for (const auto& leftover : leftovers) Files::removeAbandonedTemporary(leftover);
}

}  // namespace

struct UserDefaults::Impl {
    std::string name;
    std::string path;
    std::string lockPath;

    mutable std::mutex mutex;
    Value values = Value::dictionary();
    std::set<std::string, std::less<>> dirty;  // keys changed here and not yet written
    FileIdentity known;                         // the file version `values` is based on

    void markDirty(std::string_view key) { dirty.emplace(key); }
};

// ---- background flush ----
//
// Changed suites are written about a second after their first unwritten change by one
// process-wide thread. An exit handler stops that thread and writes whatever is left, so
// a normal exit never loses a change; after the handler has run, changes are written at
// once.

namespace {

constexpr auto kFlushDelay = std::chrono::milliseconds(1000);

struct Registry {
    std::mutex mutex;
    std::map<std::string, UserDefaults*> byPath;  // instances live for the whole process
};

Registry& registry() {
    static NoDestructor<Registry> r;
    return *r;
}

class Flusher {
public:
    static Flusher& shared() {
        static NoDestructor<Flusher> f;  // never destroyed: used by the exit handler
        return *f;
    }

    // Returns false when the process is exiting and the caller should write right away.
    bool schedule(UserDefaults* suite) {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        pending_.insert(suite);
        if (!deadline_) {
            deadline_ = std::chrono::steady_clock::now() + kFlushDelay;
            cv_.notify_one();
        }
        if (!started_) {
            started_ = true;
            std::atexit([] { Flusher::shared().stopAndFlush(); });
            thread_ = std::thread([this] { run(); });
        }
        return true;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (!deadline_) {
                cv_.wait(lock);
                continue;
            }
            if (std::chrono::steady_clock::now() < *deadline_) {
                cv_.wait_until(lock, *deadline_);
                continue;
            }
            auto due = std::move(pending_);
            pending_.clear();
            deadline_.reset();
            lock.unlock();
            for (UserDefaults* suite : due) suite->synchronize();
            lock.lock();
        }
    }

    void stopAndFlush() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            pending_.clear();
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        UserDefaults::synchronizeAll();
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::set<UserDefaults*> pending_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool started_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

std::string fileNameForSuite(const std::string& name) {
    std::string safe = name;
    for (char& c : safe) {
        if (c == '/' || c == '\0') c = '_';
    }
    if (safe == "." || safe == "..") safe = "_";
    return safe + ".plist";
}

std::string pathForSuite(const std::string& name) {
    if (name.rfind("group.", 0) == 0) {
        if (auto container = Sandbox::containerForAppGroup(name)) {
            return *container + "/Library/Preferences/" + fileNameForSuite(name);
        }
    }
    return Sandbox::preferencesDirectory() + "/" + fileNameForSuite(name);
}

}  // namespace

struct UserDefaultsAccess {
    static UserDefaults* make(const std::string& name, const std::string& path) {
        auto impl = std::make_unique<UserDefaults::Impl>();
        impl->name = name;
        impl->path = path;
        impl->lockPath = path + ".lock";
        removeAbandonedTemporaries(path, impl->lockPath);
        DiskContent disk = readDisk(path);
        impl->values = std::move(disk.values);
        impl->known = disk.identity;
        return new UserDefaults(std::move(impl));
    }
    static void changed(UserDefaults* suite) {
        if (!Flusher::shared().schedule(suite)) suite->synchronize();
    }
};

UserDefaults::UserDefaults(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
UserDefaults::~UserDefaults() = default;

UserDefaults& UserDefaults::suite(const std::string& name) {
    const std::string suiteName = name.empty() ? std::string("standard") : name;
    const std::string path = pathForSuite(suiteName);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byPath.find(path);
    if (it == r.byPath.end()) {
        it = r.byPath.emplace(path, UserDefaultsAccess::make(suiteName, path)).first;
    }
    return *it->second;
}

UserDefaults& UserDefaults::standard() {
    std::string id = Bundle::main().bundleIdentifier();
    return suite(id.empty() ? std::string("standard") : id);
}

void UserDefaults::synchronizeAll() {
    std::vector<UserDefaults*> all;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        for (const auto& [path, suite] : r.byPath) all.push_back(suite);
    }
    for (UserDefaults* suite : all) {
        bool hasChanges;
        {
            std::lock_guard lock(suite->impl_->mutex);
            hasChanges = !suite->impl_->dirty.empty();
        }
        if (hasChanges) suite->synchronize();
    }
}

const std::string& UserDefaults::name() const { return impl_->name; }
const std::string& UserDefaults::filePath() const { return impl_->path; }

Value UserDefaults::objectForKey(std::string_view key) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->values[key];
}

bool UserDefaults::setObject(Value value, std::string_view key) {
    if (value.isNone()) {
        removeObjectForKey(key);
        return true;
    }
    if (!isPropertyListValue(value)) return false;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->values.set(key, std::move(value));
        impl_->markDirty(key);
    }
    UserDefaultsAccess::changed(this);
    return true;
}

void UserDefaults::removeObjectForKey(std::string_view key) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->values.remove(key);
        impl_->markDirty(key);
    }
    UserDefaultsAccess::changed(this);
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    Value v = objectForKey(key);
    if (v.isString()) return v.string();
    if (v.isNumber()) return v.description();
    return std::nullopt;
}

long long UserDefaults::integerForKey(std::string_view key) const { return objectForKey(key).integerValue(); }
bool UserDefaults::boolForKey(std::string_view key) const { return objectForKey(key).boolValue(); }
double UserDefaults::doubleForKey(std::string_view key) const { return objectForKey(key).doubleValue(); }

void UserDefaults::setInteger(long long value, std::string_view key) { setObject(Value(value), key); }
void UserDefaults::setBool(bool value, std::string_view key) { setObject(Value(value), key); }
void UserDefaults::setDouble(double value, std::string_view key) { setObject(Value(value), key); }

Value UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->values;
}

namespace {
// The file's content with this process's unsaved changes (sets and removals) on top.
template <typename Keys>
Value withLocalChanges(Value onDisk, const Keys& dirty, const Value& values) {
    for (const std::string& key : dirty) {
        const Value& local = values[key];
        if (local.isNone()) {
            onDisk.remove(key);
        } else {
            onDisk.set(key, local);
        }
    }
    return onDisk;
}
}  // namespace

bool UserDefaults::synchronize() {
    Impl& s = *impl_;
    std::lock_guard lock(s.mutex);

    if (s.dirty.empty()) {
        // Nothing to write: one stat tells whether someone else replaced the file.
        if (FileIdentity::ofPath(s.path) == s.known) return true;
        DiskContent disk = readDisk(s.path);
        s.values = std::move(disk.values);
        s.known = disk.identity;
        return disk.readable;
    }

    if (!Files::createDirectory(folderOf(s.path), true)) return false;
    FileLock fileLock(s.lockPath);
    if (!fileLock.locked()) return false;

    // Under the lock no other process writes, so the file read here is the one replaced.
    DiskContent disk = readDisk(s.path);
    Value merged = withLocalChanges(std::move(disk.values), s.dirty, s.values);
    std::optional<std::string> bytes;
    try {
        bytes = plist::write(merged, plist::Format::Binary);
    } catch (...) {
        bytes.reset();
    }
    if (!bytes || !Files::writeFileAtomically(s.path, *bytes)) return false;

    s.known = FileIdentity::ofPath(s.path);
    s.values = std::move(merged);
    s.dirty.clear();
    return true;
}

bool UserDefaults::reload() {
    Impl& s = *impl_;
    std::lock_guard lock(s.mutex);
    DiskContent disk = readDisk(s.path);
    Value merged = withLocalChanges(std::move(disk.values), s.dirty, s.values);
    s.values = std::move(merged);
    s.known = disk.identity;
    return disk.readable;
}

}  // namespace qm::platform

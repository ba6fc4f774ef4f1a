#include "qmplatform/preferences.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "qmplatform/bundle.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmbase/no_destructor.hpp"

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

// Keys changed here and not yet written, each with the number of the change that last
// touched it.
using DirtyKeys = std::map<std::string, std::uint64_t, std::less<>>;

// A removal when `local` is nothing.
void applyChange(Value& content, const std::string& key, const Value& local) {
    if (local.isNone()) {
        content.remove(key);
    } else {
        content.set(key, local);
    }
}

// The file's content with this process's unsaved changes (sets and removals) on top.
Value withLocalChanges(Value onDisk, const DirtyKeys& dirty, const Value& values) {
    for (const auto& [key, change] : dirty) applyChange(onDisk, key, values[key]);
    return onDisk;
}
}  // namespace

struct UserDefaults::Impl {
    std::string name;
    std::string path;
    std::string lockPath;

    // Held for the whole of a write or re-read of the file (file lock, read, merge, write),
    // so that two of them in this process never interleave. Taken before `mutex`, never
    // while holding it.
    std::mutex writerMutex;

    // Guards the fields below. Never held during file I/O, so reads and writes of values
    // (the host's main thread among them) never wait for the disk.
    mutable std::mutex mutex;
    Value values = Value::dictionary();
    DirtyKeys dirty;
    std::uint64_t changes = 0;  // numbers every change; the last one given out
    FileIdentity known;         // the file version `values` is based on

    void markDirty(std::string_view key) {
        ++changes;
        if (auto it = dirty.find(key); it != dirty.end()) {
            it->second = changes;
        } else {
            dirty.emplace(std::string(key), changes);
        }
    }

    // Under `mutex`: whether every change numbered up to `change` is written. A key changed
    // again since counts by its newer change.
    bool writtenThrough(std::uint64_t change) const {
        return std::none_of(dirty.begin(), dirty.end(), [&](const auto& entry) { return entry.second <= change; });
    }

    // A change about to be written, with the number it had when it was taken: only keys no one
    // changed again meanwhile count as written afterwards.
    struct PendingChange {
        std::string key;
        std::uint64_t number;
        Value value;  // nothing for a removal
    };

    // After `merged` (the file's content with `written` on top) was written as file version
    // `identity`: those changes are no longer pending, except for keys changed again
    // meanwhile, which keep their newer value on top of what was written. The replaced
    // content is destroyed after the lock is released.
    void tookWrite(Value merged, const std::vector<PendingChange>& written, const FileIdentity& identity) {
        Value previous;
        {
            std::lock_guard lock(mutex);
            for (const PendingChange& change : written) {
                auto it = dirty.find(change.key);
                if (it != dirty.end() && it->second == change.number) dirty.erase(it);
            }
            previous = std::exchange(values, withLocalChanges(std::move(merged), dirty, values));
            known = identity;
        }
    }

    // Takes a file version read outside the lock as the base of `values`, with local changes
    // not yet written (those made while it was read included) on top. The replaced content
    // is destroyed after the lock is released.
    bool adopt(DiskContent disk) {
        Value previous;
        {
            std::lock_guard lock(mutex);
            previous = std::exchange(values, withLocalChanges(std::move(disk.values), dirty, values));
            known = disk.identity;
        }
        return disk.readable;
    }
};

// ---- background flush ----
//
// Changed suites are written about a second after their first unwritten change by one
// process-wide thread; synchronizeSoon() and flushAll() bring that write forward to now.
// An exit handler stops that thread and writes whatever is left, so a normal exit never
// loses a change; after the handler has run, changes are written at once on the thread
// that makes them.

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

std::vector<UserDefaults*> allSuites() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<UserDefaults*> all;
    all.reserve(r.byPath.size());
    for (const auto& [path, suite] : r.byPath) all.push_back(suite);
    return all;
}

class Flusher {
public:
    using Clock = std::chrono::steady_clock;

    static Flusher& shared() {
        static NoDestructor<Flusher> f;  // never destroyed: used by the exit handler
        return *f;
    }

    // Has `suite` written by the flusher thread: about a second from now, or with `now` at
    // once. False when there is no flusher (the process is exiting, or no thread could be
    // started) and the caller should write right away.
    bool schedule(UserDefaults* suite, bool now) {
        std::lock_guard lock(mutex_);
        if (stopping_ || !startLocked()) return false;
        pending_.insert(suite);
        const auto due = now ? Clock::now() : Clock::now() + kFlushDelay;
        if (!deadline_ || due < *deadline_) {
            deadline_ = due;
            cv_.notify_one();
        }
        return true;
    }

    // Has the flusher thread write `suites` now and waits until that round has run or
    // `deadline` has passed, whichever comes first. False when there is no flusher: nothing
    // was written then, and the caller has to.
    bool flushNow(const std::vector<UserDefaults*>& suites, Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        if (stopping_ || !startLocked()) return false;
        pending_.insert(suites.begin(), suites.end());
        deadline_ = Clock::now();
        cv_.notify_one();
        // A round under way took its suites before these were added: wait for the next one.
        const std::uint64_t round = roundsStarted_ + 1;
        roundDone_.wait_until(lock, deadline, [&] { return stopping_ || roundsFinished_ >= round; });
        return roundsFinished_ >= round || !stopping_;
    }

private:
    // Under mutex_. Starts the thread (and registers the exit handler) on first use.
    bool startLocked() {
        if (started_) return true;
        if (!exitHandlerRegistered_) {
            exitHandlerRegistered_ = true;
            std::atexit([] { Flusher::shared().stopAndFlush(); });
        }
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            return false;  // no thread to spare: callers write on their own thread
        }
        started_ = true;
        return true;
    }

    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (!deadline_) {
                cv_.wait(lock);
                continue;
            }
            if (Clock::now() < *deadline_) {
                cv_.wait_until(lock, *deadline_);
                continue;
            }
            auto due = std::exchange(pending_, {});
            deadline_.reset();
            ++roundsStarted_;
            lock.unlock();
            for (UserDefaults* suite : due) suite->synchronize();
            lock.lock();
            ++roundsFinished_;
            roundDone_.notify_all();
        }
    }

    void stopAndFlush() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            pending_.clear();
        }
        cv_.notify_all();
        roundDone_.notify_all();
        // No thread starts once stopping_ is set, so thread_ no longer changes.
        if (thread_.joinable()) thread_.join();
        UserDefaults::synchronizeAll();
    }

    std::mutex mutex_;
    std::condition_variable cv_;         // wakes the flusher thread
    std::condition_variable roundDone_;  // wakes flushNow callers after each round
    std::set<UserDefaults*> pending_;
    std::optional<Clock::time_point> deadline_;
    std::uint64_t roundsStarted_ = 0;
    std::uint64_t roundsFinished_ = 0;
    bool started_ = false;
    bool exitHandlerRegistered_ = false;
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
        if (!Flusher::shared().schedule(suite, false)) suite->synchronize();
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
    for (UserDefaults* suite : allSuites()) {
        bool hasChanges;
        {
            std::lock_guard lock(suite->impl_->mutex);
            hasChanges = !suite->impl_->dirty.empty();
        }
        if (hasChanges) suite->synchronize();
    }
}

bool UserDefaults::flushAll(double timeoutSeconds) {
    using Clock = std::chrono::steady_clock;
    // NaN and negative wait not at all; anything beyond a year is a year, which keeps the
    // deadline representable.
    constexpr double kLongest = 365.0 * 24 * 3600;
    const double seconds = timeoutSeconds > 0 ? std::min(timeoutSeconds, kLongest) : 0.0;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));

    // Every change made before this call, suite by suite.
    struct Target {
        UserDefaults* suite;
        std::uint64_t change;
    };
    std::vector<Target> targets;
    std::vector<UserDefaults*> suites;
    for (UserDefaults* suite : allSuites()) {
        std::lock_guard lock(suite->impl_->mutex);
        if (suite->impl_->dirty.empty()) continue;
        targets.push_back({suite, suite->impl_->changes});
        suites.push_back(suite);
    }
    auto written = [](const Target& t) {
        std::lock_guard lock(t.suite->impl_->mutex);
        return t.suite->impl_->writtenThrough(t.change);
    };
    if (targets.empty()) return true;

    if (!Flusher::shared().flushNow(suites, deadline)) {
        // No flusher: the exit handler has run (and written what was pending then). What is
        // left is written here, on the caller's thread.
        for (const Target& t : targets) {
            if (Clock::now() >= deadline) break;
            if (!written(t)) t.suite->synchronize();
        }
    }
    return std::all_of(targets.begin(), targets.end(), written);
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

void UserDefaults::synchronizeSoon() {
    if (!Flusher::shared().schedule(this, true)) synchronize();
}

bool UserDefaults::synchronize() {
    Impl& s = *impl_;
    std::lock_guard writer(s.writerMutex);

    // What to write, taken under the lock; the file work below runs without it.
    std::vector<Impl::PendingChange> changes;
    FileIdentity known;
    {
        std::lock_guard lock(s.mutex);
        known = s.known;
        changes.reserve(s.dirty.size());
        for (const auto& [key, number] : s.dirty) changes.push_back({key, number, s.values[key]});
    }

    if (changes.empty()) {
        // Nothing to write: one stat tells whether someone else replaced the file.
        if (FileIdentity::ofPath(s.path) == known) return true;
        return s.adopt(readDisk(s.path));
    }

    if (!Files::createDirectory(folderOf(s.path), true)) return false;
    FileLock fileLock(s.lockPath);
    if (!fileLock.locked()) return false;

    // Under the lock no other process writes, so the file read here is the one replaced.
    DiskContent disk = readDisk(s.path);
    Value merged = std::move(disk.values);
    for (const auto& change : changes) applyChange(merged, change.key, change.value);
    std::optional<std::string> bytes;
    try {
        bytes = plist::write(merged, plist::Format::Binary);
    } catch (...) {
        bytes.reset();
    }
    if (!bytes || !Files::writeFileAtomically(s.path, *bytes)) return false;
    s.tookWrite(std::move(merged), changes, FileIdentity::ofPath(s.path));
    return true;
}

Value UserDefaults::updateObjectForKey(std::string_view key, const std::function<Value(const Value&)>& update) {
    Impl& s = *impl_;
    // Updates in this process queue here; other processes queue on the file lock below.
    std::lock_guard writer(s.writerMutex);

    // The unwritten changes go out with the update (as synchronize() writes them), so that
    // what this process changed earlier is never older on disk than what it changed later.
    std::vector<Impl::PendingChange> changes;
    {
        std::lock_guard lock(s.mutex);
        changes.reserve(s.dirty.size());
        for (const auto& [name, number] : s.dirty) changes.push_back({name, number, s.values[name]});
    }

    // Without the file (no folder, no lock, a failed write) the update still holds within
    // this process: writerMutex keeps other updates out while the value is read and set.
    auto updateInMemory = [&] {
        Value next;
        {
            std::lock_guard lock(s.mutex);
            next = s.values[key];
        }
        next = update(next);
        if (!next.isNone() && !isPropertyListValue(next)) {
            std::lock_guard lock(s.mutex);
            return s.values[key];
        }
        {
            std::lock_guard lock(s.mutex);
            applyChange(s.values, std::string(key), next);
            s.markDirty(key);
        }
        UserDefaultsAccess::changed(this);
        return next;
    };

    if (!Files::createDirectory(folderOf(s.path), true)) return updateInMemory();
    std::optional<FileLock> fileLock(std::in_place, s.lockPath);
    if (!fileLock->locked()) return updateInMemory();

    DiskContent disk = readDisk(s.path);
    Value merged = std::move(disk.values);
    for (const auto& change : changes) applyChange(merged, change.key, change.value);
    const Value current = merged[key];
    Value next = update(current);
    if (!next.isNone() && !isPropertyListValue(next)) next = current;
    applyChange(merged, std::string(key), next);

    std::optional<std::string> bytes;
    try {
        bytes = plist::write(merged, plist::Format::Binary);
    } catch (...) {
        bytes.reset();
    }
    if (!bytes || !Files::writeFileAtomically(s.path, *bytes)) {
        // The value the update was based on is the file's; keep it as a pending change so a
        // later write carries it, and release the lock before the flush thread is asked.
        fileLock.reset();
        {
            std::lock_guard lock(s.mutex);
            applyChange(s.values, std::string(key), next);
            s.markDirty(key);
        }
        UserDefaultsAccess::changed(this);
        return next;
    }
    const FileIdentity written = FileIdentity::ofPath(s.path);
    fileLock.reset();

    // As in synchronize(): keys changed again meanwhile stay pending on top. A change of the
    // updated key itself made by another thread during the update counts as the later one.
    s.tookWrite(std::move(merged), changes, written);
    return next;
}

bool UserDefaults::reload() {
    Impl& s = *impl_;
    std::lock_guard writer(s.writerMutex);
    return s.adopt(readDisk(s.path));
}

}  // namespace qm::platform

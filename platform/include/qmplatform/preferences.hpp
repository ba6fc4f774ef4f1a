// Preferences suites: small key/value stores kept as one binary property-list file each.
//
// Reads come from memory. Writes change memory at once and are written to disk by
// synchronize(), or automatically about a second later by a background flush thread
// (at once after synchronizeSoon()); whatever is still unwritten when the process exits
// normally (exit() or returning from main) is written by an exit handler. A write never
// overwrites keys another process changed in the meantime: it takes a file lock, re-reads
// the file and applies only the keys this process changed before it replaces the file.
// Every method is thread-safe. Reads and changes never wait for the disk: the file work
// of a write runs without the lock that guards the values in memory.
//
// Durability: a value survives the process being killed (kill -9, a crash) or the machine
// losing power once the write that carried it has completed, that is
//   - when synchronize() has returned true, or flushAll() has returned true;
//   - otherwise when the background flush has written it: about a second after the
//     change, or after synchronizeSoon() as soon as the flush thread gets to it.
// A completed write has flushed the new file to disk before renaming it over the old one,
// and flushed the folder after. Until then a kill loses the change (never the file: the
// old content stays whole).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quelmar/value.hpp"

namespace qm::platform {

class UserDefaults {
public:
    // The app's own suite, named after the main bundle's identifier ("standard" when the
    // bundle has none).
    static UserDefaults& standard();
    // The shared instance of a named suite. A name starting with "group." is an app-group
    // suite stored in that group's container (<container>/Library/Preferences/<name>.plist)
    // so the app and its extensions share it; any other name is stored in the sandbox's
    // Library/Preferences/<name>.plist. One instance per file for the life of the process.
    // Opening a suite removes the temporary files that writers of it killed midway left
    // beside its file, under the suite's file lock (skipped while another writer holds it).
    static UserDefaults& suite(const std::string& name);
    // Synchronizes every suite that has unwritten changes, on the caller's thread.
    static void synchronizeAll();
    // Writes every change made before the call, in every suite, and waits for it: true
    // when all of them are on disk (see Durability above) within `timeoutSeconds`, false
    // when a write failed or the time ran out (what is left is still written by the
    // background flush or at exit). The writing runs on the flush thread, so the deadline
    // holds even while another process keeps a suite's file lock. Thread-safe, callable
    // any number of times, also from an exit handler: once the flush thread has stopped
    // for the exit, it writes on the caller's thread instead. A key changed again during
    // the call counts with its newer value, which may or may not be written by then.
    static bool flushAll(double timeoutSeconds);

    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::string& name() const;
    const std::string& filePath() const;

    // Nothing when absent.
    Value objectForKey(std::string_view key) const;
    // Stores a property-list value (text, number, date, data, or lists and dictionaries
    // of these). Nothing removes the key. False, with nothing changed, for values a
    // property list cannot hold (the null object anywhere inside).
    bool setObject(Value value, std::string_view key);
    void removeObjectForKey(std::string_view key);

    // Text for text and the text of numbers ("12", "1.5"); nothing otherwise.
    std::optional<std::string> stringForKey(std::string_view key) const;
    // Numbers convert; text is parsed like the platform's number reading; otherwise 0/NO.
    long long integerForKey(std::string_view key) const;
    bool boolForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    void setInteger(long long value, std::string_view key);
    void setBool(bool value, std::string_view key);
    void setDouble(double value, std::string_view key);

    // Changes one key atomically across processes: under the suite's file lock it re-reads
    // the file, calls `update` with the key's current value (nothing when absent; this
    // process's unwritten change of it wins over the file's) and writes its result (nothing
    // removes the key) at once, together with every other unwritten change. Two processes
    // counting "value + 1" this way never lose an increment. Returns the value now stored.
    // `update` is called exactly once, under the lock, and must not use this suite. A result
    // a property list cannot hold leaves the value unchanged. Blocking file I/O, like
    // synchronize(); when the file cannot be locked or written, the change is made in memory
    // and left pending as any other change (then atomic within this process only).
    Value updateObjectForKey(std::string_view key, const std::function<Value(const Value& current)>& update);

    // The whole content as a dictionary.
    Value dictionaryRepresentation() const;

    // Writes local changes (merged over the file's current content) or, when there are
    // none, picks up the file if another process replaced it. Without local changes and
    // with the file unchanged this costs one stat. Returns when done, having waited for the
    // suite's file lock: blocking file I/O, not for the host's main thread. False when the
    // file could not be written; the changes stay pending then. Keys changed again while it
    // runs keep their newer value and stay pending for the next write.
    bool synchronize();
    // synchronize() without waiting: asks the background flush thread to do it now (rather
    // than a second after the change) and returns at once. Safe on the main thread. When
    // the process is exiting and the flush thread has stopped, it synchronizes here.
    void synchronizeSoon();
    // Re-reads the file now (blocking I/O, like synchronize()); local changes not yet
    // written stay on top. False when the file exists but cannot be read as a dictionary
    // property list.
    bool reload();

private:
    struct Impl;
    explicit UserDefaults(std::unique_ptr<Impl> impl);
    ~UserDefaults();
    std::unique_ptr<Impl> impl_;
    friend struct UserDefaultsAccess;
};

}  // namespace qm::platform

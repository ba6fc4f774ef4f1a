// The app's container folder and the file helpers the library stores its data with.
//
// A host configures the container once at start-up; everything the library writes lives
// below it: Documents, Library/Caches, Library/Preferences and tmp. Folders shared with
// the app's extensions (app groups) live in a sibling folder, one per group identifier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::platform {

class Sandbox {
public:
    // Sets the container folder and creates Documents, Library/Caches, Library/Preferences
    // and tmp below it. groupContainersDir holds one folder per app group; empty means
    // "<rootDir>/../AppGroups". False when a folder could not be created (the paths are
    // set anyway). Without a call the container is
    // "${XDG_DATA_HOME:-$HOME/.local/share}/quelmar/Container", created on first use.
    static bool configure(std::string rootDir, std::string groupContainersDir = "");

    static std::string root();
    static std::string documentsDirectory();
    static std::string cachesDirectory();
    static std::string preferencesDirectory();
    static std::string temporaryDirectory();
    // The shared folder of an app group, created on demand. Nothing for an empty id, an id
    // that is not a single path component, or when the folder cannot be created.
    static std::optional<std::string> containerForAppGroup(const std::string& groupId);
    // Removes from Documents and Library/Caches the temporary files that writers killed
    // in the middle of writeFileAtomically left behind (never one a live writer holds), and
    // those of the earlier naming beside the library's own "qm_" files. Returns how many.
    static std::size_t removeAbandonedTemporaryFiles();
};

// File helpers. Paths are plain file-system paths; nothing here throws.
class Files {
public:
    // The whole content; nothing when the file cannot be read.
    static std::optional<std::string> readFile(const std::string& path);
    // Replaces the file in one step: writes a temporary file in the same folder, flushes
    // it to disk, renames it over the target and flushes the folder. Readers see either
    // the old or the new content, never a mix. An existing file's permissions are kept;
    // new files are private to the user (0600). The temporary is named
    // ".<target>.qmtmp.<6 letters or digits>" and held under an exclusive flock until it
    // has been renamed, so a writer killed midway leaves an unlocked temporary behind.
    static bool writeFileAtomically(const std::string& path, std::string_view bytes);
    // The target's name when `name` is one of writeFileAtomically's temporaries; nothing
    // otherwise.
    static std::optional<std::string> temporaryTarget(std::string_view name);
    // The same for the naming of earlier versions, ".<target>.tmp.<6 letters or digits>".
    // Nothing makes such files any more, but other programs may use the same pattern: only
    // the target tells whether one is ours.
    static std::optional<std::string> earlierTemporaryTarget(std::string_view name);
    // Removes the temporary at path unless a live writer holds it (this process or another
    // one). True when it was removed.
    static bool removeAbandonedTemporary(const std::string& path);
    // True for any existing entry (file, folder, ...).
    static bool fileExists(const std::string& path);
    static bool isDirectory(const std::string& path);
    // Removes a file or a whole folder tree. True when nothing is left at path.
    static bool removeItem(const std::string& path);
    // Moves a file to `to`, also across file systems; an existing entry at `to` is not
    // replaced. True when the file is at `to` afterwards and gone from `from`.
    static bool moveItem(const std::string& from, const std::string& to);
    // Creates a folder (and its missing parents with intermediates). True when it exists
    // afterwards.
    static bool createDirectory(const std::string& path, bool intermediates = true);
    // Names (not paths) of the entries of a folder, sorted; empty when unreadable.
    static std::vector<std::string> contentsOfDirectory(const std::string& path);
    // Size in bytes; nothing when the file does not exist.
    static std::optional<std::uint64_t> fileSize(const std::string& path);
    // The "exclude from backup" mark, kept as the extended attribute
    // "user.qm.exclude-from-backup". False when the file system refuses it.
    static bool setExcludedFromBackup(const std::string& path, bool excluded);
    static bool isExcludedFromBackup(const std::string& path);
};

}  // namespace qm::platform

// An app folder with its Info.plist and resources: the main bundle and any other bundle
// folder the library reads resources from.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quelmar/value.hpp"

namespace qm::platform {

class Bundle {
public:
    explicit Bundle(std::string dir);
    Bundle(const Bundle& other);
    Bundle& operator=(const Bundle& other);
    ~Bundle();

    // The main bundle. Hosts set its folder once at start-up; until then it is the folder
    // of the running executable. Changing the folder drops the cached Info.plist.
    static void setMainBundlePath(std::string dir);
    static const Bundle& main();

    std::string path() const;
    // Info.plist in the bundle folder (XML or binary), read once and cached. An empty
    // dictionary when the file is missing or is not a dictionary property list.
    Value infoDictionary() const;
    // One entry of the info dictionary; nothing when absent.
    Value objectForInfoDictionaryKey(std::string_view key) const;
    // CFBundleIdentifier; empty when unknown.
    std::string bundleIdentifier() const;
    // The regular file "<name>.<type>" (or "<name>" for an empty type) in the bundle
    // folder, else in its Resources folder; nothing when neither exists.
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const;
    // The Resources folder when the bundle has one, else the bundle folder itself.
    std::string resourcePath() const;
    // The app's translation of a key from <lang>.lproj/Localizable.strings (the preferred
    // languages first, then "en" and "Base"); the key itself when there is none.
    std::string localizedStringForKey(const std::string& key) const;
    // Makes the next access read the Info.plist again.
    void reload() const;

private:
    struct State;
    std::unique_ptr<State> state_;
    void resetPath(std::string dir) const;
};

}  // namespace qm::platform

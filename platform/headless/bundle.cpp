#include "qmplatform/bundle.hpp"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>
#include <mutex>
#include <system_error>

#include "qmplatform/datetime.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"

namespace qm::platform {

namespace fs = std::filesystem;

struct Bundle::State {
    mutable std::mutex mutex;
    std::string path;
    std::optional<Value> info;  // cached Info.plist, read on first use
};

namespace {

std::string trimTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string executableFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) return ".";
    return exe.parent_path().string();
}

Value readInfoDictionary(const std::string& dir) {
    auto bytes = Files::readFile(dir + "/Info.plist");
    if (!bytes) return Value::dictionary();
    std::optional<Value> parsed;
    try {
        parsed = plist::read(*bytes);
    } catch (...) {
        parsed.reset();
    }
    if (!parsed || !parsed->isDictionary()) return Value::dictionary();
    return *parsed;
}

bool isRegularFile(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

}  // namespace

Bundle::Bundle(std::string dir) : state_(std::make_unique<State>()) {
    state_->path = trimTrailingSlashes(std::move(dir));
}

Bundle::Bundle(const Bundle& other) : state_(std::make_unique<State>()) {
    std::lock_guard lock(other.state_->mutex);
    state_->path = other.state_->path;
    state_->info = other.state_->info;
}

Bundle& Bundle::operator=(const Bundle& other) {
    if (this == &other) return *this;
    std::string path;
    std::optional<Value> info;
    {
        std::lock_guard lock(other.state_->mutex);
        path = other.state_->path;
        info = other.state_->info;
    }
    std::lock_guard lock(state_->mutex);
    state_->path = std::move(path);
    state_->info = std::move(info);
    return *this;
}

Bundle::~Bundle() = default;

void Bundle::resetPath(std::string dir) const {
    dir = trimTrailingSlashes(std::move(dir));
    std::lock_guard lock(state_->mutex);
    if (dir == state_->path) return;
    state_->path = std::move(dir);
    state_->info.reset();
}

namespace {
Bundle& mainBundle() {
    static auto* bundle = new Bundle(executableFolder());  // never destroyed
    return *bundle;
}
}  // namespace

void Bundle::setMainBundlePath(std::string dir) { mainBundle().resetPath(std::move(dir)); }

const Bundle& Bundle::main() { return mainBundle(); }

std::string Bundle::path() const {
    std::lock_guard lock(state_->mutex);
    return state_->path;
}

Value Bundle::infoDictionary() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->info) state_->info = readInfoDictionary(state_->path);
    return *state_->info;
}

Value Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    return infoDictionary()[key];
}

std::string Bundle::bundleIdentifier() const {
    return objectForInfoDictionaryKey("CFBundleIdentifier").stringIfText().value_or("");
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type) const {
    if (name.empty()) return std::nullopt;
    std::string file(name);
    if (!type.empty()) {
        if (type.front() != '.') file += '.';
        file += type;
    }
    const std::string dir = path();
    for (const std::string& candidate : {dir + "/" + file, dir + "/Resources/" + file}) {
        if (isRegularFile(candidate)) return candidate;
    }
    return std::nullopt;
}

std::string Bundle::resourcePath() const {
    const std::string dir = path();
    std::string resources = dir + "/Resources";
    return Files::isDirectory(resources) ? resources : dir;
}

}  // namespace qm::platform

namespace qm::platform {
namespace {
// Reads "key" = "value"; lines of a strings file (comments and other lines are skipped).
std::optional<std::string> lookUpStrings(const std::string& text, const std::string& key) {
    auto readQuoted = [&](std::size_t& i, std::string& out) {
        if (i >= text.size() || text[i] != '"') return false;
        for (++i; i < text.size(); ++i) {
            char c = text[i];
            if (c == '\\' && i + 1 < text.size()) {
                char n = text[++i];
                out += n == 'n' ? '\n' : n == 't' ? '\t' : n;
            } else if (c == '"') {
                ++i;
                return true;
            } else {
                out += c;
            }
        }
        return false;
    };
    auto skipBlanks = [&](std::size_t& i) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    };
    for (std::size_t i = 0; i < text.size();) {
        skipBlanks(i);
        std::string k, v;
        std::size_t start = i;
        if (readQuoted(i, k)) {
            skipBlanks(i);
            if (i < text.size() && text[i] == '=') {
                ++i;
                skipBlanks(i);
                if (readQuoted(i, v) && k == key) return v;
            }
        }
        std::size_t eol = text.find('\n', std::max(i, start + 1));
        if (eol == std::string::npos) break;
        i = eol + 1;
    }
    return std::nullopt;
}
}  // namespace

std::string Bundle::localizedStringForKey(const std::string& key) const {
    std::vector<std::string> folders;
    for (const auto& language : Locale::preferredLanguages()) {
        folders.push_back(language);
        folders.push_back(language.substr(0, language.find('-')));
    }
    folders.push_back("en");
    folders.push_back("Base");
    const std::string base = path();
    for (const auto& folder : folders) {
        for (const std::string& dir : {base + "/" + folder + ".lproj", base + "/Resources/" + folder + ".lproj"}) {
            auto text = Files::readFile(dir + "/Localizable.strings");
            if (!text) continue;
            if (auto value = lookUpStrings(*text, key)) return *value;
        }
    }
    return key;
}

void Bundle::reload() const {
    std::lock_guard lock(state_->mutex);
    state_->info.reset();
}

}  // namespace qm::platform

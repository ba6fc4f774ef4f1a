#include "qmplatform/bundle.hpp"

#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <system_error>

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

#include "qmplatform/pasteboard.hpp"

#include <mutex>
#include <utility>

#include "qmbase/no_destructor.hpp"

namespace qm::platform {

struct Pasteboard::Impl {
    mutable std::mutex mutex;
    std::vector<Dictionary> items;
    long changeCount = 0;
};

Pasteboard& Pasteboard::general() {
    static NoDestructor<Pasteboard> pasteboard;  // never destroyed
    return *pasteboard;
}

Pasteboard::Impl& Pasteboard::impl() const {
    static NoDestructor<Impl> state;  // never destroyed; there is one pasteboard
    return *state;
}

std::optional<std::string> Pasteboard::string() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    for (const auto& item : state.items) {
        auto it = item.find(kPlainTextType);
        if (it != item.end() && it->second.isString()) return it->second.string();
    }
    return std::nullopt;
}

void Pasteboard::setString(std::string text) { setItems({Dictionary{{kPlainTextType, Value(std::move(text))}}}); }

std::vector<Dictionary> Pasteboard::items() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return state.items;
}

void Pasteboard::setItems(std::vector<Dictionary> items) {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    state.items = std::move(items);
    ++state.changeCount;
}

long Pasteboard::changeCount() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return state.changeCount;
}

}  // namespace qm::platform

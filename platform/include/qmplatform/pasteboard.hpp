// The general pasteboard. It may be used from any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quelmar/value.hpp"

namespace qm {
template <typename T>
class NoDestructor;
}  // namespace qm

namespace qm::platform {

class Pasteboard {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static constexpr const char* kPlainTextType = "public.utf8-plain-text";

    static Pasteboard& general();

    // The text of the first item that has plain text; nothing otherwise.
    std::optional<std::string> string() const;
    // Replaces the contents with one plain text item.
    void setString(std::string text);
    // Each item maps a type identifier to its value.
    std::vector<Dictionary> items() const;
    void setItems(std::vector<Dictionary> items);
    // Grows by one with every change of the contents.
    long changeCount() const;

    Pasteboard(const Pasteboard&) = delete;
    Pasteboard& operator=(const Pasteboard&) = delete;

private:
    Pasteboard() = default;
    ~Pasteboard() = default;
    struct Impl;
    Impl& impl() const;
};

}  // namespace qm::platform

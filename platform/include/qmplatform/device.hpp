// Facts about the device the library runs on. Real readings on Linux where they exist;
// hosts and tests can set each one.
#pragma once

#include <optional>
#include <string>

namespace qm {
template <typename T>
class NoDestructor;
}  // namespace qm

namespace qm::platform {

class Device {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static Device& current();

    std::string systemName() const;     // e.g. "Linux"
    std::string systemVersion() const;  // the OS release, e.g. "12" or "6.1"
    std::string model() const;          // the machine, e.g. "x86_64"
    // A UUID text that stays the same for this app installation (kept in the sandbox).
    std::string identifierForVendor() const;

    void setSystemName(std::optional<std::string> v);
    void setSystemVersion(std::optional<std::string> v);
    void setModel(std::optional<std::string> v);
    void setIdentifierForVendor(std::optional<std::string> v);

    // A random version-4 UUID in upper-case text.
    static std::string makeUUID();

private:
    Device() = default;
};

}  // namespace qm::platform

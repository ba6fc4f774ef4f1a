#include "qmplatform/device.hpp"

#include <sys/utsname.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>

#include <openssl/rand.h>

#include "qmplatform/sandbox.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm::platform {
namespace {
struct Overrides {
    std::mutex mutex;
    std::optional<std::string> systemName, systemVersion, model, vendorID;
};
Overrides& overrides() {
    static NoDestructor<Overrides> o;
    return *o;
}

std::optional<std::string> get(std::optional<std::string> Overrides::*field) {
    std::lock_guard lock(overrides().mutex);
    return overrides().*field;
}
void put(std::optional<std::string> Overrides::*field, std::optional<std::string> v) {
    std::lock_guard lock(overrides().mutex);
    overrides().*field = std::move(v);
}

// VERSION_ID of /etc/os-release, else the kernel release.
std::string readSystemVersion() {
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VERSION_ID=", 0) == 0) {
            std::string v = line.substr(11);
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            if (!v.empty()) return v;
        }
    }
    utsname u{};
    return uname(&u) == 0 ? std::string(u.release) : std::string("0");
}
}  // namespace

Device& Device::current() {
    static NoDestructor<Device> device;
    return *device;
}

std::string Device::systemName() const {
    if (auto v = get(&Overrides::systemName)) return *v;
    // The kernel's name does not change while the process runs.
    static const std::string* real = [] {
        utsname u{};
        return new std::string(uname(&u) == 0 ? u.sysname : "Linux");
    }();
    return *real;
}

std::string Device::systemVersion() const {
    if (auto v = get(&Overrides::systemVersion)) return *v;
    static const std::string* real = new std::string(readSystemVersion());
    return *real;
}

std::string Device::model() const {
    if (auto v = get(&Overrides::model)) return *v;
    static const std::string* real = [] {
        utsname u{};
        return new std::string(uname(&u) == 0 ? u.machine : "unknown");
    }();
    return *real;
}

std::string Device::identifierForVendor() const {
    std::lock_guard lock(overrides().mutex);
    if (overrides().vendorID) return *overrides().vendorID;
    const std::string path = Sandbox::root() + "/Library/vendor-identifier";
    if (auto stored = Files::readFile(path); stored && stored->size() == 36) {
        overrides().vendorID = *stored;
        return *stored;
    }
    std::string id = makeUUID();
    Files::writeFileAtomically(path, id);
    overrides().vendorID = id;
    return id;
}

void Device::setSystemName(std::optional<std::string> v) { put(&Overrides::systemName, std::move(v)); }
void Device::setSystemVersion(std::optional<std::string> v) { put(&Overrides::systemVersion, std::move(v)); }
void Device::setModel(std::optional<std::string> v) { put(&Overrides::model, std::move(v)); }
void Device::setIdentifierForVendor(std::optional<std::string> v) { put(&Overrides::vendorID, std::move(v)); }

std::string Device::makeUUID() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        std::random_device rd;
        for (auto& c : b) c = static_cast<unsigned char>(rd());
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char out[37];
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

}  // namespace qm::platform

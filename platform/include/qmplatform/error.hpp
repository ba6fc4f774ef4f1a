// An error with a domain, a code and a text, printed like the platform's errors.
#pragma once

#include <string>

namespace qm::platform {

inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";

struct Error {
    std::string domain;
    long code = 0;
    std::string localizedDescription;

    // "Error Domain=D Code=N \"text\""
    std::string description() const {
        return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
    }
};

}  // namespace qm::platform

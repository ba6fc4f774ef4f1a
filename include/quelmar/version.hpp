#pragma once

// Exported version symbols of the library.
extern "C" {
extern const double quelmarVersionNumber;
extern const unsigned char quelmarVersionString[];
}

namespace qm {
// The SDK version the library reports to the service.
inline constexpr const char* kSDKVersion = "7.0.5";
}  // namespace qm

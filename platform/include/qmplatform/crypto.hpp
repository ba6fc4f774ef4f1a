// The cryptography the library needs: AES-256 in CBC mode with PKCS#7 padding, HMAC-SHA256
// and random bytes from the system's cryptographic generator.
//
// Every function is safe from any thread, never throws, and reports failure as nothing (or
// false): the caller decides what a failure means.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "quelmar/value.hpp"

namespace qm::platform::crypto {

constexpr std::size_t kAES256KeyLength = 32;
constexpr std::size_t kAESBlockLength = 16;
constexpr std::size_t kSHA256Length = 32;

// AES-256-CBC with PKCS#7 padding: the result is the input padded to the next whole block
// (a whole block of padding when the input already ends on one). Nothing when the key is
// not 32 bytes or the iv not 16.
std::optional<Bytes> aes256CBCEncrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                      std::span<const std::uint8_t> plain);
// The inverse, padding removed. Nothing as well when the input is not a whole number of
// blocks or its padding is not valid (as with a wrong key).
std::optional<Bytes> aes256CBCDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                      std::span<const std::uint8_t> encrypted);

// HMAC-SHA256 of `data` under `key` (of any length). Nothing only if the hash fails.
std::optional<std::array<std::uint8_t, kSHA256Length>> hmacSHA256(std::span<const std::uint8_t> key,
                                                                   std::span<const std::uint8_t> data);

// Fills `out` from the system's cryptographically secure generator; false (with `out` in
// an unspecified state) when that generator cannot deliver.
bool randomBytes(std::span<std::uint8_t> out);

}  // namespace qm::platform::crypto

#include "core/QMSDKEncryptionHandler.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "qmplatform/crypto.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The key text in a 32-byte buffer of zeros: shorter texts are zero-filled, longer ones cut.
std::array<std::uint8_t, platform::crypto::kAES256KeyLength> keyBuffer(const Value& key) {
    std::array<std::uint8_t, platform::crypto::kAES256KeyLength> buffer{};
    const std::string text = key.description();
    std::copy_n(text.begin(), std::min(text.size(), buffer.size()), buffer.begin());
    return buffer;
}

std::optional<Bytes> runCipher(bool encrypt, const Value& key, const Bytes& input) {
    try {
        const auto keyBytes = keyBuffer(key);
        const std::array<std::uint8_t, platform::crypto::kAESBlockLength> iv{};
        return encrypt ? platform::crypto::aes256CBCEncrypt(keyBytes, iv, input)
                       : platform::crypto::aes256CBCDecrypt(keyBytes, iv, input);
    } catch (...) {
        return std::nullopt;
    }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(const Bytes& bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        std::uint8_t c = bytes[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (n - i - 1 < extra) return false;
        if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (std::size_t k = 2; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

QMSDKEncryptionHandler& QMSDKEncryptionHandler::sharedInstance() {
    // Intentionally never destroyed: background completions may still use it at exit.
    static NoDestructor<QMSDKEncryptionHandler> instance;
    return *instance;
}

std::optional<Bytes> QMSDKEncryptionHandler::qmAESEncryptWithKey(const Value& key, const Bytes& input) const {
    return runCipher(true, key, input);
}

std::optional<Bytes> QMSDKEncryptionHandler::qmAESDecryptWithKey(const Value& key, const Bytes& encrypted) const {
    return runCipher(false, key, encrypted);
}

std::optional<std::string> QMSDKEncryptionHandler::qmEncryptWithKey(const Value& key, const Value& plainText) const {
    try {
        std::string text = plainText.description();
        auto encrypted = qmAESEncryptWithKey(key, Bytes(text.begin(), text.end()));
        if (!encrypted) return std::nullopt;
        return base64EncodingWithInputData(*encrypted);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> QMSDKEncryptionHandler::qmDecryptWithKey(const Value& key, const Value& base64Text) const {
    try {
        auto decrypted = qmAESDecryptWithKey(key, qmDataWithBase64EncodedString(base64Text.description()));
        if (!decrypted || !isValidUTF8(*decrypted)) return std::nullopt;
        return std::string(decrypted->begin(), decrypted->end());
    } catch (...) {
        return std::nullopt;
    }
}

Bytes QMSDKEncryptionHandler::qmDataWithBase64EncodedString(std::string_view text) {
    Bytes out;
    try {
        out.reserve(text.size() / 4 * 3 + 2);
        std::uint32_t group = 0;
        int count = 0;
        for (char ch : text) {
            if (ch == '=') break;
            int v = base64Value(static_cast<unsigned char>(ch));
            if (v < 0) continue;
            group = (group << 6) | static_cast<std::uint32_t>(v);
            if (++count == 4) {
                out.push_back(static_cast<std::uint8_t>(group >> 16));
                out.push_back(static_cast<std::uint8_t>(group >> 8));
                out.push_back(static_cast<std::uint8_t>(group));
                group = 0;
                count = 0;
            }
        }
        if (count == 2) {
            out.push_back(static_cast<std::uint8_t>(group >> 4));
        } else if (count == 3) {
            out.push_back(static_cast<std::uint8_t>(group >> 10));
            out.push_back(static_cast<std::uint8_t>(group >> 2));
        }
    } catch (...) {
        return {};
    }
    return out;
}

std::string QMSDKEncryptionHandler::base64EncodingWithLineLength(std::size_t lineLength, const Bytes& input) {
    std::string out;
    try {
        std::size_t groups = (input.size() + 2) / 3;
        out.reserve(groups * 4 + (lineLength ? groups * 4 / lineLength + 1 : 0));
        std::size_t lineUsed = 0;
        for (std::size_t i = 0; i < input.size(); i += 3) {
            std::size_t remaining = input.size() - i;
            std::uint32_t group = static_cast<std::uint32_t>(input[i]) << 16;
            if (remaining > 1) group |= static_cast<std::uint32_t>(input[i + 1]) << 8;
            if (remaining > 2) group |= input[i + 2];
            out.push_back(kAlphabet[(group >> 18) & 0x3F]);
            out.push_back(kAlphabet[(group >> 12) & 0x3F]);
            out.push_back(remaining > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=');
            out.push_back(remaining > 2 ? kAlphabet[group & 0x3F] : '=');
            if (lineLength != 0) {
                lineUsed += 4;
                if (lineUsed >= lineLength) {
                    out.push_back('\n');
                    lineUsed = 0;
                }
            }
        }
    } catch (...) {
        return {};
    }
    return out;
}

}  // namespace qm

// AES-256-CBC encryption of texts and data with a text key, and the base64 codec the library
// uses for encrypted payloads. Nothing here throws; failures come back as nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "quelmar/value.hpp"

namespace qm {

template <typename T>
class NoDestructor;

class QMSDKEncryptionHandler {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static QMSDKEncryptionHandler& sharedInstance();

    // AES with a 256-bit key in CBC mode, an all-zero IV and PKCS#7 padding. The key is the
    // "%@" text of `key` ("(null)" for nothing) as UTF-8, placed in a 32-byte buffer of zeros:
    // shorter keys are zero-filled, longer keys are cut after their 32nd byte (even inside a
    // multi-byte character). Nothing when the cipher reports an error, e.g. bad padding or an
    // encrypted length that is not a multiple of 16.
    std::optional<Bytes> qmAESEncryptWithKey(const Value& key, const Bytes& input) const;
    std::optional<Bytes> qmAESDecryptWithKey(const Value& key, const Bytes& encrypted) const;

    // Encrypts the UTF-8 bytes of the "%@" text of `plainText`; the result is base64 on one line.
    std::optional<std::string> qmEncryptWithKey(const Value& key, const Value& plainText) const;
    // Decodes the "%@" text of `base64Text` leniently, decrypts it and returns the text; nothing
    // when decryption fails or the decrypted bytes are not valid UTF-8.
    std::optional<std::string> qmDecryptWithKey(const Value& key, const Value& base64Text) const;

    // Lenient base64 decoding: every character outside the base64 alphabet (line breaks,
    // spaces, bytes above 0x7F) is skipped and the first "=" ends the input. A final group of
    // two or three characters gives one or two bytes; a lone final character gives nothing.
    static Bytes qmDataWithBase64EncodedString(std::string_view text);

    // Standard base64 with "=" padding. With a non-zero line length, "\n" follows every group
    // of four characters that brings the current line to at least that length (the last
    // group included), so lines are the line length rounded up to a multiple of four.
    static std::string base64EncodingWithLineLength(std::size_t lineLength, const Bytes& input);
    static std::string base64EncodingWithInputData(const Bytes& input) { return base64EncodingWithLineLength(0, input); }

private:
    QMSDKEncryptionHandler() = default;
};

}  // namespace qm

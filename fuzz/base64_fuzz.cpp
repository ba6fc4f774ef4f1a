// Decodes arbitrary text as base64; the decoded bytes must survive encoding (on one line and
// broken into lines) and decoding again. The same bytes are decrypted with a fixed key: that
// must never crash, and whatever decrypts must encrypt back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/QMSDKEncryptionHandler.hpp"

using qm::QMSDKEncryptionHandler;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    qm::Bytes decoded = QMSDKEncryptionHandler::qmDataWithBase64EncodedString(text);
    std::size_t lineLength = size == 0 ? 0 : data[0] % 80;
    for (std::size_t length : {std::size_t{0}, lineLength}) {
        auto encoded = QMSDKEncryptionHandler::base64EncodingWithLineLength(length, decoded);
        if (QMSDKEncryptionHandler::qmDataWithBase64EncodedString(encoded) != decoded) std::abort();
    }

    auto& handler = QMSDKEncryptionHandler::sharedInstance();
    qm::Bytes raw(data, data + size);
    if (auto plain = handler.qmAESDecryptWithKey("fuzz-key", raw)) {
        if (handler.qmAESEncryptWithKey("fuzz-key", *plain) != raw) std::abort();
    }
    (void)handler.qmDecryptWithKey("fuzz-key", qm::Value(text));
    return 0;
}

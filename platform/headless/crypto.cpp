// Cryptography on OpenSSL's libcrypto.
#include "qmplatform/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace qm::platform::crypto {

namespace {

// EVP takes int lengths; larger inputs go through in pieces of this size.
constexpr std::size_t kChunkLength = std::size_t{1} << 30;

// Keeps OpenSSL's exit-time cleanup from pulling the library out from under a queue still
// encrypting at exit (effective only if nothing initialised OpenSSL before us).
void initialise() {
    static const bool done = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        return true;
    }();
    (void)done;
}

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};

std::optional<Bytes> runCipher(bool encrypt, std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                               std::span<const std::uint8_t> input) {
    if (key.size() != kAES256KeyLength || iv.size() != kAESBlockLength) return std::nullopt;
    initialise();
    try {
        std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
        if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1) {
            ERR_clear_error();
            return std::nullopt;
        }
        Bytes output(input.size() + kAESBlockLength);
        std::size_t written = 0;
        for (std::size_t offset = 0; offset < input.size(); offset += kChunkLength) {
            const int chunk = static_cast<int>(std::min(kChunkLength, input.size() - offset));
            int produced = 0;
            if (EVP_CipherUpdate(ctx.get(), output.data() + written, &produced, input.data() + offset, chunk) != 1) {
                ERR_clear_error();
                return std::nullopt;
            }
            written += static_cast<std::size_t>(produced);
        }
        int produced = 0;
        if (EVP_CipherFinal_ex(ctx.get(), output.data() + written, &produced) != 1) {
            ERR_clear_error();
            return std::nullopt;
        }
        output.resize(written + static_cast<std::size_t>(produced));
        return output;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<Bytes> aes256CBCEncrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                      std::span<const std::uint8_t> plain) {
    return runCipher(true, key, iv, plain);
}

std::optional<Bytes> aes256CBCDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                      std::span<const std::uint8_t> encrypted) {
    return runCipher(false, key, iv, encrypted);
}

std::optional<std::array<std::uint8_t, kSHA256Length>> hmacSHA256(std::span<const std::uint8_t> key,
                                                                   std::span<const std::uint8_t> data) {
    if (key.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    initialise();
    std::array<std::uint8_t, kSHA256Length> digest{};
    unsigned int length = 0;
    // An empty span may carry a null pointer; HMAC wants a valid one even for no bytes.
    static const std::uint8_t kNothing = 0;
    if (!HMAC(EVP_sha256(), key.empty() ? &kNothing : key.data(), static_cast<int>(key.size()),
              data.empty() ? &kNothing : data.data(), data.size(), digest.data(), &length) ||
        length != kSHA256Length) {
        ERR_clear_error();
        return std::nullopt;
    }
    return digest;
}

bool randomBytes(std::span<std::uint8_t> out) {
    initialise();
    while (!out.empty()) {
        const std::size_t chunk = std::min(out.size(), kChunkLength);
        if (RAND_bytes(out.data(), static_cast<int>(chunk)) != 1) {
            ERR_clear_error();
            return false;
        }
        out = out.subspan(chunk);
    }
    return true;
}

}  // namespace qm::platform::crypto

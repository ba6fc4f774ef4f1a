// AES-256-CBC, HMAC-SHA256 and random bytes, against published vectors.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "qmplatform/crypto.hpp"

using namespace qm::platform;
using qm::Bytes;

namespace {

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// NIST SP 800-38A, F.2.5 (CBC-AES256.Encrypt): four blocks, no padding.
const Bytes kNistKey = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const Bytes kNistIV = fromHex("000102030405060708090a0b0c0d0e0f");
const Bytes kNistPlain = fromHex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
const Bytes kNistCipher = fromHex(
    "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
    "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");

}  // namespace

TEST(Crypto, AESMatchesTheNistVectorAndAppendsAWholePaddingBlock) {
    const auto encrypted = crypto::aes256CBCEncrypt(kNistKey, kNistIV, kNistPlain);
    ASSERT_TRUE(encrypted);
    ASSERT_EQ(encrypted->size(), kNistPlain.size() + 16);  // input ends on a block: 16 bytes of 0x10 follow
    EXPECT_EQ(Bytes(encrypted->begin(), encrypted->begin() + 64), kNistCipher);
    // The padding block, from `openssl enc -aes-256-cbc -K <key> -iv <iv>` over the same input.
    EXPECT_EQ(Bytes(encrypted->begin() + 64, encrypted->end()), fromHex("3f461796d6b0d6b2e0c2a72b4d80e644"));
    EXPECT_EQ(crypto::aes256CBCDecrypt(kNistKey, kNistIV, *encrypted), kNistPlain);

    // A short input padded to one block (same tool).
    EXPECT_EQ(crypto::aes256CBCEncrypt(kNistKey, kNistIV, bytesOf("abc")), fromHex("83286afe49594ce405a251bdb203750f"));
}

TEST(Crypto, AESRoundTripsEveryLengthAroundTheBlockSize) {
    Bytes plain;
    for (std::size_t length = 0; length <= 33; ++length) {
        SCOPED_TRACE(length);
        const auto encrypted = crypto::aes256CBCEncrypt(kNistKey, kNistIV, plain);
        ASSERT_TRUE(encrypted);
        EXPECT_EQ(encrypted->size(), (length / 16 + 1) * 16);
        EXPECT_EQ(crypto::aes256CBCDecrypt(kNistKey, kNistIV, *encrypted), plain);
        plain.push_back(static_cast<std::uint8_t>(0xA0 + length));
    }
}

TEST(Crypto, AESRefusesBadKeysIVsLengthsAndPadding) {
    const Bytes shortKey(31, 1), longKey(33, 1), shortIV(15, 0);
    EXPECT_FALSE(crypto::aes256CBCEncrypt(shortKey, kNistIV, kNistPlain));
    EXPECT_FALSE(crypto::aes256CBCEncrypt(longKey, kNistIV, kNistPlain));
    EXPECT_FALSE(crypto::aes256CBCEncrypt(kNistKey, shortIV, kNistPlain));
    EXPECT_FALSE(crypto::aes256CBCDecrypt(kNistKey, Bytes{}, kNistCipher));

    const Bytes encrypted = *crypto::aes256CBCEncrypt(kNistKey, kNistIV, bytesOf("hello, world"));
    EXPECT_FALSE(crypto::aes256CBCDecrypt(kNistKey, kNistIV, Bytes{}));
    EXPECT_FALSE(crypto::aes256CBCDecrypt(kNistKey, kNistIV, Bytes(encrypted.begin(), encrypted.end() - 1)));
    // The last plaintext byte (padding 0x04) is the last IV byte XOR-ed in: 0x04 ^ 0x24 = 0x20,
    // more than a block of padding.
    Bytes badIV = kNistIV;
    badIV.back() ^= 0x24;
    EXPECT_FALSE(crypto::aes256CBCDecrypt(kNistKey, badIV, encrypted));
    // The unpadded vector alone ends in 0x10 but not in sixteen of them: no valid padding.
    EXPECT_FALSE(crypto::aes256CBCDecrypt(kNistKey, kNistIV, kNistCipher));
}

// RFC 4231, test cases 1, 2 and 6 (a key longer than the hash's block).
TEST(Crypto, HMACSHA256MatchesRfcVectors) {
    struct Case { Bytes key; std::string data; std::string digest; };
    const Case cases[] = {
        {Bytes(20, 0x0b), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {bytesOf("Jefe"), "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {Bytes(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        const auto digest = crypto::hmacSHA256(c.key, bytesOf(c.data));
        ASSERT_TRUE(digest);
        EXPECT_EQ(Bytes(digest->begin(), digest->end()), fromHex(c.digest));
    }
    // Empty key and message (Python's hmac module).
    const auto empty = crypto::hmacSHA256({}, {});
    ASSERT_TRUE(empty);
    EXPECT_EQ(Bytes(empty->begin(), empty->end()),
              fromHex("b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"));
}

TEST(Crypto, RandomBytesFillTheBufferAndDiffer) {
    Bytes a(64, 0), b(64, 0);
    ASSERT_TRUE(crypto::randomBytes(a));
    ASSERT_TRUE(crypto::randomBytes(b));
    EXPECT_NE(a, b);             // equal by chance with probability 2^-512
    EXPECT_NE(a, Bytes(64, 0));
    EXPECT_TRUE(crypto::randomBytes({}));
}

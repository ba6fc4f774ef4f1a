#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/QMSDKEncryptionHandler.hpp"

using namespace qm;

namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

const std::string kKey32 = "0123456789abcdef0123456789abcdef";

}  // namespace

// Expected ciphertexts were produced with the command-line tool, e.g.
//   printf 'abc' | openssl enc -aes-256-cbc -K <key bytes in hex, zero-filled to 32 bytes>
//       -iv 00000000000000000000000000000000 | xxd -p
TEST(Encryption, AESMatchesIndependentlyComputedVectors) {
    auto& handler = QMSDKEncryptionHandler::sharedInstance();
    struct Vector { Value key; std::string plain; std::string cipherHex; };
    const Vector vectors[] = {
        {kKey32, "abc", "9d7ab829be8b28fd0d1f1568d8842e00"},
        {kKey32, "", "8aa36241fde8df054dc325c6c695b89e"},
        {kKey32, "0123456789ABCDEF", "675097f4993a8867f5a9141c0da16addafac00de7d3c47fe7ea346a66e940f00"},
        {kKey32, "The quick brown fox jumps over the lazy dog",
         "08bd9995d03ceec879e26eff0ddac112e82faa6e8d3936edb780301c235f87b436fd02ec91d67adf345271d4a058e18f"},
        {"secret", "abc", "a80d5153a4dabfe5f3b52ee9bd9ebdeb"},  // short key: zero-filled
        {Value(), "abc", "ef3b35d16093b126b6e844629f30f524"},   // missing key: the text "(null)"
        // Longer keys are cut after 32 bytes, here inside the two-byte "é".
        {std::string(31, 'a') + "\xc3\xa9xyz", "abc", "6eaac078f90296b9fbabff0acb3def01"},
        {kKey32 + "EXTRA", "abc", "9d7ab829be8b28fd0d1f1568d8842e00"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.key.description() + " / " + v.plain);
        EXPECT_EQ(handler.qmAESEncryptWithKey(v.key, bytesOf(v.plain)), fromHex(v.cipherHex));
        EXPECT_EQ(handler.qmAESDecryptWithKey(v.key, fromHex(v.cipherHex)), bytesOf(v.plain));
    }
    EXPECT_EQ(handler.qmEncryptWithKey("secret", "abc"), "qA1RU6Tav+XztS7pvZ696w==");
    EXPECT_EQ(handler.qmEncryptWithKey(kKey32, "h\xc3\xa9llo \xe2\x9c\x93"), "pabtnxrunE7CmdcZovnJTA==");
}

TEST(Encryption, TextRoundTripAndFailures) {
    auto& handler = QMSDKEncryptionHandler::sharedInstance();
    auto encrypted = handler.qmEncryptWithKey("k1", "abc");
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(handler.qmDecryptWithKey("k1", *encrypted), "abc");
    // Line breaks in the stored text do not matter to decoding.
    EXPECT_EQ(handler.qmDecryptWithKey("k1", encrypted->substr(0, 10) + "\r\n" + encrypted->substr(10)), "abc");

    auto other = handler.qmDecryptWithKey("k2", *encrypted);
    EXPECT_TRUE(!other || *other != "abc");

    // Lengths that are not whole blocks, and nothing at all, are cipher errors.
    EXPECT_EQ(handler.qmAESDecryptWithKey("k1", Bytes(15, 0x41)), std::nullopt);
    EXPECT_EQ(handler.qmAESDecryptWithKey("k1", Bytes{}), std::nullopt);
    EXPECT_EQ(handler.qmDecryptWithKey("k1", "not base64 at all"), std::nullopt);
    // Bytes FF FE under kKey32 (computed with the command-line tool): decrypts, but is not UTF-8.
    EXPECT_EQ(handler.qmAESDecryptWithKey(kKey32, handler.qmDataWithBase64EncodedString("qYWrJpdHeURKkIGWkwHZlQ==")),
              (Bytes{0xFF, 0xFE}));
    EXPECT_EQ(handler.qmDecryptWithKey(kKey32, "qYWrJpdHeURKkIGWkwHZlQ=="), std::nullopt);
}

TEST(Encryption, Base64MatchesRfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(QMSDKEncryptionHandler::base64EncodingWithInputData(bytesOf(plain)), encoded);
        EXPECT_EQ(QMSDKEncryptionHandler::qmDataWithBase64EncodedString(encoded), bytesOf(plain));
    }
    // Every value of the alphabet once; the bytes come from `base64 -d | xxd -p`.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const Bytes alphabetBytes = fromHex("00108310518720928b30d38f41149351559761969b71d79f8218a39259a7a29aabb2dbafc31cb3d35db7e39ebbf3dfbf");
    EXPECT_EQ(QMSDKEncryptionHandler::qmDataWithBase64EncodedString(alphabet), alphabetBytes);
    EXPECT_EQ(QMSDKEncryptionHandler::base64EncodingWithInputData(alphabetBytes), alphabet);
}

TEST(Encryption, Base64DecodingSkipsForeignCharactersAndStopsAtPadding) {
    auto decode = [](std::string_view text) { return QMSDKEncryptionHandler::qmDataWithBase64EncodedString(text); };
    EXPECT_EQ(decode("Zm9v\nYmFy\n"), bytesOf("foobar"));
    EXPECT_EQ(decode(" Zm 9v\tYm\r\nE= Zm9v"), bytesOf("fooba"));
    EXPECT_EQ(decode("Zm\xc3\xa9-9v*"), bytesOf("foo"));  // non-ASCII and "-", "*" are skipped
    EXPECT_EQ(decode("=Zm9v"), Bytes{});
    EXPECT_EQ(decode("Zm9vY"), bytesOf("foo"));  // a lone final character gives nothing
    EXPECT_EQ(decode("Zg"), bytesOf("f"));
    EXPECT_EQ(decode("Zm8"), bytesOf("fo"));
}

TEST(Encryption, Base64LineBreaksFollowTheGroupThatFillsTheLine) {
    auto encode = [](std::size_t lineLength, std::string_view text) {
        return QMSDKEncryptionHandler::base64EncodingWithLineLength(lineLength, bytesOf(text));
    };
    EXPECT_EQ(encode(8, "foobarfoo"), "Zm9vYmFy\nZm9v");
    EXPECT_EQ(encode(8, "foobarfoobar"), "Zm9vYmFy\nZm9vYmFy\n");
    EXPECT_EQ(encode(6, "foobarfoo"), "Zm9vYmFy\nZm9v");  // lines round up to whole groups
    EXPECT_EQ(encode(1, "foobar"), "Zm9v\nYmFy\n");
    EXPECT_EQ(encode(8, ""), "");

    // 60 bytes of "foo" make 20 groups "Zm9v": 19 groups (76 characters), a break, one more.
    std::string foo20;
    for (int i = 0; i < 20; ++i) foo20 += "foo";
    std::string expected;
    for (int i = 0; i < 19; ++i) expected += "Zm9v";
    expected += "\nZm9v";
    EXPECT_EQ(encode(76, foo20), expected);
    EXPECT_EQ(QMSDKEncryptionHandler::qmDataWithBase64EncodedString(expected), bytesOf(foo20));
}

// Every seed and every input the fuzzer once crashed on must pass the fuzzer's own checks.
TEST(Encryption, ReplaysFuzzInputs) {
    auto& handler = QMSDKEncryptionHandler::sharedInstance();
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QM_TEST_DATA_DIR "/fuzz/base64")) {
        if (!entry.is_regular_file()) continue;
        ++files;
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Bytes decoded = QMSDKEncryptionHandler::qmDataWithBase64EncodedString(text);
        for (std::size_t lineLength : {0, 1, 64, 76}) {
            EXPECT_EQ(QMSDKEncryptionHandler::qmDataWithBase64EncodedString(
                          QMSDKEncryptionHandler::base64EncodingWithLineLength(lineLength, decoded)),
                      decoded);
        }
        if (auto plain = handler.qmAESDecryptWithKey("fuzz-key", bytesOf(text))) {
            EXPECT_EQ(handler.qmAESEncryptWithKey("fuzz-key", *plain), bytesOf(text));
        }
        handler.qmDecryptWithKey("fuzz-key", text);
    }
    EXPECT_GT(files, 0);
}

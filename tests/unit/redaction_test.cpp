#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/QMFormFields.hpp"
#include "core/QMRedaction.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/url.hpp"

using namespace qm;

namespace {

const std::string kEllipsis = "\xE2\x80\xA6";

// Secrets below contain letters outside 0-9a-f, so no redacted hash can spell them.
void expectHidden(const std::string& text, std::initializer_list<const char*> secrets) {
    for (const char* secret : secrets) EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << text;
}

}  // namespace

TEST(Redaction, ValuesKeepOnlyLengthHashAndTheStartOfLongOnes) {
    const std::string key = "secret-key-0123456789abcdef";  // 27 characters
    EXPECT_EQ(QMRedaction::qmRedactText(key).rfind("sec" + kEllipsis + "(27)#", 0), 0u);
    EXPECT_EQ(QMRedaction::qmRedactText("bob").rfind(kEllipsis + "(3)#", 0), 0u);
    EXPECT_EQ(QMRedaction::qmRedactText(""), "");
    // Characters, not bytes, are counted, and the start never splits one.
    EXPECT_EQ(QMRedaction::qmRedactText("\xC3\xA9t\xC3\xA9").rfind(kEllipsis + "(3)#", 0), 0u);
    const std::string accents = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                                "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
    EXPECT_EQ(QMRedaction::qmRedactText(accents).rfind("\xC3\xA9\xC3\xA9\xC3\xA9" + kEllipsis + "(16)#", 0), 0u);

    // The hash tells equal values from different ones within a run.
    EXPECT_EQ(QMRedaction::qmRedactText("bob"), QMRedaction::qmRedactText("bob"));
    EXPECT_NE(QMRedaction::qmRedactText("bob"), QMRedaction::qmRedactText("tom"));
}

TEST(Redaction, FormBodiesHideSecretFieldsWhetherPercentEncodedOrNot) {
    const std::string plain =
        "bid=1234&bid_e=secret-key-0123456789abcdef&device=2&deviceID=VENDOR-QX&clickID=&language=English"
        "&userID=bob&ux&userParams={\"tier\":\"platinum-q\",\"mail\":\"bob@quux.org\"}&prev_user_id=old-user-q"
        "&cookieData=_qm_sess=sess-q;_qm_uid=uid-q;&event_name=buy&attributes=[\"visa-q\"]&ltv=19.99";
    const std::string encoded =
        "bid=1234&bid_e=secret-key-0123456789abcdef&device=2&deviceID=VENDOR-QX&clickID=&language=English"
        "&userID=bob%26ux&userParams=%7B%22tier%22%3A%22platinum-q%22%2C%22mail%22%3A%22bob%40quux.org%22%7D"
        "&prev_user_id=old-user-q&cookieData=_qm_sess%3Dsess-q%3B_qm_uid%3Duid-q%3B&event_name=buy"
        "&attributes=%5B%22visa-q%22%5D&ltv=19.99";

    const std::string redacted = QMRedaction::qmRedactFormText(plain);
    expectHidden(redacted, {"secret-key", "VENDOR-QX", "bob", "ux", "platinum-q", "quux", "old-user-q", "sess-q", "uid-q",
                            "visa-q"});
    // The ordinary fields stay exactly as sent, the secret ones keep their shape.
    for (const std::string& kept :
         {"bid=1234&bid_e=sec" + kEllipsis + "(27)#", std::string("&device=2&deviceID=" + kEllipsis + "(9)#"),
          std::string("&clickID=&language=English&userID=" + kEllipsis + "(6)#"), std::string("&userParams={\"mail\":\""),
          std::string("\",\"tier\":\"" + kEllipsis + "(10)#"), std::string("&cookieData=_qm_sess=" + kEllipsis + "(6)#"),
          std::string(";_qm_uid=" + kEllipsis + "(5)#"), std::string("&event_name=buy&attributes=[\"" + kEllipsis),
          std::string("&ltv=19.99")}) {
        EXPECT_NE(redacted.find(kept), std::string::npos) << kept << " not in " << redacted;
    }
    // The same values sent percent-encoded come out the same.
    EXPECT_EQ(QMRedaction::qmRedactFormText(encoded), redacted);
    // Nothing to hide: unchanged.
    EXPECT_EQ(QMRedaction::qmRedactFormText("a=1&b=%20&&c"), "a=1&b=%20&&c");
}

TEST(Redaction, AnswersAndURLsHideSensitiveKeysAtAnyDepth) {
    const Value answer{{"Authentication", "success"},
                       {"uuid", "user-bob-q"},
                       {"campaignCookie", Value{{"uuid", "user-bob-q"},
                                                {"cookies", Value{{"_qm_uid", "uid.1001.bob-q"}}},
                                                {"expires", Value{{"_qm_uid", 1440}}}}},
                       {"list", Value::array({Value{{"qm_anal_id", "anal-q"}, {"id", 7}}})}};
    const Value redacted = QMRedaction::qmRedactSensitiveKeys(answer);
    expectHidden(redacted.description(), {"bob-q", "anal-q"});
    EXPECT_EQ(redacted["Authentication"], Value("success"));
    EXPECT_EQ(redacted["campaignCookie"]["expires"], (Value{{"_qm_uid", 1440}}));
    EXPECT_EQ(redacted["campaignCookie"]["cookies"]["_qm_uid"].string().rfind(kEllipsis + "(14)#", 0), 0u);
    EXPECT_EQ(redacted["list"][0]["id"], Value(7));
    EXPECT_EQ(redacted["list"][0]["qm_anal_id"].string().rfind(kEllipsis + "(6)#", 0), 0u);

    const std::string url = QMRedaction::qmRedactURLText("myapp://Offers?qm_anal_id=anal-q&utm_source=mail#userID=bob");
    expectHidden(url, {"anal-q", "bob"});
    EXPECT_EQ(url.rfind("myapp://Offers?qm_anal_id=" + kEllipsis + "(6)#", 0), 0u);
    EXPECT_NE(url.find("&utm_source=mail#userID=" + kEllipsis + "(3)#"), std::string::npos) << url;
    EXPECT_EQ(QMRedaction::qmRedactURLText("https://example.com/a/b"), "https://example.com/a/b");
}

// The form fuzzer's kept inputs: a value survives its form encoding, and redaction and UTF-8
// repair take anything.
TEST(FormFuzzInputs, KeptInputsRoundTripAndNeverCrash) {
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QM_TEST_DATA_DIR "/fuzz/form")) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        const std::string text = buffer.str();
        ++files;
        std::string expected = text;
        for (auto at = expected.find("(null)"); at != std::string::npos; at = expected.find("(null)", at)) expected.erase(at, 6);
        const std::string encoded = qmFormValue(Value(text));
        EXPECT_EQ(encoded.find_first_of("&=+ "), std::string::npos) << entry.path();
        EXPECT_EQ(platform::percentDecode(encoded), expected) << entry.path();
        (void)QMRedaction::qmRedactFormText(text);
        (void)QMRedaction::qmRedactURLText(text);
        bool replaced = false;
        EXPECT_TRUE(platform::json::write(qmReplacingInvalidUTF8(Value{{"k", Value(text)}}, replaced))) << entry.path();
    }
    EXPECT_GE(files, 4u);
}

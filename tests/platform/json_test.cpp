#include "qmplatform/json.hpp"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

using qm::Value;
namespace json = qm::platform::json;

namespace {

// Parses text that must be valid.
Value mustParse(std::string_view text, bool fragments = false) {
    std::string error;
    auto v = json::parse(text, {fragments}, &error);
    EXPECT_TRUE(v.has_value()) << text << ": " << error;
    return v.value_or(Value());
}

// Parses text that must be refused with a one-line reason.
void expectRefused(std::string_view text, bool fragments = false) {
    std::string error;
    EXPECT_FALSE(json::parse(text, {fragments}, &error).has_value()) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST(JsonParse, MapsEachKindToValue) {
    Value v = mustParse(R"( {"s":"x", "i":42, "n":-7, "r":1.5, "r1":1.0, "e":1e2, "t":true,
                            "f":false, "z":null, "a":[1,[]], "o":{}, "k":{"k":1,"k":2}} )");
    EXPECT_EQ(v["s"].string(), "x");
    EXPECT_TRUE(v["i"].isInteger());
    EXPECT_EQ(v["i"].integerValue(), 42);
    EXPECT_EQ(v["n"].integerValue(), -7);
    EXPECT_TRUE(v["r"].isReal());
    EXPECT_EQ(v["r"].doubleValue(), 1.5);
    EXPECT_TRUE(v["r1"].isReal());  // 1.0 stays a real
    EXPECT_TRUE(v["e"].isReal());
    EXPECT_EQ(v["e"].doubleValue(), 100.0);
    EXPECT_TRUE(v["t"].isBoolean() && v["t"].boolValue());
    EXPECT_TRUE(v["f"].isBoolean() && !v["f"].boolValue());
    EXPECT_TRUE(v["z"].isNull());
    EXPECT_EQ(v["a"].count(), 2u);
    EXPECT_TRUE(v["a"][1].isArray());
    EXPECT_TRUE(v["o"].isDictionary());
    EXPECT_EQ(v["k"]["k"].integerValue(), 2);  // a repeated key: the last one wins

    // The int64 limits stay integers; anything past them reads as a real.
    Value limits = mustParse(R"([9223372036854775807,-9223372036854775808,9223372036854775808,
                                 -9223372036854775809,"123456789012345678901",123456789012345678901])");
    EXPECT_TRUE(limits[0].isInteger() && limits[0].integerValue() == INT64_MAX);
    EXPECT_TRUE(limits[1].isInteger() && limits[1].integerValue() == INT64_MIN);
    EXPECT_TRUE(limits[2].isReal() && limits[2].doubleValue() == 0x1p63);
    EXPECT_TRUE(limits[3].isReal() && limits[3].doubleValue() == -0x1p63);
    EXPECT_EQ(limits[4].string(), "123456789012345678901");
    EXPECT_TRUE(limits[5].isReal() && limits[5].doubleValue() == 123456789012345678901.0);
    EXPECT_EQ(mustParse("18446744073709551616", true).doubleValue(), 0x1p64);
    expectRefused("[1e400]");
    expectRefused("[00000000000000000000000001]");
    EXPECT_EQ(mustParse("\xEF\xBB\xBF[1]")[0].integerValue(), 1);  // byte-order mark skipped
}

TEST(JsonParse, StringEscapes) {
    Value v = mustParse(R"(["\/", "\"\\", "\b\f\n\r\t", "\u00e9\u0041", "\ud83d\ude00", "é", "a\u0000b"])");
    EXPECT_EQ(v[0].string(), "/");
    EXPECT_EQ(v[1].string(), "\"\\");
    EXPECT_EQ(v[2].string(), "\b\f\n\r\t");
    EXPECT_EQ(v[3].string(), "\xC3\xA9" "A");
    EXPECT_EQ(v[4].string(), "\xF0\x9F\x98\x80");  // U+1F600 from its surrogate pair
    EXPECT_EQ(v[5].string(), "\xC3\xA9");
    EXPECT_EQ(v[6].string(), std::string("a\0b", 3));
    expectRefused(R"(["\ud800"])");  // lone surrogate
    expectRefused(R"(["\x"])");
}

TEST(JsonParse, FragmentsOnlyWhenAllowed) {
    for (const char* text : {"1", " \"x\" ", "null", "true", "2.5"}) expectRefused(text);
    EXPECT_EQ(mustParse("1", true).integerValue(), 1);
    EXPECT_EQ(mustParse(" \"x\" ", true), Value("x"));
    EXPECT_TRUE(mustParse("null", true).isNull());
    EXPECT_TRUE(mustParse("true", true).boolValue());
}

TEST(JsonParse, RefusesMalformedText) {
    for (const char* text : {"[\"\xff\"]", "[\"\xc0\xaf\"]", "[\"\xed\xa0\x80\"]", "[1] x", "{}{}",
                             "[1,]", "", "   ", "[1", "{\"a\" 1}", "{'a':1}", "[\"a\tb\"]", "[01]",
                             "[tru]", "[1.]", "[-]", "{\"a\":1,}", "[NaN]"})
        expectRefused(text);
    expectRefused(std::string_view("[1]\0", 4));
    expectRefused("\"\xff\"", true);

    EXPECT_TRUE(json::parse(nested(json::kMaxDepth)).has_value());
    expectRefused(nested(json::kMaxDepth + 1));
}

TEST(JsonWrite, CompactAndPrettyText) {
    Value v{{"b", Value::array({true, Value::null(), "x/y", Value::array({-3})})},
            {"a", 1},
            {"c", Value::dictionary()},
            {"d", Value::array()},
            {"e", Value{{"r", 17.2}, {"w", 20.0}}}};
    EXPECT_EQ(json::write(v).value_or("?"),
              R"({"a":1,"b":[true,null,"x\/y",[-3]],"c":{},"d":[],"e":{"r":17.2,"w":20}})");
    EXPECT_EQ(json::write(v, {json::WriteStyle::Pretty}).value_or("?"),
              "{\n"
              "  \"a\" : 1,\n"
              "  \"b\" : [\n"
              "    true,\n"
              "    null,\n"
              "    \"x\\/y\",\n"
              "    [\n"
              "      -3\n"
              "    ]\n"
              "  ],\n"
              "  \"c\" : {\n"
              "\n"
              "  },\n"
              "  \"d\" : [\n"
              "\n"
              "  ],\n"
              "  \"e\" : {\n"
              "    \"r\" : 17.2,\n"
              "    \"w\" : 20\n"
              "  }\n"
              "}");
    EXPECT_EQ(json::write(Value::dictionary(), {json::WriteStyle::Pretty}).value_or("?"), "{\n\n}");
    EXPECT_EQ(json::write(Value::array(), {json::WriteStyle::Pretty}).value_or("?"), "[\n\n]");
    EXPECT_EQ(json::write(Value::array()).value_or("?"), "[]");
}

TEST(JsonWrite, EscapesAndNumbers) {
    Value v = Value::array({"\"\\/\b\f\n\r\t\x01\x1f\x7f \xC3\xA9", 0.1, 1e20, -5, 0.5, false});
    EXPECT_EQ(json::write(v).value_or("?"),
              "[\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f \xC3\xA9\",0.1,1e+20,-5,0.5,false]");
    EXPECT_EQ(json::write(Value(1), {json::WriteStyle::Compact, true}).value_or("?"), "1");
    EXPECT_EQ(json::write(Value("a/b"), {json::WriteStyle::Pretty, true}).value_or("?"), "\"a\\/b\"");
    EXPECT_EQ(json::write(Value::null(), {json::WriteStyle::Compact, true}).value_or("?"), "null");
}

TEST(JsonWrite, RefusesWhatJsonCannotHold) {
    Value withDate{{"ok", 1}, {"when", qm::Date{100}}};
    std::string error;
    EXPECT_FALSE(json::write(withDate, {}, &error).has_value());
    EXPECT_NE(error.find("date"), std::string::npos) << error;
    EXPECT_FALSE(json::isValidJSONObject(withDate));

    std::vector<Value> bad = {Value(qm::Bytes{1, 2}), Value(), Value(std::nan("")),
                              Value(HUGE_VAL), Value(std::string("\xff")),
                              Value{{std::string("\xc3"), 1}}};
    for (const Value& item : bad) {
        error.clear();
        EXPECT_FALSE(json::write(Value::array({item}), {}, &error).has_value()) << item.description();
        EXPECT_FALSE(error.empty());
    }
    error.clear();
    EXPECT_FALSE(json::write(Value(1), {}, &error).has_value());  // fragment not allowed
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(json::isValidJSONObject(Value("x")));
    EXPECT_TRUE(json::isValidJSONObject(Value{{"a", Value::array({1, "b"})}}));

    Value deep = Value::array();
    for (std::size_t i = 1; i < json::kMaxDepth; ++i) deep = Value::array({deep});
    EXPECT_TRUE(json::write(deep).has_value());
    EXPECT_FALSE(json::write(Value::array({deep})).has_value());
}

TEST(JsonRoundTrip, WriteThenParseGivesTheSameValue) {
    Value v{{"name", "Zoë / \"q\"\n"},
            {"count", 3},
            {"ratio", 0.25},
            {"big", -9223372036854775807LL},
            {"tiny", 5e-324},
            {"list", Value::array({Value::null(), true, Value::array(), Value::dictionary()})},
            {"nested", Value{{"k", Value::array({1.5, "\x01"})}}}};
    for (auto style : {json::WriteStyle::Compact, json::WriteStyle::Pretty}) {
        auto text = json::write(v, {style});
        ASSERT_TRUE(text.has_value());
        auto back = json::parse(*text);
        ASSERT_TRUE(back.has_value()) << *text;
        EXPECT_EQ(*back, v) << *text;
        EXPECT_TRUE((*back)["count"].isInteger());
        EXPECT_TRUE((*back)["ratio"].isReal());
    }
}

TEST(JsonParse, ParsesOnSeveralThreadsAtOnce) {
    std::vector<int> good(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &good] {
            for (int i = 0; i < 200; ++i)
                good[t] += json::parse("[" + std::to_string(t * 1000 + i) + "]")
                               .value_or(Value())[0].integerValue() == t * 1000 + i;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good, std::vector<int>(4, 200));
}

// Every input the fuzzer ever crashed on stays here; none may crash again.
TEST(JsonFuzzReplay, StoredInputsDoNotCrash) {
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QM_TEST_DATA_DIR "/fuzz/json")) {
        if (!entry.is_regular_file()) continue;
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (bool fragments : {false, true}) {
            auto v = json::parse(bytes, {fragments});
            if (!v) continue;
            for (auto style : {json::WriteStyle::Compact, json::WriteStyle::Pretty}) {
                auto text = json::write(*v, {style, fragments});
                ASSERT_TRUE(text.has_value()) << entry.path();
                EXPECT_TRUE(json::parse(*text, {fragments}).has_value()) << entry.path();
            }
        }
    }
    EXPECT_GT(files, 0u);
}

// Threads still reading JSON while the process exits do not bring the exit down (the parser's
// own static objects go away at exit).
TEST(JSONAtExit, ThreadsStillReadingDoNotBreakTheExit) {
    const std::string program = QM_BINARY_DIR "/tests/qm_json_at_exit";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int kRuns = 8;  // each start of a sanitized process takes a second
#else
    constexpr int kRuns = 60;
#endif
    for (int run = 0; run < kRuns; ++run) {
        pid_t pid = -1;
        char* args[] = {const_cast<char*>(program.c_str()), nullptr};
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, args, environ), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << ": status " << status;
    }
}

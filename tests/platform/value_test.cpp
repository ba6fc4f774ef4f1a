#include <gtest/gtest.h>

#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "quelmar/value.hpp"

using qm::Value;

TEST(Value, NothingAndNullObjectAreDistinct) {
    Value nothing;
    Value null = Value::null();
    EXPECT_FALSE(nothing);
    EXPECT_TRUE(null);
    EXPECT_NE(nothing, null);
    EXPECT_EQ(nothing.description(), "(null)");
    EXPECT_EQ(null.description(), "<null>");
    EXPECT_FALSE(qm::isValidString(nothing));
    EXPECT_FALSE(qm::isValidString(null));
    EXPECT_FALSE(qm::isValidString(Value("")));
    EXPECT_TRUE(qm::isValidString(Value("(null)")));
    EXPECT_FALSE(qm::isValidString(Value("(null)"), true));
    EXPECT_TRUE(qm::isValidString(Value(0)));  // numbers are read through their text
}

TEST(Value, NumbersRememberTheirKindAndPrintAsThePlatform) {
    EXPECT_EQ(Value(17.2).description(), "17.2");
    EXPECT_EQ(Value(20.0).description(), "20");
    EXPECT_EQ(Value(0.1).description(), "0.1");
    EXPECT_EQ(Value(-3.5).description(), "-3.5");
    EXPECT_EQ(Value(1e20).description(), "1e+20");
    EXPECT_EQ(Value(true).description(), "1");
    EXPECT_EQ(Value(false).description(), "0");
    EXPECT_EQ(Value(-42).description(), "-42");
    EXPECT_EQ(Value(9007199254740993LL).description(), "9007199254740993");
    EXPECT_TRUE(Value(true).isBoolean());
    EXPECT_TRUE(Value(3).isInteger());
    EXPECT_TRUE(Value(3.0).isReal());
    // isEqual compares numbers by value across kinds.
    EXPECT_EQ(Value(1), Value(true));
    EXPECT_EQ(Value(2), Value(2.0));
    EXPECT_NE(Value(2), Value("2"));
}

TEST(Value, TextConversionsFollowThePlatform) {
    EXPECT_EQ(Value("  42abc").intValue(), 42);
    EXPECT_EQ(Value("-7").integerValue(), -7);
    EXPECT_EQ(Value("abc").intValue(), 0);
    EXPECT_EQ(Value("99999999999999999999").integerValue(), 9223372036854775807LL);
    EXPECT_DOUBLE_EQ(Value(" 17.25x").doubleValue(), 17.25);
    EXPECT_DOUBLE_EQ(Value("1e3").doubleValue(), 1000.0);
    EXPECT_DOUBLE_EQ(Value(".5").doubleValue(), 0.5);
    EXPECT_TRUE(Value("YES").boolValue());
    EXPECT_TRUE(Value("true").boolValue());
    EXPECT_TRUE(Value("007").boolValue());
    EXPECT_FALSE(Value("no").boolValue());
    EXPECT_FALSE(Value("0").boolValue());
    EXPECT_FALSE(Value("").boolValue());
    EXPECT_EQ(Value(3.9).intValue(), 3);
}

TEST(Value, CollectionsDescribeInThePlatformForm) {
    Value list = Value::array({1, "two words", Value::null()});
    EXPECT_EQ(list.description(), "(\n    1,\n    \"two words\",\n    \"<null>\"\n)");
    Value dict{{"b", Value::array({"x"})}, {"a", "plain"}, {"c", Value{{"d", 2.5}}}};
    EXPECT_EQ(dict.description(),
              "{\n"
              "    a = plain;\n"
              "    b =     (\n"
              "        x\n"
              "    );\n"
              "    c =     {\n"
              "        d = \"2.5\";\n"
              "    };\n"
              "}");
    EXPECT_EQ(Value::array().description(), "(\n)");
    EXPECT_EQ(Value(qm::Date{0}).description(), "2001-01-01 00:00:00 +0000");
    EXPECT_EQ(Value(qm::Bytes{1, 2, 0xab}).description(), "{length = 3, bytes = 0x0102ab}");
}

TEST(Value, CopiesShareUntilMutated) {
    Value a{{"k", 1}};
    Value b = a;
    b.set("k", 2);
    b.set("n", "new");
    EXPECT_EQ(a["k"], Value(1));
    EXPECT_FALSE(a.contains("n"));
    EXPECT_EQ(b["k"], Value(2));
    b.set("k", Value());  // setting nothing removes
    EXPECT_FALSE(b.contains("k"));
    Value list = Value::array({1});
    Value copy = list;
    copy.append(2);
    EXPECT_EQ(list.count(), 1u);
    EXPECT_EQ(copy.count(), 2u);
    EXPECT_TRUE(list[5].isNone());
    EXPECT_TRUE(Value(3)["x"].isNone());
}

// Two threads change their own copies of values they share, nested storage included. The
// second change of each pair finds itself alone only after the first let go; with an
// unordered check of that count, its in-place write races with the first's reads (the copy it
// made), which ThreadSanitizer reports. The results check that neither copy saw the other's.
TEST(ValueThreads, CopiesChangedOnTwoThreadsNeverWriteIntoSharedStorage) {
    constexpr int kRounds = 3000;
    std::vector<Value> left(kRounds), right(kRounds);
    for (int i = 0; i < kRounds; ++i) {
        const Value shared{{"n", i}, {"list", Value::array({"a", "b"})}, {"text", "t"}};
        left[i] = shared;
        right[i] = shared;
    }
    auto change = [](std::vector<Value>& mine, const char* side) {
        for (auto& value : mine) {
            value.set("side", side);
            value.mutableDictionary()["list"].append(side);
            value.remove("text");
        }
    };
    std::thread a(change, std::ref(left), "left");
    std::thread b(change, std::ref(right), "right");
    a.join();
    b.join();
    for (int i = 0; i < kRounds; ++i) {
        const Value expectedLeft{{"n", i}, {"list", Value::array({"a", "b", "left"})}, {"side", "left"}};
        const Value expectedRight{{"n", i}, {"list", Value::array({"a", "b", "right"})}, {"side", "right"}};
        ASSERT_EQ(left[i], expectedLeft) << i;
        ASSERT_EQ(right[i], expectedRight) << i;
    }
}

TEST(Value, FormatUsesDescriptionsForObjects) {
    EXPECT_EQ(qm::format("[%@]-[%@]: %@", "quelmar", "INFO", Value()), "[quelmar]-[INFO]: (null)");
    EXPECT_EQ(qm::format("%ld and %d", 12, "34"), "12 and 34");
    EXPECT_EQ(qm::format("%f", 17.2f), "17.200001");
    EXPECT_EQ(qm::format("%.2f%%", 0.5), "0.50%");
    EXPECT_EQ(qm::format("%@ %@", 1), "1 (null)");
    EXPECT_EQ(qm::format("%5d|%-3s|", 42, "a"), "   42|a  |");
}

// Printed pieces longer than a line (a whole answer body logged with %s, a wide field) come
// out whole, not cut at some buffer size.
TEST(Value, FormatKeepsLongPiecesWhole) {
    const std::string body(2000, 'x');
    EXPECT_EQ(qm::format("<%s>", body), "<" + body + ">");
    EXPECT_EQ(qm::format("%-700@|", "a"), "a" + std::string(699, ' ') + "|");
    EXPECT_EQ(qm::format("%0800d", 7), std::string(799, '0') + "7");
    EXPECT_EQ(qm::format("%.600f", 0.5).size(), 602u);  // "0." and 600 digits
}

// References into a value's storage are refused on temporaries (they would dangle as soon as
// the statement ends); lookups on temporaries return copies instead.
template <typename T>
concept ItemsOf = requires { std::declval<T>().dictionaryItems(); };
template <typename T>
concept TextOf = requires { std::declval<T>().string(); };
template <typename T>
concept ListOf = requires { std::declval<T>().arrayItems(); };
template <typename T>
concept BytesOf = requires { std::declval<T>().data(); };
template <typename T>
concept MutableItemsOf = requires { std::declval<T>().mutableDictionary(); };
static_assert(ItemsOf<const Value&> && TextOf<Value&> && ListOf<const Value&> && BytesOf<Value&> && MutableItemsOf<Value&>);
static_assert(!ItemsOf<Value&&> && !TextOf<Value&&> && !ListOf<const Value&&> && !BytesOf<Value&&> &&
              !MutableItemsOf<Value&&>);
static_assert(std::is_same_v<decltype(std::declval<Value&&>()["k"]), Value>);
static_assert(std::is_same_v<decltype(std::declval<const Value&>()["k"]), const Value&>);

TEST(Value, LookupsOnTemporariesOutliveThem) {
    auto make = [] { return Value{{"list", Value::array({Value("a"), Value("b")})}}; };
    const Value& first = make()["list"][0];  // a copy, kept alive by the reference
    EXPECT_EQ(first, Value("a"));
}

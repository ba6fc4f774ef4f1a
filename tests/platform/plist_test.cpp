#include "qmplatform/plist.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

using namespace qm;
namespace plist = qm::platform::plist;
namespace keyed_archive = qm::platform::keyed_archive;

namespace {

const char* kEveryTypeXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>name</key>	<string>Café &amp; &lt;bar&gt;</string>
	<key>count</key>	<integer>-42</integer>
	<key>largest</key>	<integer>9223372036854775807</integer>
	<key>ratio</key>	<real>0.25</real>
	<key>on</key>	<true/>
	<key>off</key>	<false/>
	<key>when</key>	<date>2001-01-02T00:00:10Z</date>
	<key>blob</key>	<data>AAEC/w==</data>
	<key>list</key>
	<array><string>a</string><integer>1</integer><array/><dict/></array>
	<key>nested</key>
	<dict><key>k</key><string>v</string></dict>
</dict>
</plist>
)";

Value everyTypeExpected() {
    return Value{{"name", "Café & <bar>"},
                 {"count", -42},
                 {"largest", 9223372036854775807LL},
                 {"ratio", 0.25},
                 {"on", true},
                 {"off", false},
                 {"when", Date{86400 + 10}},
                 {"blob", Bytes{0x00, 0x01, 0x02, 0xff}},
                 {"list", Value::array({"a", 1, Value::array(), Value::dictionary()})},
                 {"nested", Value{{"k", "v"}}}};
}

// A keyed archive as the platform writes it with mutable classes and an unknown subclass of
// NSMutableArray, in XML form where a reference is spelled {"CF$UID": n}.
std::string handWrittenArchive(int rootUid = 1) {
    auto uid = [](int n) { return "<dict><key>CF$UID</key><integer>" + std::to_string(n) + "</integer></dict>"; };
    auto record = [](std::string chain) {
        std::string name = chain.substr(0, chain.find(','));
        std::string classes;
        for (std::size_t start = 0; start <= chain.size();) {
            std::size_t end = chain.find(',', start);
            if (end == std::string::npos) end = chain.size();
            classes += "<string>" + chain.substr(start, end - start) + "</string>";
            start = end + 1;
        }
        return "<dict><key>$classname</key><string>" + name + "</string><key>$classes</key><array>" +
               classes + "</array></dict>";
    };
    return "<plist version=\"1.0\"><dict><key>$archiver</key><string>NSKeyedArchiver</string>"
           "<key>$version</key><integer>100000</integer><key>$top</key><dict><key>root</key>" +
           uid(rootUid) + "</dict><key>$objects</key><array><string>$null</string>" +
           // 1: the root dictionary; "gone" maps to $null and is left out.
           "<dict><key>NS.keys</key><array>" + uid(2) + uid(3) + uid(4) + uid(9) +
           "</array><key>NS.objects</key><array>" + uid(5) + uid(7) + uid(0) + uid(10) +
           "</array><key>$class</key>" + uid(8) + "</dict>" +
           "<string>title</string><string>tags</string><string>gone</string>" +  // 2 3 4
           "<dict><key>NS.string</key><string>Hello</string><key>$class</key>" + uid(6) + "</dict>" +
           record("NSMutableString,NSString,NSObject") +  // 6
           "<dict><key>NS.objects</key><array>" + uid(11) + uid(0) + uid(12) +
           "</array><key>$class</key>" + uid(13) + "</dict>" +                       // 7
           record("NSMutableDictionary,NSDictionary,NSObject") + "<string>when</string>" +  // 8 9
           "<dict><key>NS.time</key><real>60.5</real><key>$class</key>" + uid(14) + "</dict>" +
           "<integer>7</integer>" +  // 11
           "<dict><key>NS.bytes</key><data>3q2+7w==</data><key>$class</key>" + uid(15) + "</dict>" +
           record("MyList,NSMutableArray,NSArray,NSObject") + record("NSDate,NSObject") +
           record("NSMutableData,NSData,NSObject") + "</array></dict></plist>";
}

// A binary property list whose objects are all arrays: object i holds references to the
// objects listed in refs[i]. One-byte offsets and references.
std::string binaryArrays(const std::vector<std::vector<int>>& refs) {
    std::string out = "bplist00";
    std::string table;
    for (const auto& r : refs) {
        table.push_back(static_cast<char>(out.size()));
        out.push_back(static_cast<char>(0xA0 | r.size()));
        for (int ref : r) out.push_back(static_cast<char>(ref));
    }
    const std::size_t tableOffset = out.size();
    out += table;
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<char>(refs.size());
    trailer[31] = static_cast<char>(tableOffset);
    return out + trailer;
}

}  // namespace

TEST(Plist, ReadsHandWrittenXmlWithEveryType) {
    auto v = plist::read(kEveryTypeXml);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, everyTypeExpected());
    EXPECT_TRUE((*v)["count"].isInteger());
    EXPECT_TRUE((*v)["ratio"].isReal());
    EXPECT_TRUE((*v)["on"].isBoolean());
}

TEST(Plist, RoundTripsThroughBinaryAndXml) {
    Value v = everyTypeExpected();
    v.set("fraction", Date{-86400.25});
    v.set("unsigned", 18446744073709551615ULL);
    v.set("emoji \xF0\x9F\x98\x80", "\xE2\x82\xAC \xF0\x9F\x98\x80");
    auto binary = plist::write(v, plist::Format::Binary);
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->substr(0, 8), "bplist00");
    auto back = plist::read(*binary);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, v);
    EXPECT_EQ((*back)["fraction"].date().seconds, -86400.25);

    // XML dates keep whole seconds only.
    v.remove("fraction");
    auto xml = plist::write(v, plist::Format::XML);
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<key>count</key>\n\t<integer>-42</integer>"), std::string::npos);
    EXPECT_NE(xml->find("<date>2001-01-02T00:00:10Z</date>"), std::string::npos);
    auto fromXml = plist::read(*xml);
    ASSERT_TRUE(fromXml);
    EXPECT_EQ(*fromXml, v);

    // Text that is not UTF-8 is written with U+FFFD in place of each stray byte.
    auto latin1 = plist::write(Value::array({"caf\xE9 \xED\xA0\x80"}));
    ASSERT_TRUE(latin1);
    EXPECT_EQ(plist::read(*latin1), Value::array({"caf\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}));
}

TEST(Plist, WriteRefusesWhatAPropertyListCannotHold) {
    for (auto format : {plist::Format::Binary, plist::Format::XML}) {
        EXPECT_FALSE(plist::write(Value::null(), format));
        EXPECT_FALSE(plist::write(Value(), format));
        EXPECT_FALSE(plist::write(Value{{"a", Value::array({1, Value::null()})}}, format));
        EXPECT_FALSE(plist::write(Value(std::string("a\0b", 3)), format));
    }
}

TEST(Plist, CorruptInputGivesNothing) {
    EXPECT_FALSE(plist::read(""));
    EXPECT_FALSE(plist::read("bplist00"));
    EXPECT_FALSE(plist::read("<plist><dict><key>a</key>"));
    auto binary = plist::write(everyTypeExpected());
    ASSERT_TRUE(binary);
    for (std::size_t n = 0; n < binary->size(); ++n) EXPECT_FALSE(plist::read(binary->substr(0, n))) << n;

    EXPECT_TRUE(plist::read(binaryArrays({{1}, {}})));      // [[]]
    EXPECT_FALSE(plist::read(binaryArrays({{0}})));         // an array inside itself
    EXPECT_FALSE(plist::read(binaryArrays({{1}, {0}})));    // two arrays inside each other
    EXPECT_FALSE(plist::read(binaryArrays({{1}, {5}})));    // reference past the object table
    // Thirty levels that each hold the next one twice: 2^30 nodes once expanded.
    std::vector<std::vector<int>> doubling;
    for (int i = 0; i < 30; ++i) doubling.push_back({i + 1, i + 1});
    doubling.push_back({});
    EXPECT_FALSE(plist::read(binaryArrays(doubling)));

    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "<array>";
    EXPECT_FALSE(plist::read("<plist>" + deep));
}

TEST(KeyedArchive, ArchiveHasThePlatformLayout) {
    Value v{{"name", "Ann"},
            {"scores", Value::array({1, 2.5})},
            {"seen", Date{10}},
            {"none", Value::null()},
            {"inner", Value{{"a", true}}}};
    auto bytes = keyed_archive::archive(v);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->substr(0, 8), "bplist00");
    auto raw = plist::read(*bytes);
    ASSERT_TRUE(raw);
    EXPECT_EQ((*raw)["$archiver"], Value("NSKeyedArchiver"));
    EXPECT_TRUE((*raw)["$version"].isInteger());
    EXPECT_EQ((*raw)["$version"], Value(100000));
    const Value& objects = (*raw)["$objects"];
    EXPECT_EQ(objects[0], Value("$null"));
    auto at = [&](const Value& ref) -> const Value& {
        EXPECT_EQ(ref.count(), 1u);
        EXPECT_TRUE(ref["CF$UID"].isInteger());
        return objects[static_cast<std::size_t>(ref["CF$UID"].integerValue())];
    };
    auto classOf = [&](const Value& object) {
        const Value& record = at(object["$class"]);
        EXPECT_EQ(record["$classes"], Value::array({record["$classname"], "NSObject"}));
        return record["$classname"].string();
    };
    ASSERT_EQ((*raw)["$top"].count(), 1u);
    const Value& root = at((*raw)["$top"]["root"]);
    EXPECT_EQ(classOf(root), "NSDictionary");
    ASSERT_EQ(root["NS.keys"].count(), 5u);
    ASSERT_EQ(root["NS.objects"].count(), 5u);
    std::map<std::string, Value> entries;
    for (std::size_t i = 0; i < 5; ++i) entries[at(root["NS.keys"][i]).string()] = at(root["NS.objects"][i]);

    EXPECT_EQ(entries["name"], Value("Ann"));
    EXPECT_EQ(classOf(entries["scores"]), "NSArray");
    ASSERT_EQ(entries["scores"]["NS.objects"].count(), 2u);
    EXPECT_EQ(at(entries["scores"]["NS.objects"][0]), Value(1));
    EXPECT_EQ(at(entries["scores"]["NS.objects"][1]), Value(2.5));
    EXPECT_EQ(classOf(entries["seen"]), "NSDate");
    EXPECT_EQ(entries["seen"]["NS.time"], Value(10.0));
    EXPECT_TRUE(entries["seen"]["NS.time"].isReal());
    EXPECT_EQ(classOf(entries["none"]), "NSNull");
    EXPECT_EQ(entries["none"].count(), 1u);
    EXPECT_EQ(classOf(entries["inner"]), "NSDictionary");
    EXPECT_EQ(at(entries["inner"]["NS.objects"][0]), Value(true));
    // One class record per class, shared by both dictionaries.
    int dictionaryRecords = 0;
    for (const Value& object : objects.arrayItems())
        if (object["$classname"] == Value("NSDictionary")) ++dictionaryRecords;
    EXPECT_EQ(dictionaryRecords, 1);

    EXPECT_EQ(keyed_archive::unarchive(*bytes), v);
}

TEST(KeyedArchive, DecodesMutableClassesAndSubclasses) {
    const Value expected{{"title", "Hello"},
                         {"tags", Value::array({7, Bytes{0xde, 0xad, 0xbe, 0xef}})},
                         {"when", Date{60.5}}};
    const std::string xml = handWrittenArchive();
    EXPECT_EQ(keyed_archive::unarchive(xml), expected);
    // The same archive in binary form, where references are real UIDs.
    auto raw = plist::read(xml);
    ASSERT_TRUE(raw);
    auto binary = plist::write(*raw, plist::Format::Binary);
    ASSERT_TRUE(binary);
    EXPECT_EQ(keyed_archive::unarchive(*binary), expected);

    EXPECT_FALSE(keyed_archive::unarchive(handWrittenArchive(0)));   // root is $null
    EXPECT_FALSE(keyed_archive::unarchive(handWrittenArchive(99)));  // past the objects
    EXPECT_FALSE(keyed_archive::unarchive(handWrittenArchive(6)));   // a class record
}

TEST(KeyedArchive, CorruptArchivesGiveNothing) {
    auto bytes = keyed_archive::archive(Value{{"a", Value::array({"x", 1})}});
    ASSERT_TRUE(bytes);
    for (std::size_t n = 0; n < bytes->size(); ++n) EXPECT_FALSE(keyed_archive::unarchive(bytes->substr(0, n)));

    // Edits of a valid archive read raw and written back.
    auto raw = plist::read(*bytes);
    ASSERT_TRUE(raw);
    auto rewrite = [&](auto edit) {
        Value copy = *raw;
        edit(copy.mutableDictionary()["$objects"].mutableArray());
        auto out = plist::write(copy);
        EXPECT_TRUE(out);
        return keyed_archive::unarchive(out.value_or(""));
    };
    const Value root = (*raw)["$top"]["root"];
    const auto rootIndex = static_cast<std::size_t>(root["CF$UID"].integerValue());
    const Value selfRef = root;
    EXPECT_FALSE(rewrite([&](Array& objects) {  // the dictionary holds itself
        objects[rootIndex].mutableDictionary()["NS.objects"].mutableArray()[0] = selfRef;
    }));
    EXPECT_FALSE(rewrite([&](Array& objects) {
        objects[rootIndex].mutableDictionary()["NS.objects"].mutableArray()[0] = Value{{"CF$UID", 500}};
    }));
    EXPECT_FALSE(rewrite([&](Array& objects) {  // an unknown class
        for (Value& object : objects)
            if (object["$classname"] == Value("NSArray")) object = Value{{"$classname", "NSURL"},
                                                                         {"$classes", Value::array({"NSURL", "NSObject"})}};
    }));
    EXPECT_FALSE(rewrite([&](Array& objects) { objects[rootIndex] = Value::array({1}); }));

    std::uint32_t seed = 12345;
    for (int round = 0; round < 200; ++round) {
        std::string noise = round % 2 ? "bplist00" : "";
        for (int i = 0; i < 40 + round; ++i) {
            seed = seed * 1664525u + 1013904223u;
            noise.push_back(static_cast<char>(seed >> 24));
        }
        EXPECT_FALSE(keyed_archive::unarchive(noise));
        (void)plist::read(noise);
    }
}

TEST(PlistFuzzInputs, ReplayWithoutCrashing) {
    const std::filesystem::path dir = QM_TEST_DATA_DIR "/fuzz/plist";
    std::error_code ec;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto v = plist::read(bytes);
        if (v) (void)plist::write(*v, plist::Format::XML);
        (void)keyed_archive::unarchive(bytes);
        ++files;
    }
    EXPECT_GT(files, 0);
}

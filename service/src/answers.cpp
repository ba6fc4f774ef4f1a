#include "answers.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "qmplatform/json.hpp"

namespace qm::service::detail {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string fillText(const std::string& text, const qm::Value& fields) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find("{{", pos);
        const std::size_t close = open == std::string::npos ? open : text.find("}}", open + 2);
        if (close == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        out.append(text, pos, open - pos);
        const std::string name = text.substr(open + 2, close - open - 2);
        static constexpr std::string_view kEventList = "uevent:";
        if (name.starts_with(kEventList)) {
            const std::string value = fields[name.substr(kEventList.size())].string();
            auto list = qm::platform::json::write(qm::Value::array({qm::Value(value)}));
            out += base64("uevent=" + list.value_or("[]"));
        } else {
            out += fields[name].string();
        }
        pos = close + 2;
    }
    return out;
}

}  // namespace

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hexDigit(text[i + 1]);
            const int lo = hexDigit(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string formDecode(std::string_view text) {
    std::string spaced(text);
    std::replace(spaced.begin(), spaced.end(), '+', ' ');
    return percentDecode(spaced);
}

void decodeForm(std::string_view text, qm::Value& fields) {
    if (!fields.isDictionary()) fields = qm::Value::dictionary();
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('&', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view piece = text.substr(pos, end - pos);
        const std::size_t eq = piece.find('=');
        const std::string name = formDecode(piece.substr(0, eq));
        if (!name.empty()) {
            const std::string value =
                eq == std::string_view::npos ? std::string() : formDecode(piece.substr(eq + 1));
            fields.set(name, qm::Value(value));
        }
        pos = end + 1;
    }
}

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        const bool two = i + 1 < bytes.size();
        if (two) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += two ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool loadFixtures(const std::string& dir, std::map<std::string, qm::Value>& fixtures,
                  std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
        if (error) *error = "cannot read the fixtures folder " + dir + ": " + ec.message();
        return false;
    }
    for (const fs::directory_entry& entry : it) {
        const fs::path& path = entry.path();
        if (path.extension() != ".json" || !entry.is_regular_file(ec)) continue;
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string parseError;
        auto value = qm::platform::json::parse(text.str(), {}, &parseError);
        if (!value || !value->isDictionary()) {
            if (error) {
                *error = "fixture " + path.string() + " is not a JSON object" +
                         (parseError.empty() ? "" : ": " + parseError);
            }
            return false;
        }
        fixtures[path.stem().string()] = *value;
    }
    return true;
}

qm::Value fillPlaceholders(const qm::Value& answer, const qm::Value& fields) {
    switch (answer.type()) {
        case qm::Value::Type::String:
            return answer.string().find("{{") == std::string::npos
                       ? answer
                       : qm::Value(fillText(answer.string(), fields));
        case qm::Value::Type::Array: {
            qm::Array items;
            for (const qm::Value& item : answer.arrayItems()) {
                items.push_back(fillPlaceholders(item, fields));
            }
            return qm::Value(std::move(items));
        }
        case qm::Value::Type::Dictionary: {
            qm::Dictionary entries;
            for (const auto& [key, item] : answer.dictionaryItems()) {
                entries.emplace(key, fillPlaceholders(item, fields));
            }
            return qm::Value(std::move(entries));
        }
        default:
            return answer;
    }
}

qm::Value refusal(const qm::Value& answer) {
    qm::Value out = answer.isDictionary() ? answer : qm::Value::dictionary();
    for (const auto& [key, member] : answer.dictionaryItems()) {
        if (member["data"].isDictionary()) {
            qm::Value changed = member;
            qm::Value data = member["data"];
            data.set("Authentication", "failed");
            changed.set("data", data);
            out.set(key, changed);
        }
    }
    out.set("Authentication", "failed");
    out.set("Account", "failed");
    out.set("Message", "Refused by test");
    if (out.contains("http_code")) out.set("http_code", 401);
    return out;
}

}  // namespace qm::service::detail

#include "qmplatform/url.hpp"

#include <cstdint>

namespace qm::platform {

namespace {

bool isAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

int hexValue(unsigned char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUnreserved(unsigned char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelim(unsigned char c) {
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')':
        case '*': case '+': case ',': case ';': case '=':
            return true;
        default:
            return false;
    }
}

// Characters that may appear unescaped anywhere in a URL ("%" is checked separately; "[" and
// "]" only in the host).
bool isURLCharacter(unsigned char c) {
    return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '/' || c == '?' || c == '#' ||
           c == '@' || c == '[' || c == ']';
}

std::string encodeWhere(std::string_view text, bool (*keep)(unsigned char)) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (keep(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

bool isQueryAllowed(unsigned char c) {
    return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || c == '/' || c == '?';
}

}  // namespace

std::string percentEncodeQuery(std::string_view text) { return encodeWhere(text, isQueryAllowed); }

std::string percentEncodeUnreserved(std::string_view text) { return encodeWhere(text, isUnreserved); }

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hexValue(static_cast<unsigned char>(text[i + 1]));
            const int lo = hexValue(static_cast<unsigned char>(text[i + 2]));
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::optional<URL> URL::parse(std::string_view text) {
    // Every character must be allowed, every "%" must start a valid escape, and there is at
    // most one "#".
    bool sawHash = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            if (hexValue(static_cast<unsigned char>(text[i + 1])) < 0 ||
                hexValue(static_cast<unsigned char>(text[i + 2])) < 0)
                return std::nullopt;
            i += 2;
            continue;
        }
        if (!isURLCharacter(c)) return std::nullopt;
        if (c == '#') {
            if (sawHash) return std::nullopt;
            sawHash = true;
        }
    }

    // scheme ":"
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    if (!isAlpha(static_cast<unsigned char>(text[0]))) return std::nullopt;
    for (std::size_t i = 1; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    }

    URL url;
    url.text_ = std::string(text);
    url.scheme_ = std::string(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);

    // "#fragment" and "?query" come off the end first.
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        url.query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    if (url.fragment_ && url.fragment_->find_first_of("[]") != std::string::npos) return std::nullopt;
    if (url.query_ && url.query_->find_first_of("[]") != std::string::npos) return std::nullopt;

    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        const std::size_t slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        url.path_ = slash == std::string_view::npos ? std::string() : std::string(rest.substr(slash));
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            const std::string_view userInfo = authority.substr(0, at);
            authority = authority.substr(at + 1);
            if (userInfo.find_first_of("[]") != std::string_view::npos) return std::nullopt;
            if (const auto sep = userInfo.find(':'); sep != std::string_view::npos) {
                url.user_ = std::string(userInfo.substr(0, sep));
                url.password_ = std::string(userInfo.substr(sep + 1));
            } else {
                url.user_ = std::string(userInfo);
            }
        }
        std::string_view portText;
        if (!authority.empty() && authority.front() == '[') {
            const auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            url.host_ = std::string(authority.substr(1, close - 1));
            const std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                portText = after.substr(1);
            }
            for (const char ch : url.host_) {
                const auto c = static_cast<unsigned char>(ch);
                if (hexValue(c) < 0 && c != ':' && c != '.') return std::nullopt;
            }
        } else {
            if (authority.find_first_of("[]") != std::string_view::npos) return std::nullopt;
            const auto sep = authority.find(':');
            url.host_ = std::string(authority.substr(0, sep));
            if (sep != std::string_view::npos) portText = authority.substr(sep + 1);
        }
        if (!portText.empty()) {
            long port = 0;
            for (const char ch : portText) {
                if (!isDigit(static_cast<unsigned char>(ch))) return std::nullopt;
                port = port * 10 + (ch - '0');
                if (port > 65535) return std::nullopt;
            }
            url.port_ = static_cast<int>(port);
        }
    } else {
        if (rest.find_first_of("[]") != std::string_view::npos) return std::nullopt;
        url.path_ = std::string(rest);
    }
    return url;
}

std::string URL::scheme() const {
    std::string out = scheme_;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string URL::host() const { return percentDecode(host_); }

std::optional<std::string> URL::user() const {
    if (!user_) return std::nullopt;
    return percentDecode(*user_);
}

std::optional<std::string> URL::password() const {
    if (!password_) return std::nullopt;
    return percentDecode(*password_);
}

std::string URL::path() const { return percentDecode(path_); }

std::string URL::lastPathComponent() const {
    std::string_view p = path_;
    if (p.empty()) return {};
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    if (p == "/") return "/";
    const auto slash = p.rfind('/');
    return percentDecode(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

std::vector<URL::QueryItem> URL::queryItems() const {
    std::vector<QueryItem> items;
    if (!query_ || query_->empty()) return items;
    std::string_view rest = *query_;
    for (;;) {
        const auto amp = rest.find('&');
        const std::string_view part = rest.substr(0, amp);
        QueryItem item;
        if (const auto eq = part.find('='); eq != std::string_view::npos) {
            item.name = percentDecode(part.substr(0, eq));
            item.value = percentDecode(part.substr(eq + 1));
        } else {
            item.name = percentDecode(part);
        }
        items.push_back(std::move(item));
        if (amp == std::string_view::npos) break;
        rest = rest.substr(amp + 1);
    }
    return items;
}

}  // namespace qm::platform

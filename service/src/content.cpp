#include "content.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <numbers>

#include "film.hpp"
#include "qmplatform/json.hpp"

namespace qm::service::detail {

namespace {

void putBig32(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

void putLittle(std::string& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

std::uint32_t crc32(const std::string& data) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xffffffffu;
    for (unsigned char byte : data) c = table[(c ^ byte) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

std::uint32_t adler32(const std::string& data) {
    std::uint32_t a = 1, b = 0;
    for (unsigned char byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

void pngChunk(std::string& out, const char* type, const std::string& data) {
    putBig32(out, static_cast<std::uint32_t>(data.size()));
    std::string typed = std::string(type, 4) + data;
    out += typed;
    putBig32(out, crc32(typed));
}

// zlib stream made of stored (uncompressed) deflate blocks.
std::string storedZlib(const std::string& raw) {
    std::string out = "\x78\x01";
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min<std::size_t>(raw.size() - offset, 65535);
        const bool last = offset + length == raw.size();
        out += static_cast<char>(last ? 1 : 0);
        putLittle(out, static_cast<std::uint32_t>(length), 2);
        putLittle(out, static_cast<std::uint32_t>(~length & 0xffff), 2);
        out.append(raw, offset, length);
        offset += length;
    } while (offset < raw.size());
    putBig32(out, adler32(raw));
    return out;
}

// An 8 x 8 mid-grey baseline JPEG: one block whose DC difference and AC coefficients are all
// zero, coded with one-symbol Huffman tables (code "0" for category 0 and for end-of-block).
std::string grayJPEG() {
    std::string out = "\xFF\xD8";
    out += std::string("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 18);
    out += std::string("\xFF\xDB\x00\x43\x00", 5) + std::string(64, '\x01');
    out += std::string("\xFF\xC0\x00\x0B\x08\x00\x08\x00\x08\x01\x01\x11\x00", 13);
    const std::string oneSymbolCounts = std::string("\x01", 1) + std::string(15, '\0');
    out += std::string("\xFF\xC4\x00\x14\x00", 5) + oneSymbolCounts + std::string(1, '\0');
    out += std::string("\xFF\xC4\x00\x14\x10", 5) + oneSymbolCounts + std::string(1, '\0');
    out += std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);
    out += '\x3F';  // bits "0" (DC) "0" (EOB), padded with ones
    out += "\xFF\xD9";
    return out;
}

// 0.25 s of a 440 Hz tone, 8 kHz mono 16-bit PCM.
std::string chimeWAV() {
    const int rate = 8000;
    const int samples = rate / 4;
    std::string pcm;
    for (int i = 0; i < samples; ++i) {
        const double fade = 1.0 - static_cast<double>(i) / samples;
        const double v = std::sin(2 * std::numbers::pi * 440.0 * i / rate) * 12000 * fade;
        putLittle(pcm, static_cast<std::uint32_t>(static_cast<std::int16_t>(v)) & 0xffff, 2);
    }
    std::string out = "RIFF";
    putLittle(out, static_cast<std::uint32_t>(36 + pcm.size()), 4);
    out += "WAVEfmt ";
    putLittle(out, 16, 4);
    putLittle(out, 1, 2);         // PCM
    putLittle(out, 1, 2);         // mono
    putLittle(out, rate, 4);
    putLittle(out, rate * 2, 4);  // bytes per second
    putLittle(out, 2, 2);         // block align
    putLittle(out, 16, 2);        // bits per sample
    out += "data";
    putLittle(out, static_cast<std::uint32_t>(pcm.size()), 4);
    return out + pcm;
}

// Only letters, digits and a few separators go into the page literally.
bool plainText(const std::string& text) {
    for (unsigned char c : text) {
        if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

// A JSON object that can sit between single quotes in a script without escaping.
bool literalJSON(const std::string& text) {
    auto parsed = qm::platform::json::parse(text);
    if (!parsed || !parsed->isDictionary()) return false;
    for (unsigned char c : text) {
        if (c == '\\' || c == '\'' || c == '<' || c == '>' || c == '&' || c < 0x20) return false;
    }
    return true;
}

}  // namespace

std::string encodePNG(int width, int height, const std::function<std::uint32_t(int, int)>& pixel) {
    std::string raw;
    raw.reserve(static_cast<std::size_t>(height) * (1 + 4 * static_cast<std::size_t>(width)));
    for (int y = 0; y < height; ++y) {
        raw += '\0';  // filter: none
        for (int x = 0; x < width; ++x) putBig32(raw, pixel(x, y));
    }
    std::string header;
    putBig32(header, static_cast<std::uint32_t>(width));
    putBig32(header, static_cast<std::uint32_t>(height));
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA, deflate, no interlace

    std::string out = "\x89PNG\r\n\x1a\n";
    pngChunk(out, "IHDR", header);
    pngChunk(out, "IDAT", storedZlib(raw));
    pngChunk(out, "IEND", "");
    return out;
}

std::string closeButtonPNG() {
    return encodePNG(30, 30, [](int x, int y) -> std::uint32_t {
        const bool inside = x >= 6 && x < 24 && y >= 6 && y < 24;
        const bool onCross = std::abs(x - y) <= 1 || std::abs(x + y - 29) <= 1;
        return inside && onCross ? 0x000000ffu : 0x00000000u;
    });
}

std::optional<MediaFile> mediaFile(const std::string& name) {
    if (name == "banner.png") {
        // 160 x 80 gradient from the brand blue to white.
        return MediaFile{"image/png", encodePNG(160, 80, [](int x, int y) -> std::uint32_t {
                             const auto r = static_cast<std::uint32_t>(x * 255 / 159);
                             const auto g = static_cast<std::uint32_t>(127 + y * 128 / 79);
                             return (r << 24) | (g << 16) | (0xb7u << 8) | 0xffu;
                         })};
    }
    if (name == "icon.png") {
        // 64 x 64 filled circle.
        return MediaFile{"image/png", encodePNG(64, 64, [](int x, int y) -> std::uint32_t {
                             const int dx = x - 32, dy = y - 32;
                             return dx * dx + dy * dy < 30 * 30 ? 0x007fb7ffu : 0;
                         })};
    }
    if (name == "photo.jpg") return MediaFile{"image/jpeg", grayJPEG()};
    if (name == "chime.wav") return MediaFile{"audio/wav", chimeWAV()};
    if (name == "clip.mp4") return MediaFile{"video/mp4", clipMP4()};
    return std::nullopt;
}

std::string surveyPage(const std::string& notificationID, const std::string& tokensJSON,
                       const std::string& thankYouURL) {
    const std::string id = plainText(notificationID) ? notificationID : "";
    std::string attempt = R"({"notificationID":")" + id + R"(","q1":"Very satisfied")";
    if (!tokensJSON.empty() && tokensJSON != "[]" && literalJSON(tokensJSON)) {
        attempt += R"(,"tokens":)" + tokensJSON;
    }
    attempt += "}";
    const std::string submit =
        R"({"notificationID":")" + id + R"(","q1":"Very satisfied","q2":"Weekly offers"})";

    std::string page;
    page += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0\">\n";
    page += "<title>Survey</title>\n</head>\n<body>\n";
    page += "<h2>How do you like the app?</h2>\n";
    page += "<p><label><input type=\"radio\" name=\"q1\" checked> Very satisfied</label></p>\n";
    page += "<p><label><input type=\"checkbox\" name=\"q2\" checked> Weekly offers</label></p>\n";
    page += "<script>\n";
    page += "window.webkit.messageHandlers.qmResizeWebView.postMessage('{\"notificationID\":\"" +
            id + "\"}');\n";
    page += "window.webkit.messageHandlers.surveyAttempt.postMessage('" + attempt + "');\n";
    page += "window.webkit.messageHandlers.surveySubmit.postMessage('" + submit + "');\n";
    page += "window.location.href = '" + thankYouURL + "';\n";
    page += "</script>\n</body>\n</html>\n";
    return page;
}

std::string thankYouPage(const std::string& notificationID) {
    const std::string id = plainText(notificationID) ? notificationID : "";
    std::string page;
    page += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0\">\n";
    page += "<title>Thank you</title>\n</head>\n<body>\n";
    page += "<h2>Thank you!</h2>\n<p>Your answers have been recorded.</p>\n";
    page += "<script>\n";
    page += "window.webkit.messageHandlers.qmResizeWebView.postMessage('{\"notificationID\":\"" +
            id + "\"}');\n";
    page += "</script>\n</body>\n</html>\n";
    return page;
}

}  // namespace qm::service::detail

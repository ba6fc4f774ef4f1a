#include "film.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace qm::service::detail {

namespace {

void putBig(std::string& out, std::uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

// Entropy-coded bits, most significant first, with a zero byte stuffed after every 0xFF.
class BitWriter {
public:
    void put(std::uint32_t bits, int count) {
        for (int i = count - 1; i >= 0; --i) {
            byte_ = static_cast<std::uint8_t>((byte_ << 1) | ((bits >> i) & 1));
            if (++filled_ == 8) flush();
        }
    }
    // Pads the last byte with ones.
    std::string finish() {
        while (filled_ != 0) put(1, 1);
        return std::move(out_);
    }

private:
    void flush() {
        out_ += static_cast<char>(byte_);
        if (byte_ == 0xff) out_ += '\0';
        byte_ = 0;
        filled_ = 0;
    }
    std::string out_;
    std::uint8_t byte_ = 0;
    int filled_ = 0;
};

// Number of bits of |v| (the JPEG "category" of a coefficient difference).
int category(int v) {
    int n = 0;
    for (unsigned magnitude = static_cast<unsigned>(std::abs(v)); magnitude != 0; magnitude >>= 1) ++n;
    return n;
}

std::string box(const char* type, const std::string& payload) {
    std::string out;
    putBig(out, static_cast<std::uint32_t>(8 + payload.size()), 4);
    out.append(type, 4);
    return out + payload;
}

std::string fullBox(const char* type, std::uint32_t flags, const std::string& payload) {
    std::string head;
    putBig(head, flags & 0xffffff, 4);  // version 0
    return box(type, head + payload);
}

// The identity transformation of movie and track headers.
std::string unityMatrix() {
    std::string out;
    for (std::uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) putBig(out, v, 4);
    return out;
}

std::string movieBox(int width, int height, const std::vector<std::string>& frames, int frameMilliseconds,
                     std::uint32_t dataOffset) {
    constexpr std::uint32_t kTimescale = 1000;  // milliseconds
    const auto count = static_cast<std::uint32_t>(frames.size());
    const std::uint32_t duration = count * static_cast<std::uint32_t>(frameMilliseconds);

    std::string mvhd;
    putBig(mvhd, 0, 4);  // created
    putBig(mvhd, 0, 4);  // modified
    putBig(mvhd, kTimescale, 4);
    putBig(mvhd, duration, 4);
    putBig(mvhd, 0x00010000, 4);  // rate 1.0
    putBig(mvhd, 0x0100, 2);      // volume 1.0
    mvhd += std::string(10, '\0');
    mvhd += unityMatrix();
    mvhd += std::string(24, '\0');
    putBig(mvhd, 2, 4);  // next track id

    std::string tkhd;
    putBig(tkhd, 0, 4);
    putBig(tkhd, 0, 4);
    putBig(tkhd, 1, 4);  // track id
    putBig(tkhd, 0, 4);
    putBig(tkhd, duration, 4);
    tkhd += std::string(8, '\0');
    putBig(tkhd, 0, 2);  // layer
    putBig(tkhd, 0, 2);  // alternate group
    putBig(tkhd, 0, 2);  // volume: none for pictures
    putBig(tkhd, 0, 2);
    tkhd += unityMatrix();
    putBig(tkhd, static_cast<std::uint32_t>(width) << 16, 4);
    putBig(tkhd, static_cast<std::uint32_t>(height) << 16, 4);

    std::string mdhd;
    putBig(mdhd, 0, 4);
    putBig(mdhd, 0, 4);
    putBig(mdhd, kTimescale, 4);
    putBig(mdhd, duration, 4);
    putBig(mdhd, ((('u' - 0x60) << 10) | (('n' - 0x60) << 5) | ('d' - 0x60)), 2);  // language "und"
    putBig(mdhd, 0, 2);

    std::string hdlr;
    putBig(hdlr, 0, 4);
    hdlr += "vide";
    hdlr += std::string(12, '\0');
    hdlr += std::string("VideoHandler", 12) + '\0';

    std::string vmhd(8, '\0');  // graphics mode and colour: copy

    std::string dref;
    putBig(dref, 1, 4);
    dref += fullBox("url ", 1, "");  // the data is in this file

    std::string sampleEntry(6, '\0');  // reserved
    putBig(sampleEntry, 1, 2);         // data reference 1
    sampleEntry += std::string(16, '\0');
    putBig(sampleEntry, static_cast<std::uint32_t>(width), 2);
    putBig(sampleEntry, static_cast<std::uint32_t>(height), 2);
    putBig(sampleEntry, 0x00480000, 4);  // 72 dpi
    putBig(sampleEntry, 0x00480000, 4);
    putBig(sampleEntry, 0, 4);
    putBig(sampleEntry, 1, 2);  // frames per sample
    std::string compressor = "Photo - JPEG";
    compressor = static_cast<char>(compressor.size()) + compressor;
    compressor.resize(32, '\0');
    sampleEntry += compressor;
    putBig(sampleEntry, 24, 2);      // depth
    putBig(sampleEntry, 0xffff, 2);  // no colour table
    std::string stsd;
    putBig(stsd, 1, 4);
    stsd += box("jpeg", sampleEntry);

    std::string stts;  // every frame lasts as long
    putBig(stts, 1, 4);
    putBig(stts, count, 4);
    putBig(stts, static_cast<std::uint32_t>(frameMilliseconds), 4);

    std::string stsc;  // one chunk of all the frames
    putBig(stsc, 1, 4);
    putBig(stsc, 1, 4);
    putBig(stsc, count, 4);
    putBig(stsc, 1, 4);

    std::string stsz;
    putBig(stsz, 0, 4);
    putBig(stsz, count, 4);
    for (const std::string& frame : frames) putBig(stsz, static_cast<std::uint32_t>(frame.size()), 4);

    std::string stco;
    putBig(stco, 1, 4);
    putBig(stco, dataOffset, 4);

    // No sync-sample table: every JPEG frame stands alone.
    const std::string stbl = box("stbl", fullBox("stsd", 0, stsd) + fullBox("stts", 0, stts) +
                                             fullBox("stsc", 0, stsc) + fullBox("stsz", 0, stsz) +
                                             fullBox("stco", 0, stco));
    const std::string minf = box("minf", fullBox("vmhd", 1, vmhd) + box("dinf", fullBox("dref", 0, dref)) + stbl);
    const std::string mdia = box("mdia", fullBox("mdhd", 0, mdhd) + fullBox("hdlr", 0, hdlr) + minf);
    const std::string trak = box("trak", fullBox("tkhd", 3, tkhd) + mdia);  // enabled, in the movie
    return box("moov", fullBox("mvhd", 0, mvhd) + trak);
}

std::string makeClip() {
    std::vector<std::string> frames;
    for (int k = 0; k < kClipFrames; ++k) {
        frames.push_back(flatBlocksJPEG(kClipWidth, kClipHeight, [k](int bx, int by) {
            if (bx == k) return 230;             // the bar
            return by % 2 == 0 ? 40 : 56;        // faint stripes behind it
        }));
    }
    return jpegFilmMP4(kClipWidth, kClipHeight, frames, kClipFrameMilliseconds);
}

}  // namespace

std::string flatBlocksJPEG(int width, int height, const std::function<int(int, int)>& level) {
    if (width < 8 || height < 8 || width > 4096 || height > 4096 || width % 8 != 0 || height % 8 != 0) return "";
    std::string out = "\xFF\xD8";
    out += std::string("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 18);
    // Quantisation by 1: a block's DC coefficient is 8 x (grey - 128).
    out += std::string("\xFF\xDB\x00\x43\x00", 5) + std::string(64, '\x01');
    out += std::string("\xFF\xC0\x00\x0B\x08", 5);
    putBig(out, static_cast<std::uint32_t>(height), 2);
    putBig(out, static_cast<std::uint32_t>(width), 2);
    out += std::string("\x01\x01\x11\x00", 4);  // one component, no subsampling, table 0
    // DC: categories 0 to 11 as 4-bit codes 0000 to 1011.
    out += std::string("\xFF\xC4\x00\x1F\x00", 5) + std::string(3, '\0') + '\x0C' + std::string(12, '\0');
    for (char symbol = 0; symbol < 12; ++symbol) out += symbol;
    // AC: only end-of-block, code "0".
    out += std::string("\xFF\xC4\x00\x14\x10\x01", 6) + std::string(15, '\0') + std::string(1, '\0');
    out += std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);

    BitWriter bits;
    int previous = 0;
    for (int by = 0; by < height / 8; ++by) {
        for (int bx = 0; bx < width / 8; ++bx) {
            const int dc = 8 * (std::clamp(level(bx, by), 0, 255) - 128);
            const int difference = dc - previous;
            previous = dc;
            const int size = category(difference);
            bits.put(static_cast<std::uint32_t>(size), 4);
            // Negative differences are sent as their value minus one in `size` bits.
            if (size > 0) bits.put(static_cast<std::uint32_t>(difference > 0 ? difference : difference + (1 << size) - 1), size);
            bits.put(0, 1);  // end of block
        }
    }
    out += bits.finish();
    out += "\xFF\xD9";
    return out;
}

std::string jpegFilmMP4(int width, int height, const std::vector<std::string>& frames, int frameMilliseconds) {
    if (frames.empty() || width <= 0 || height <= 0 || width > 0xffff || height > 0xffff || frameMilliseconds <= 0)
        return "";
    std::string ftyp;
    ftyp += "isom";
    putBig(ftyp, 0x200, 4);
    ftyp += "isomiso2mp41";
    ftyp = box("ftyp", ftyp);

    std::string data;
    for (const std::string& frame : frames) data += frame;
    // The chunk's offset does not change the movie box's size: measure it, then write it.
    const std::size_t moovSize = movieBox(width, height, frames, frameMilliseconds, 0).size();
    const auto offset = static_cast<std::uint32_t>(ftyp.size() + moovSize + 8);
    return ftyp + movieBox(width, height, frames, frameMilliseconds, offset) + box("mdat", data);
}

const std::string& clipMP4() {
    static const std::string clip = makeClip();
    return clip;
}

}  // namespace qm::service::detail

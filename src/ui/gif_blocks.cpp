#include "ui/gif_blocks.h"

#include <cstdlib>

namespace gif {

namespace {

uint8_t Byte(std::string_view b, size_t at) { return static_cast<uint8_t>(b[at]); }
int U16(std::string_view b, size_t at) { return Byte(b, at) | (Byte(b, at + 1) << 8); }

// Skips data sub-blocks from `at`; returns the position after the zero terminator, or npos.
size_t SkipSubBlocks(std::string_view b, size_t at) {
    while (at < b.size()) {
        const uint8_t n = Byte(b, at);
        if (n == 0) return at + 1;
        at += 1 + n;
    }
    return std::string_view::npos;
}

void PutU16(std::string& s, size_t at, int v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

}  // namespace

bool IsGif(std::string_view bytes) {
    return bytes.size() >= 6 && (bytes.substr(0, 6) == "GIF87a" || bytes.substr(0, 6) == "GIF89a");
}

size_t ColorTableSize(uint8_t packed) { return (packed & 0x80) ? 3u * (2u << (packed & 7)) : 0u; }

Info Parse(std::string_view b) {
    Info info;
    if (!IsGif(b) || b.size() < 13) return info;
    info.width = U16(b, 6);
    info.height = U16(b, 8);
    info.globalTableSize = ColorTableSize(Byte(b, 10));
    size_t at = 13 + info.globalTableSize;
    Frame pending;  // control extension seen, image not yet
    bool havePending = false;
    constexpr size_t npos = std::string_view::npos;
    while (at < b.size()) {
        const uint8_t kind = Byte(b, at);
        if (kind == ';') {
            info.ok = true;
            return info;
        }
        if (kind == '!') {
            if (at + 1 >= b.size()) return info;
            const uint8_t label = Byte(b, at + 1);
            size_t header = 0;
            if (label == 0xFF) header = 14;
            else if (label == 0xFE) header = 2;
            else if (label == 0x01) header = 15;
            else if (label == 0xF9) header = 7;  // then the terminator: 8 in all
            else return info;
            if (label == 0xF9) {
                if (at + 8 > b.size()) return info;
                pending = Frame{};
                pending.start = at;
                pending.delay = U16(b, at + 4);
                pending.disposal = (Byte(b, at + 3) >> 2) & 7;
                havePending = true;
            }
            const size_t next = SkipSubBlocks(b, at + header);
            if (next == npos) return info;
            at = next;
            continue;
        }
        if (kind == ',') {
            if (at + 11 > b.size()) return info;
            Frame f = havePending ? pending : Frame{};
            if (!havePending) f.start = at;
            havePending = false;
            f.descriptor = at;
            f.left = U16(b, at + 1);
            f.top = U16(b, at + 3);
            f.width = U16(b, at + 5);
            f.height = U16(b, at + 7);
            const size_t data = at + 10 + ColorTableSize(Byte(b, at + 9)) + 1;  // + LZW code size
            if (data > b.size()) return info;
            const size_t next = SkipSubBlocks(b, data);
            if (next == npos) return info;
            f.end = next;
            info.frames.push_back(f);
            at = next;
            continue;
        }
        return info;
    }
    return info;
}

std::string CutFrame(std::string_view b, const Info& info, size_t index) {
    if (index >= info.frames.size()) return {};
    const Frame& f = info.frames[index];
    std::string out(b.substr(0, 13 + info.globalTableSize));
    PutU16(out, 6, f.width);
    PutU16(out, 8, f.height);
    const size_t frameAt = out.size();
    out.append(b.substr(f.start, f.end - f.start));
    const size_t desc = frameAt + (f.descriptor - f.start);
    PutU16(out, desc + 1, 0);
    PutU16(out, desc + 3, 0);
    out.push_back(';');
    return out;
}

unsigned FrameWaitMs(int delay) { return delay > 4 ? static_cast<unsigned>(delay) * 10u : 100u; }

int HimetricToPixels(long himetric, int dpi) {
    // MulDiv(himetric, dpi, 2540): rounds half away from zero.
    const long long p = static_cast<long long>(himetric) * dpi;
    const long long q = 2540;
    const long long r = (std::llabs(p) + q / 2) / q;
    return static_cast<int>(p < 0 ? -r : r);
}

}  // namespace gif

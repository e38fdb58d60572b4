// Writes small test images as PNG files (8-bit RGBA, deflate's stored blocks), so that the
// composer tests can load skins whose every pixel they know.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace skin_png {

// Straight (not premultiplied) colours as 0xAARRGGBB.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;

    Pixels(int w, int h, uint32_t fill = 0) : width(w), height(h), argb(size_t(w) * h, fill) {}
    void Set(int x, int y, uint32_t colour) { argb[size_t(y) * width + x] = colour; }
    void Fill(int left, int top, int right, int bottom, uint32_t colour) {
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x)
                Set(x, y, colour);
        }
    }
};

inline uint32_t Crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void PutBig32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

inline void PutChunk(std::string& out, const char* kind, const std::string& body) {
    PutBig32(out, static_cast<uint32_t>(body.size()));
    std::string typed = std::string(kind, 4) + body;
    out += typed;
    PutBig32(out, Crc32(typed));
}

// A zlib stream of stored (uncompressed) deflate blocks.
inline std::string Stored(const std::string& raw) {
    std::string out = "\x78\x01";
    size_t pos = 0;
    do {
        size_t length = std::min<size_t>(raw.size() - pos, 65535);
        bool last = pos + length == raw.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(length & 0xFF);
        out += static_cast<char>(length >> 8);
        out += static_cast<char>(~length & 0xFF);
        out += static_cast<char>((~length >> 8) & 0xFF);
        out.append(raw, pos, length);
        pos += length;
    } while (pos < raw.size());
    uint32_t a = 1;
    uint32_t b = 0;
    for (unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    PutBig32(out, (b << 16) | a);
    return out;
}

inline void Write(const std::filesystem::path& path, const Pixels& pixels) {
    std::string raw;
    for (int y = 0; y < pixels.height; ++y) {
        raw += '\0';  // no filter
        for (int x = 0; x < pixels.width; ++x) {
            uint32_t c = pixels.argb[size_t(y) * pixels.width + x];
            raw += static_cast<char>((c >> 16) & 0xFF);
            raw += static_cast<char>((c >> 8) & 0xFF);
            raw += static_cast<char>(c & 0xFF);
            raw += static_cast<char>(c >> 24);
        }
    }
    std::string header;
    PutBig32(header, pixels.width);
    PutBig32(header, pixels.height);
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, no interlace
    std::string file = "\x89PNG\r\n\x1a\n";
    PutChunk(file, "IHDR", header);
    PutChunk(file, "IDAT", Stored(raw));
    PutChunk(file, "IEND", "");
    std::ofstream(path, std::ios::binary) << file;
}

}  // namespace skin_png

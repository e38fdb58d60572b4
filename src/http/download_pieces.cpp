#include "http/download_pieces.h"

#include <cstdio>

#include "common/text.h"
#include "platform/file.h"
#include "platform/path.h"

namespace http_pieces {

std::string PieceName(const std::string& localPath, int index) {
    return localPath + ".tmp_" + std::to_string(index);
}

bool PieceNamesFit(const std::string& localPath) {
    std::wstring wide = ToWidePath(localPath);
    return !wide.empty() && wide.size() <= kMaxLocalPathChars;
}

namespace {

// The inclusive bounds of piece `index` as it asks for them.
void PieceBounds(uint32_t size, int index, uint32_t& start, uint32_t& end) {
    uint32_t q = size / kPieceCount;
    start = index == 0 ? 0 : static_cast<uint32_t>(index) * q + 1;
    end = index == kPieceCount - 1 ? size : static_cast<uint32_t>(index + 1) * q;
}

}  // namespace

std::string PieceRange(uint32_t size, int index) {
    uint32_t start = 0, end = 0;
    PieceBounds(size, index, start, end);
    char range[128];
    std::snprintf(range, sizeof(range), "%u-%u", start, end);
    return range;
}

uint32_t PieceLength(uint32_t size, int index) {
    uint32_t start = 0, end = 0;
    PieceBounds(size, index, start, end);
    if (size == 0 || end < start || start >= size)
        return 0;
    uint32_t last = end < size ? end : size - 1;
    return last - start + 1;
}

double JoinPieces(const std::string& localPath) {
    std::FILE* destination = platform::OpenStdioFile(localPath, "wb");
    // The copy moves whole blocks, so stdio's own buffers would only add a copy of each block:
    // without them every block is one read and one write of the system.
    if (destination != nullptr)
        std::setvbuf(destination, nullptr, _IONBF, 0);
    double joined = 0;
    char block[kJoinBlockBytes];
    for (int i = 0; i < kPieceCount; ++i) {
        std::string name = PieceName(localPath, i);
        std::FILE* piece = platform::OpenStdioFile(name, "rb");
        if (piece != nullptr) {
            std::setvbuf(piece, nullptr, _IONBF, 0);
            if (destination != nullptr) {
                size_t got;
                while ((got = std::fread(block, 1, sizeof(block), piece)) > 0) {
                    size_t written = std::fwrite(block, 1, got, destination);
                    joined += static_cast<double>(written);
                    if (written < got)
                        break;  // the disk is full: the length check will fail
                }
            }
            std::fclose(piece);
        }
        platform::DeletePath(ToWidePath(name));
    }
    if (destination != nullptr)
        std::fclose(destination);
    return joined;
}

void DeletePieces(const std::string& localPath) {
    for (int i = 0; i < kPieceCount; ++i)
        platform::DeletePath(ToWidePath(PieceName(localPath, i)));
}

}  // namespace http_pieces

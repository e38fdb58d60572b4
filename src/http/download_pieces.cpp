#include "http/download_pieces.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <set>

#include "common/text.h"
#include "platform/file.h"
#include "platform/path.h"

namespace http_pieces {

std::string PieceName(const std::string& localPath, int index) {
    return localPath + ".tmp_" + std::to_string(index);
}

std::string StateName(const std::string& localPath) {
    return localPath + ".tmp_state";
}

namespace {

// The characters of the path's wide form, which is what the platform's limit counts; 0 for a
// path that does not convert.
size_t PathChars(const std::string& localPath) {
    return ToWidePath(localPath).size();
}

bool NameFits(const std::string& localPath, size_t suffixChars) {
    size_t chars = PathChars(localPath);
    return chars > 0 && chars + suffixChars <= platform::kMaxPathChars - 1;
}

}  // namespace

bool PieceNamesFit(const std::string& localPath) {
    return NameFits(localPath, std::string(".tmp_4").size());
}

int MaxPiecesFor(const std::string& localPath) {
    if (!PieceNamesFit(localPath))
        return 0;
    // Two-digit numbers need one more character than the first ten.
    return NameFits(localPath, std::string(".tmp_10").size()) ? kMaxPieces : 10;
}

bool StateNameFits(const std::string& localPath) {
    return NameFits(localPath, std::string(".tmp_state").size());
}

std::string PartialNameFor(const std::string& localPath) {
    if (NameFits(localPath, std::string(".tmp_part").size()))
        return localPath + ".tmp_part";
    // A name no longer than the destination's own, so that its path fits wherever the
    // destination's does.
    size_t separator = localPath.find_last_of("/\\");
    std::string folder = separator == std::string::npos ? "" : localPath.substr(0, separator + 1);
    size_t room = platform::kMaxPathChars - 1 - PathChars(folder);
    if (PathChars(folder) >= platform::kMaxPathChars - 1 || PathChars(localPath) == 0)
        return std::string();
    uint32_t hash = 2166136261u;  // FNV-1a of the whole path
    for (unsigned char c : localPath)
        hash = (hash ^ c) * 16777619u;
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%08x", hash);
    std::string name = "~" + std::string(digits);
    if (name.size() + 4 <= room)
        return folder + name + ".tmp";
    if (room < 2)
        return std::string();
    return folder + name.substr(0, std::min(name.size(), room));
}

namespace {

// The inclusive bounds of piece `index` as its first try asks for them.
void PieceBounds(uint64_t size, int index, uint64_t& start, uint64_t& end) {
    uint64_t q = size / kPieceCount;
    start = index == 0 ? 0 : static_cast<uint64_t>(index) * q + 1;
    end = index == kPieceCount - 1 ? size : static_cast<uint64_t>(index + 1) * q;
}

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value <= limit;
}

// In the order of their offsets; among pieces at one offset (empty ones) by number.
std::vector<PieceSpan> InOffsetOrder(std::vector<PieceSpan> pieces) {
    std::sort(pieces.begin(), pieces.end(), [](const PieceSpan& a, const PieceSpan& b) {
        return a.start != b.start ? a.start < b.start : a.index < b.index;
    });
    return pieces;
}

bool CoversTheFileOnce(const PieceState& state) {
    std::set<int> numbers;
    uint64_t next = 0;
    for (const PieceSpan& piece : InOffsetOrder(state.pieces)) {
        if (piece.index < 0 || piece.index >= kMaxPieces || !numbers.insert(piece.index).second)
            return false;
        if (piece.length == 0)
            continue;
        if (piece.start != next)
            return false;
        next += piece.length;
    }
    return next == state.size;
}

}  // namespace

std::string PieceRange(uint64_t size, int index) {
    uint64_t start = 0, end = 0;
    PieceBounds(size, index, start, end);
    char range[128];
    std::snprintf(range, sizeof(range), "%llu-%llu", static_cast<unsigned long long>(start),
                  static_cast<unsigned long long>(end));
    return range;
}

uint64_t PieceRangeEnd(uint64_t size, int index) {
    uint64_t start = 0, end = 0;
    PieceBounds(size, index, start, end);
    return end;
}

uint64_t PieceLength(uint64_t size, int index) {
    uint64_t start = 0, end = 0;
    PieceBounds(size, index, start, end);
    if (size == 0 || end < start || start >= size)
        return 0;
    uint64_t last = end < size ? end : size - 1;
    return last - start + 1;
}

std::vector<PieceSpan> FirstPieces(uint64_t size) {
    std::vector<PieceSpan> pieces;
    for (int i = 0; i < kPieceCount; ++i) {
        uint64_t start = 0, end = 0;
        PieceBounds(size, i, start, end);
        pieces.push_back(PieceSpan{i, start, PieceLength(size, i)});
    }
    return pieces;
}

bool SplitPoint(uint64_t start, uint64_t length, uint64_t held, uint64_t& keptLength,
                uint64_t& helperLength) {
    (void)start;
    uint64_t rest = held >= length ? 0 : length - held;
    if (rest <= kMinSplitBytes)
        return false;
    helperLength = rest / 2;
    keptLength = length - helperLength;
    return true;
}

std::string FormatPieceState(const PieceState& state) {
    std::string text = "url " + state.url + "\nsize " + std::to_string(state.size) +
                       "\nvalidator " + state.validator + "\n";
    for (const PieceSpan& piece : state.pieces) {
        text += "piece " + std::to_string(piece.index) + " " + std::to_string(piece.start) + " " +
                std::to_string(piece.length) + "\n";
    }
    return text + "end\n";
}

bool ParsePieceState(const std::string& text, PieceState& state) {
    PieceState parsed;
    bool hasUrl = false, hasSize = false, hasValidator = false, ended = false;
    size_t at = 0;
    while (at < text.size() && !ended) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            return false;  // a state cut off while it was written
        std::string line = text.substr(at, end - at);
        at = end + 1;
        size_t blank = line.find(' ');
        std::string key = line.substr(0, blank);
        std::string value = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        uint64_t number = 0;
        if (key == "url") {
            parsed.url = value;
            hasUrl = true;
        } else if (key == "size" && ParseNumber(value, kMaxSegmentedSize, number)) {
            parsed.size = number;
            hasSize = true;
        } else if (key == "validator") {
            parsed.validator = value;
            hasValidator = true;
        } else if (key == "piece") {
            uint64_t fields[3] = {};
            size_t from = 0;
            for (uint64_t& field : fields) {
                // Fewer fields than three: the text ran out before this one.
                if (from > value.size())
                    return false;
                size_t to = value.find(' ', from);
                std::string part = value.substr(from, to == std::string::npos ? to : to - from);
                if (!ParseNumber(part, kMaxSegmentedSize, field))
                    return false;
                from = to == std::string::npos ? value.size() + 1 : to + 1;
            }
            if (from <= value.size() || fields[0] >= static_cast<uint64_t>(kMaxPieces))
                return false;
            parsed.pieces.push_back(PieceSpan{static_cast<int>(fields[0]), fields[1], fields[2]});
        } else if (key == "end" && value.empty()) {
            ended = true;
        } else {
            return false;
        }
    }
    if (!ended || at != text.size() || !hasUrl || !hasSize || !hasValidator ||
        parsed.pieces.empty() || !CoversTheFileOnce(parsed))
        return false;
    state = std::move(parsed);
    return true;
}

bool WritePieceState(const std::string& localPath, const PieceState& state) {
    std::FILE* file = platform::OpenStdioFile(StateName(localPath), "wb");
    if (file == nullptr)
        return false;
    std::string text = FormatPieceState(state);
    bool whole = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                 platform::SyncStdioFile(file);
    return std::fclose(file) == 0 && whole;
}

bool ReadPieceState(const std::string& localPath, PieceState& state) {
    std::FILE* file = platform::OpenStdioFile(StateName(localPath), "rb");
    if (file == nullptr)
        return false;
    // A state is a few lines a piece; anything far longer is not one.
    std::string text;
    char block[4096];
    size_t got;
    while ((got = std::fread(block, 1, sizeof(block), file)) > 0 && text.size() < 65536)
        text.append(block, got);
    std::fclose(file);
    return text.size() < 65536 && ParsePieceState(text, state);
}

int64_t JoinPieces(const std::vector<PieceSpan>& pieces, const std::string& localPath,
                   const std::string& target) {
    std::vector<PieceSpan> ordered = InOffsetOrder(pieces);
    int64_t joined = 0;
    size_t next = 0;
    std::FILE* destination = nullptr;
    // The file's first bytes need no copy: their piece becomes the target.
    if (!ordered.empty() && ordered[0].start == 0 && ordered[0].length > 0) {
        std::string first = PieceName(localPath, ordered[0].index);
        if (FileLengthOf(first) == ordered[0].length &&
            platform::ReplacePath(ToWidePath(first), ToWidePath(target))) {
            destination = platform::OpenStdioFile(target, "ab");
            joined = static_cast<int64_t>(ordered[0].length);
            next = 1;
        }
    }
    if (destination == nullptr) {
        destination = platform::OpenStdioFile(target, "wb");
        joined = 0;
        next = 0;
    }
    // The copy moves whole blocks, so stdio's own buffers would only add a copy of each block:
    // without them every block is one read and one write of the system.
    if (destination != nullptr)
        std::setvbuf(destination, nullptr, _IONBF, 0);
    std::unique_ptr<char[]> block(new (std::nothrow) char[kJoinBlockBytes]);
    bool full = false;
    for (size_t i = next; i < ordered.size(); ++i) {
        const PieceSpan& span = ordered[i];
        std::string name = PieceName(localPath, span.index);
        std::FILE* piece = platform::OpenStdioFile(name, "rb");
        if (piece != nullptr) {
            std::setvbuf(piece, nullptr, _IONBF, 0);
            // A piece that was split may hold a few bytes beyond its span: the next piece's.
            uint64_t left = span.length;
            while (destination != nullptr && block && !full && left > 0) {
                size_t want = left < kJoinBlockBytes ? static_cast<size_t>(left) : kJoinBlockBytes;
                size_t got = std::fread(block.get(), 1, want, piece);
                if (got == 0)
                    break;
                size_t written = std::fwrite(block.get(), 1, got, destination);
                joined += static_cast<int64_t>(written);
                left -= got;
                full = written < got;  // the disk is full: the length check will fail
            }
            std::fclose(piece);
        }
        platform::DeletePath(ToWidePath(name));
    }
    // The file's data is on the disk before its name is trusted; a file whose last data never
    // reached the disk is not the file.
    if (destination != nullptr) {
        bool synced = platform::SyncStdioFile(destination);
        if (std::fclose(destination) != 0 || !synced)
            joined = -1;
    }
    if (!block && ordered.size() > next)
        joined = -1;  // no memory to copy with
    return joined;
}

uint64_t FileLengthOf(const std::string& path) {
    std::FILE* file = platform::OpenStdioFile(path, "rb");
    if (file == nullptr)
        return 0;
    int64_t length = 0;
    platform::GetStdioFileLength(file, length);
    std::fclose(file);
    return length > 0 ? static_cast<uint64_t>(length) : 0;
}

void EmptyFile(const std::string& path) {
    std::FILE* emptied = platform::OpenStdioFile(path, "wb");
    if (emptied != nullptr)
        std::fclose(emptied);
}

void DeletePieces(const std::string& localPath) {
    for (int i = 0; i < kMaxPieces; ++i)
        platform::DeletePath(ToWidePath(PieceName(localPath, i)));
    platform::DeletePath(ToWidePath(StateName(localPath)));
}

}  // namespace http_pieces

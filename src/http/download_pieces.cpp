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

std::string StateName(const std::string& localPath) {
    return localPath + ".tmp_state";
}

std::string NewStateName(const std::string& localPath) {
    return localPath + ".tmp_new";
}

std::string StreamName(const std::string& localPath) {
    return localPath + ".tmp_stream";
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

bool StateNameFits(const std::string& localPath) {
    return NameFits(localPath, std::string(".tmp_state").size());
}

bool StreamNameFits(const std::string& localPath) {
    return NameFits(localPath, std::string(".tmp_stream").size());
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
        if (piece.index < 0 || piece.index >= kMaxPieces || !numbers.insert(piece.index).second ||
            piece.held > piece.length)
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

bool SplitPoint(uint64_t length, uint64_t held, const SplitPace& pace, uint64_t& keptLength,
                uint64_t& helperLength) {
    uint64_t rest = held >= length ? 0 : length - held;
    bool slow = pace.piece > 0 && pace.helper > 0 && pace.piece <= pace.helper / 2;
    if (rest <= kMinSlowSplitBytes || (rest <= kMinSplitBytes && !slow))
        return false;
    helperLength = rest / 2;
    if (slow) {
        // All end at once when the helpers, this worker and the others, take their paces' share
        // of the rest.
        double helpers = static_cast<double>(pace.helper) + static_cast<double>(pace.others);
        double both = static_cast<double>(pace.piece) + helpers;
        double share = static_cast<double>(rest) * helpers / both;
        // The time the split saves: the rest at the piece's pace against at all paces.
        double savedMs = (static_cast<double>(rest) / static_cast<double>(pace.piece) -
                          static_cast<double>(rest) / both) *
                         1000.0;
        if (rest <= kMinSplitBytes && savedMs < static_cast<double>(kMinSplitGainMs))
            return false;
        uint64_t most = rest - rest / 16;
        helperLength =
            std::max<uint64_t>(rest / 16, std::min<uint64_t>(most, static_cast<uint64_t>(share)));
    }
    keptLength = length - helperLength;
    return true;
}

std::string FormatPieceState(const PieceState& state) {
    std::string text = "url " + state.url + "\nsize " + std::to_string(state.size) +
                       "\nvalidator " + state.validator + "\n";
    for (const PieceSpan& piece : state.pieces) {
        text += "piece " + std::to_string(piece.index) + " " + std::to_string(piece.start) + " " +
                std::to_string(piece.length) + " " + std::to_string(piece.held) + "\n";
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
            uint64_t fields[4] = {};
            size_t from = 0;
            for (uint64_t& field : fields) {
                // Fewer fields than four: the text ran out before this one.
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
            parsed.pieces.push_back(
                PieceSpan{static_cast<int>(fields[0]), fields[1], fields[2], fields[3]});
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
    std::string fresh = NewStateName(localPath);
    std::FILE* file = platform::OpenStdioFile(fresh, "wb");
    if (file == nullptr)
        return false;
    std::string text = FormatPieceState(state);
    bool whole = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                 platform::SyncStdioFile(file);
    whole = std::fclose(file) == 0 && whole;
    if (whole && platform::ReplacePath(ToWidePath(fresh), ToWidePath(StateName(localPath))))
        return true;
    platform::DeletePath(ToWidePath(fresh));
    return false;
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

uint64_t FileLengthOf(const std::string& path) {
    std::FILE* file = platform::OpenStdioFile(path, "rb");
    if (file == nullptr)
        return 0;
    int64_t length = 0;
    platform::GetStdioFileLength(file, length);
    std::fclose(file);
    return length > 0 ? static_cast<uint64_t>(length) : 0;
}

void DeletePieces(const std::string& localPath) {
    // The state first: a state must never outlive what it describes.
    platform::DeletePath(ToWidePath(StateName(localPath)));
    platform::DeletePath(ToWidePath(NewStateName(localPath)));
    platform::DeletePath(ToWidePath(StreamName(localPath)));
    for (int i = 0; i < kOldPieceFiles; ++i)
        platform::DeletePath(ToWidePath(localPath + ".tmp_" + std::to_string(i)));
}

}  // namespace http_pieces

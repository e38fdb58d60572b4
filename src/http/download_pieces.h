// The pieces of a segmented download: their byte ranges in the one partial file they are written
// into, the names beside the destination, and the state file that lets a later download resume
// what the partial file holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace http_pieces {

// The connections of a segmented download, and the pieces it starts with.
inline constexpr int kPieceCount = 5;

// The most pieces one download has: the first five and those that splits add. Each split needs
// more than kMinSplitBytes still to come and ends when five threads have nothing left worth
// taking, so a download rarely comes near it; the bound keeps the slots and the state small.
inline constexpr int kMaxPieces = 128;

// A piece is split while more than this many bytes of it are still to come.
inline constexpr uint64_t kMinSplitBytes = 1024 * 1024;

// Below kMinSplitBytes a piece is split only when its pace is known to be slow, at most half its
// helper's: more than this many bytes are to come, and the split saves at least kMinSplitGainMs
// of the time its rest takes at its own pace. Pieces of like pace are left to end, since each
// split cuts a transfer whose bytes on their way are lost. A slow connection otherwise keeps up to
// kMinSplitBytes at the end while the others have nothing left to fetch.
inline constexpr uint64_t kMinSlowSplitBytes = 64 * 1024;
inline constexpr uint64_t kMinSplitGainMs = 200;

// An earlier layout kept each piece in a file of its own, "%s.tmp_0" to "%s.tmp_63"; nothing
// reads them any more, and they are deleted where found.
inline constexpr int kOldPieceFiles = 64;

// The largest file the ranges describe: HTTP's byte positions are signed 64-bit numbers.
inline constexpr uint64_t kMaxSegmentedSize = 0x7fffffffffffffffull;

// The state of the pieces, for a later download to resume them: "%s.tmp_state".
std::string StateName(const std::string& localPath);

// Where a new state is written before it replaces the old one at once: "%s.tmp_new", no longer
// than the state's name.
std::string NewStateName(const std::string& localPath);

// Where the single stream writes while the partial file holds pieces kept for a later
// download: "%s.tmp_stream".
std::string StreamName(const std::string& localPath);

// Whether the state file's name of this destination is a whole path; without it, its pieces
// are not kept for a later download.
bool StateNameFits(const std::string& localPath);

// Whether the stream's own name of this destination is a whole path.
bool StreamNameFits(const std::string& localPath);

// The partial file of a destination: "%s.tmp_part" where that is a whole path, else
// "~" and a number made from the destination's name, in the same folder, as long as the
// destination's own name allows ("~" and 8 hexadecimal digits at the most, then ".tmp" where it
// fits). Empty when even that does not fit.
std::string PartialNameFor(const std::string& localPath);

// The inclusive range "%llu-%llu" that the first try of piece `index` of a file of `size` bytes
// asks for. With q = size / 5, piece 0 asks for 0-q, piece i for iq+1-(i+1)q, and the last one
// ends at `size` itself, one past the last byte, which servers clamp to the end of the file.
std::string PieceRange(uint64_t size, int index);

// The inclusive end of piece `index`'s first range, as PieceRange writes it.
uint64_t PieceRangeEnd(uint64_t size, int index);

// How many bytes of a file of `size` bytes lie in piece `index`'s first range: all that the
// piece may receive. The last range's end, one past the file, holds no byte; an inverted range
// none.
uint64_t PieceLength(uint64_t size, int index);

// The bytes of the file one piece stands for: `length` bytes from `start`, of which the partial
// file holds the first `held`.
struct PieceSpan {
    int index = 0;
    uint64_t start = 0;
    uint64_t length = 0;
    uint64_t held = 0;
};

// The five first pieces of a file of `size` bytes, as PieceRange and PieceLength give them.
std::vector<PieceSpan> FirstPieces(uint64_t size);

// How fast a piece comes, how fast the worker that splits it fetched its own last piece, and how
// fast the others still fetching come (they split what is left when they are free), in bytes
// per second; 0 where that is not known yet.
struct SplitPace {
    uint64_t piece = 0;
    uint64_t helper = 0;
    uint64_t others = 0;
};

// Where a piece is split: of what is still to come of a piece of `length` bytes that has taken
// `held` bytes, the helper takes the second half, or of a slow piece the part that lets the piece
// end when its helpers do at their paces, each side keeping at least a sixteenth. False when the
// piece is not worth splitting (see kMinSplitBytes); else `keptLength` is the split piece's new
// length and the helper's span follows it with `helperLength` bytes.
bool SplitPoint(uint64_t length, uint64_t held, const SplitPace& pace, uint64_t& keptLength,
                uint64_t& helperLength);

// What a download records beside its partial file: the file it fetches and the server's
// validator of that file (its ETag, else its Last-Modified), and every piece's span with what
// the partial file holds of it. A later download of the same URL and size whose server gives
// the same validator may keep those bytes.
struct PieceState {
    std::string url;
    uint64_t size = 0;
    std::string validator;
    std::vector<PieceSpan> pieces;
};

std::string FormatPieceState(const PieceState& state);

// False for a text that is not a whole state, or whose pieces do not cover the file exactly
// once, or whose piece numbers repeat or lie outside 0..kMaxPieces-1, or whose piece holds more
// than its span.
bool ParsePieceState(const std::string& text, PieceState& state);

// Writes the state file of this destination under its new name, puts it on the disk and then
// moves it over the old state, so that a reader finds the old state or the new one, never a
// part of either. False when it could not be written whole.
bool WritePieceState(const std::string& localPath, const PieceState& state);
bool ReadPieceState(const std::string& localPath, PieceState& state);

// The length of a file by its narrow path; 0 when it does not exist or cannot be opened.
uint64_t FileLengthOf(const std::string& path);

// Deletes the state file of this destination, its new state and its stream's file, and any
// piece file of the earlier layout.
void DeletePieces(const std::string& localPath);

}  // namespace http_pieces

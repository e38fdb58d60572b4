// The pieces of a segmented download: their byte ranges, their file names beside the
// destination, the state file that lets a later download resume them, and the join that copies
// them into the file that then replaces the destination.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/path.h"

namespace http_pieces {

// The connections of a segmented download, and the pieces it starts with.
inline constexpr int kPieceCount = 5;

// The most pieces one download has: the first five and those that splits add.
inline constexpr int kMaxPieces = 64;

// A piece is split only while more than this many bytes of it are still to come.
inline constexpr uint64_t kMinSplitBytes = 1024 * 1024;

// The join copies in blocks of this many bytes.
inline constexpr size_t kJoinBlockBytes = 1024 * 1024;

// A destination path of at most this many characters leaves room for the names of its first
// ten pieces, ".tmp_0" to ".tmp_9": it is downloaded in pieces.
inline constexpr size_t kMaxLocalPathChars = platform::kMaxPathChars - 1 - 6;

// The largest file the ranges describe: HTTP's byte positions are signed 64-bit numbers.
inline constexpr uint64_t kMaxSegmentedSize = 0x7fffffffffffffffull;

// "%s.tmp_%d" of the destination and the piece number.
std::string PieceName(const std::string& localPath, int index);

// The state of the pieces, for a later download to resume them: "%s.tmp_state".
std::string StateName(const std::string& localPath);

// Whether the destination is downloaded in pieces: its first five piece names are whole paths
// the platform can open (a longer path would have them cut, and the data would land in wrong
// files).
bool PieceNamesFit(const std::string& localPath);

// How many pieces this destination may have: as many as kMaxPieces whose names fit.
int MaxPiecesFor(const std::string& localPath);

// Whether the state file's name of this destination is a whole path; without it, its pieces
// are not kept for a later download.
bool StateNameFits(const std::string& localPath);

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

// The bytes of the file one piece holds: `length` bytes from `start`, in the piece file
// PieceName(localPath, index).
struct PieceSpan {
    int index = 0;
    uint64_t start = 0;
    uint64_t length = 0;
};

// The five first pieces of a file of `size` bytes, as PieceRange and PieceLength give them.
std::vector<PieceSpan> FirstPieces(uint64_t size);

// Where a piece is split: the helper takes the second half of what is still to come of a piece
// of `length` bytes from `start` whose file holds `held` bytes. False when less than
// kMinSplitBytes is to come; else `keptLength` is the split piece's new length and the helper's
// span starts at `start + keptLength` with `helperLength` bytes.
bool SplitPoint(uint64_t start, uint64_t length, uint64_t held, uint64_t& keptLength,
                uint64_t& helperLength);

// What a download records beside its pieces: the file it fetches and the server's validator of
// that file (its ETag, else its Last-Modified), and every piece's span. A later download of the
// same URL and size whose server gives the same validator may keep what the piece files hold.
struct PieceState {
    std::string url;
    uint64_t size = 0;
    std::string validator;
    std::vector<PieceSpan> pieces;
};

std::string FormatPieceState(const PieceState& state);

// False for a text that is not a whole state, or whose pieces do not cover the file exactly
// once, or whose piece numbers repeat or lie outside 0..kMaxPieces-1.
bool ParsePieceState(const std::string& text, PieceState& state);

// Writes the state file of this destination; false when it could not be written whole.
bool WritePieceState(const std::string& localPath, const PieceState& state);
bool ReadPieceState(const std::string& localPath, PieceState& state);

// Copies the pieces in the order of their offsets into `target` (truncated first), of each
// piece file at most its span's length, and returns the number of bytes written, or -1 when the
// data did not reach the disk. A first piece that holds exactly its span becomes `target` by a
// rename instead of a copy. Each piece file is deleted right after its copy, so that the join
// needs room for only one piece besides the file; also one that could not be copied is
// deleted: the download then fails its length check and fetches the file again in one stream,
// so a left piece would only take space.
int64_t JoinPieces(const std::vector<PieceSpan>& pieces, const std::string& localPath,
                   const std::string& target);

// The length of a file by its narrow path; 0 when it does not exist or cannot be opened.
uint64_t FileLengthOf(const std::string& path);

// Empties a piece file, so that it is fetched again from its start.
void EmptyFile(const std::string& path);

// Deletes whatever piece files and state file of this destination exist.
void DeletePieces(const std::string& localPath);

}  // namespace http_pieces

// The pieces of a segmented download: their byte ranges, their file names beside the
// destination, the state file that lets a later download resume them, and the join that copies
// them into the file that then replaces the destination.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace http_pieces {

// The connections of a segmented download, and the pieces it starts with.
inline constexpr int kPieceCount = 5;

// The most pieces one download has: the first five and those that splits add.
inline constexpr int kMaxPieces = 64;

// A piece is split only while more than this many bytes of it are still to come.
inline constexpr uint32_t kMinSplitBytes = 1024 * 1024;

// The join copies in blocks of this many bytes.
inline constexpr size_t kJoinBlockBytes = 1024 * 1024;

// A destination path of at most this many characters leaves room for the longest name beside
// it, ".tmp_state", within the 259 characters a Windows path may have.
inline constexpr size_t kMaxLocalPathChars = 249;

// The same for the partial file alone, ".tmp_part".
inline constexpr size_t kMaxPartialPathChars = 250;

// The ranges address bytes with unsigned 32-bit numbers, so larger files are not split.
inline constexpr double kMaxSegmentedSize = 4294967295.0;

// "%s.tmp_%d" of the destination and the piece number.
std::string PieceName(const std::string& localPath, int index);

// Where the whole file is written before it replaces the destination: "%s.tmp_part".
std::string PartialName(const std::string& localPath);

// The state of the pieces, for a later download to resume them: "%s.tmp_state".
std::string StateName(const std::string& localPath);

// Whether the piece, partial and state names of this destination are whole paths the platform
// can open; a longer path would have them cut, and the data would land in wrong files.
bool PieceNamesFit(const std::string& localPath);

// Whether the partial name of this destination is a whole path.
bool PartialNameFits(const std::string& localPath);

// The inclusive range "%u-%u" that the first try of piece `index` of a file of `size` bytes
// asks for. With q = size / 5, piece 0 asks for 0-q, piece i for iq+1-(i+1)q, and the last one
// ends at `size` itself, one past the last byte, which servers clamp to the end of the file.
std::string PieceRange(uint32_t size, int index);

// The inclusive end of piece `index`'s first range, as PieceRange writes it.
uint32_t PieceRangeEnd(uint32_t size, int index);

// How many bytes of a file of `size` bytes lie in piece `index`'s first range: all that the
// piece may receive. The last range's end, one past the file, holds no byte; an inverted range
// none.
uint32_t PieceLength(uint32_t size, int index);

// The bytes of the file one piece holds: `length` bytes from `start`, in the piece file
// PieceName(localPath, index).
struct PieceSpan {
    int index = 0;
    uint32_t start = 0;
    uint32_t length = 0;
};

// The five first pieces of a file of `size` bytes, as PieceRange and PieceLength give them.
std::vector<PieceSpan> FirstPieces(uint32_t size);

// What a download records beside its pieces: the file it fetches and the server's validator of
// that file (its ETag, else its Last-Modified), and every piece's span. A later download of the
// same URL and size whose server gives the same validator may keep what the piece files hold.
struct PieceState {
    std::string url;
    uint32_t size = 0;
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
// piece file at most its span's length, and returns the number of bytes written. A first piece
// that holds exactly its span becomes `target` by a rename instead of a copy. Every piece
// file is deleted afterwards, also one that could not be copied: the download then fails its
// length check and fetches the file again in one stream, so a left piece would only take space.
double JoinPieces(const std::vector<PieceSpan>& pieces, const std::string& localPath,
                  const std::string& target);

// The length of a file by its narrow path; 0 when it does not exist or cannot be opened.
uint64_t FileLengthOf(const std::string& path);

// Deletes whatever piece files and state file of this destination exist.
void DeletePieces(const std::string& localPath);

}  // namespace http_pieces

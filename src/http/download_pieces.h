// The pieces of a segmented download: their byte ranges, their file names beside the
// destination, and the join that copies them into the destination.
#pragma once

#include <cstdint>
#include <string>

namespace http_pieces {

inline constexpr int kPieceCount = 5;

// The join copies in blocks of this many bytes.
inline constexpr size_t kJoinBlockBytes = 8192;

// A destination path of at most this many characters leaves room for ".tmp_N" within the 259
// characters a Windows path may have.
inline constexpr size_t kMaxLocalPathChars = 253;

// The ranges address bytes with unsigned 32-bit numbers, so larger files are not split.
inline constexpr double kMaxSegmentedSize = 4294967295.0;

// "%s.tmp_%d" of the destination and the piece number.
std::string PieceName(const std::string& localPath, int index);

// Whether the piece names of this destination are whole paths the platform can open; a longer
// path would have its piece names cut, and the pieces would land in wrong files.
bool PieceNamesFit(const std::string& localPath);

// The inclusive range "%u-%u" of piece `index` of a file of `size` bytes. With q = size / 5,
// piece 0 asks for 0-q, piece i for iq+1-(i+1)q, and the last one ends at `size` itself, one
// past the last byte, which servers clamp to the end of the file.
std::string PieceRange(uint32_t size, int index);

// How many bytes of a file of `size` bytes lie in piece `index`'s range: all that the piece may
// receive. The last range's end, one past the file, holds no byte; an inverted range none.
uint32_t PieceLength(uint32_t size, int index);

// Copies the five piece files in order into the destination (truncated first) and returns the
// number of bytes written. Every piece file is deleted afterwards, also one that could not be
// copied: the download then fails its length check and fetches the file again in one stream, so
// a left piece would only take space.
double JoinPieces(const std::string& localPath);

// Deletes whatever piece files of this destination exist.
void DeletePieces(const std::string& localPath);

}  // namespace http_pieces

// Fuzz target for the state file beside a download's pieces, which anyone who can write the
// download folder can plant or tear: any text is either refused or read as a state whose pieces
// cover the file exactly once and hold no more than their spans, and a state that is read is
// written back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/download_pieces.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    http_pieces::PieceState state;
    if (!http_pieces::ParsePieceState(text, state))
        return 0;
    uint64_t covered = 0;
    for (const http_pieces::PieceSpan& piece : state.pieces) {
        if (piece.index < 0 || piece.index >= http_pieces::kMaxPieces || piece.held > piece.length)
            std::abort();
        covered += piece.length;
    }
    if (covered != state.size)
        std::abort();
    http_pieces::PieceState again;
    if (!http_pieces::ParsePieceState(http_pieces::FormatPieceState(state), again) ||
        again.url != state.url || again.size != state.size || again.validator != state.validator ||
        again.pieces.size() != state.pieces.size())
        std::abort();
    return 0;
}

// The rules of the pieces: their layout, the takes and splits, and what they hold.
#include "http/piece_board.h"

#include <algorithm>

namespace {

// A try younger than this has no pace worth a split yet: its connection and first bytes would
// make it look slower than it is.
constexpr uint32_t kPaceWindowMs = 300;

}  // namespace

void PieceBoard::LayFresh(uint64_t size) {
    Lay(http_pieces::FirstPieces(size), false);
}

uint64_t PieceBoard::LayResumed(const http_pieces::PieceState& saved) {
    Lay(saved.pieces, true);
    std::lock_guard<std::mutex> lock(lock_);
    validator_ = saved.validator;
    validatorKnown_ = true;
    stateKept_ = true;
    return storedTotal_.load();
}

void PieceBoard::Lay(const std::vector<http_pieces::PieceSpan>& spans, bool resumed) {
    std::lock_guard<std::mutex> lock(lock_);
    uint64_t held = 0;
    for (const http_pieces::PieceSpan& span : spans) {
        PieceSlot& slot = pieces_[span.index];
        slot.used = true;
        slot.start = span.start;
        slot.length.store(span.length);
        slot.firstRange = !resumed;
        uint64_t have = resumed ? span.held : 0;
        // An empty piece (of a file shorter than five bytes) has nothing to fetch.
        slot.done = span.length == 0 || have == span.length;
        slot.received.store(have);
        slot.stored.store(have);
        held += have;
        nextPiece_ = std::max(nextPiece_, span.index + 1);
    }
    storedTotal_.store(held);
}

void PieceBoard::ForgetHeld() {
    std::lock_guard<std::mutex> lock(lock_);
    stateKept_ = false;
    storedTotal_.store(0);
    for (PieceSlot& slot : pieces_) {
        slot.received.store(0);
        slot.stored.store(0);
        slot.done = slot.used && slot.length.load() == 0;
    }
}

int PieceBoard::TakeOwn(int worker) {
    std::lock_guard<std::mutex> lock(lock_);
    PieceSlot& own = pieces_[worker];
    if (!own.used || own.taken || own.done)
        return -1;
    own.taken = true;
    return worker;
}

int PieceBoard::LargestRest() const {
    // A piece that is stalled or between its tries is fetched meanwhile too, so it may be split.
    int largest = -1;
    uint64_t largestRest = 0;
    for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
        const PieceSlot& slot = pieces_[i];
        if (!slot.used || !slot.taken || slot.done)
            continue;
        uint64_t length = slot.length.load();
        uint64_t rest = length - std::min<uint64_t>(slot.received.load(), length);
        if (rest > largestRest) {
            largest = i;
            largestRest = rest;
        }
    }
    return largest;
}

uint64_t PieceBoard::PaceOf(int index, uint32_t nowMs, uint32_t atLeastMs) const {
    const PieceSlot& slot = pieces_[index];
    uint32_t elapsed = nowMs - slot.tryStartMs;
    if (!slot.timed || elapsed < atLeastMs || elapsed == 0)
        return 0;
    uint64_t received = slot.received.load();
    uint64_t bytes = received > slot.tryStartReceived ? received - slot.tryStartReceived : 0;
    return std::max<uint64_t>(1, bytes * 1000 / elapsed);
}

int PieceBoard::TakeNext(bool stop, PieceSplit& split, uint32_t nowMs, uint64_t helperPace) {
    std::lock_guard<std::mutex> lock(lock_);
    if (pieceFailed_ || stop)
        return -1;
    for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
        PieceSlot& slot = pieces_[i];
        if (slot.used && !slot.taken && !slot.done) {
            slot.taken = true;
            return i;
        }
    }
    int largest = LargestRest();
    if (largest < 0 || nextPiece_ >= http_pieces::kMaxPieces)
        return -1;
    http_pieces::SplitPace pace;
    if (helperPace > 0) {
        pace.piece = PaceOf(largest, nowMs, kPaceWindowMs);
        // The others still fetching will help with the rest when they are free.
        pace.helper = helperPace;
        for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
            const PieceSlot& slot = pieces_[i];
            if (i != largest && slot.used && slot.taken && !slot.done)
                pace.others += PaceOf(i, nowMs, kPaceWindowMs);
        }
    }
    uint64_t keptLength = 0, helperLength = 0;
    if (!http_pieces::SplitPoint(pieces_[largest].length.load(), pieces_[largest].received.load(),
                                 pace, keptLength, helperLength))
        return -1;
    PieceSlot& slow = pieces_[largest];
    int index = nextPiece_++;
    PieceSlot& helper = pieces_[index];
    helper.used = true;
    helper.taken = true;
    helper.start = slow.start + keptLength;
    helper.length.store(helperLength);
    helper.received.store(0);
    helper.stored.store(0);
    // The slow piece's transfer takes its bytes under this lock, and the split point lies past
    // what it took: it ends where its span now ends, and the two never write the same byte.
    slow.length.store(keptLength, std::memory_order_release);
    split = PieceSplit{largest, index, helper.start};
    return index;
}

uint64_t PieceBoard::TakeBytes(int index, uint64_t bytes) {
    PieceSlot& slot = pieces_[index];
    std::lock_guard<std::mutex> lock(lock_);
    uint64_t length = slot.length.load(std::memory_order_relaxed);
    uint64_t taken = slot.received.load(std::memory_order_relaxed);
    uint64_t keep = taken >= length ? 0 : std::min<uint64_t>(bytes, length - taken);
    slot.received.store(taken + keep, std::memory_order_relaxed);
    return keep;
}

uint64_t PieceBoard::StartTry(int index, uint32_t nowMs) {
    PieceSlot& slot = pieces_[index];
    std::lock_guard<std::mutex> lock(lock_);
    uint64_t have = slot.stored.load();
    slot.received.store(have);
    slot.timed = true;
    slot.tryStartMs = nowMs;
    slot.tryStartReceived = have;
    return have;
}

void PieceBoard::AddStored(int index, uint64_t bytes) {
    PieceSlot& slot = pieces_[index];
    slot.stored.store(slot.stored.load() + bytes);
    storedTotal_.fetch_add(bytes);
}

void PieceBoard::DropStored(int index) {
    PieceSlot& slot = pieces_[index];
    std::lock_guard<std::mutex> lock(lock_);
    slot.stored.store(0);
    slot.received.store(0);
}

uint64_t PieceBoard::EndPiece(int index, bool whole, uint32_t nowMs) {
    std::lock_guard<std::mutex> lock(lock_);
    pieces_[index].done = whole;
    pieceFailed_ = pieceFailed_ || !whole;
    return PaceOf(index, nowMs, 1);
}

bool PieceBoard::NoteValidator(const std::string& validator) {
    std::lock_guard<std::mutex> lock(lock_);
    if (validatorKnown_)
        return validator == validator_;
    validatorKnown_ = true;
    validator_ = validator;
    return true;
}

bool PieceBoard::StateKept() const {
    std::lock_guard<std::mutex> lock(lock_);
    return stateKept_;
}

void PieceBoard::NoteStateKept(bool kept) {
    std::lock_guard<std::mutex> lock(lock_);
    stateKept_ = stateKept_ || kept;
}

bool PieceBoard::KeepStateIf(bool allowed) {
    std::lock_guard<std::mutex> lock(lock_);
    stateKept_ = stateKept_ && allowed;
    return stateKept_;
}

uint64_t PieceBoard::ReceivedTotal() const {
    uint64_t received = 0;
    for (const PieceSlot& slot : pieces_) {
        uint64_t length = slot.length.load(std::memory_order_relaxed);
        received += std::min<uint64_t>(slot.received.load(std::memory_order_relaxed), length);
    }
    return received;
}

PiecesHeld PieceBoard::Held() const {
    std::lock_guard<std::mutex> lock(lock_);
    PiecesHeld held;
    for (const PieceSlot& slot : pieces_) {
        if (!slot.used)
            continue;
        held.whole = held.whole && slot.done;
        held.bytes += std::min<uint64_t>(slot.stored.load(), slot.length.load());
    }
    return held;
}

bool PieceBoard::Snapshot(std::string& validator,
                          std::vector<http_pieces::PieceSpan>& spans) const {
    std::lock_guard<std::mutex> lock(lock_);
    if (validator_.empty())
        return false;
    validator = validator_;
    spans.clear();
    for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
        const PieceSlot& slot = pieces_[i];
        if (!slot.used)
            continue;
        uint64_t length = slot.length.load();
        spans.push_back(http_pieces::PieceSpan{i, slot.start, length,
                                               std::min<uint64_t>(slot.stored.load(), length)});
    }
    return true;
}

void PieceBoard::Reset() {
    std::lock_guard<std::mutex> lock(lock_);
    for (PieceSlot& slot : pieces_) {
        slot.used = false;
        slot.start = 0;
        slot.length.store(0);
        slot.received.store(0);
        slot.stored.store(0);
        slot.taken = false;
        slot.done = false;
        slot.firstRange = false;
        slot.timed = false;
    }
    nextPiece_ = 0;
    validator_.clear();
    validatorKnown_ = false;
    stateKept_ = false;
    pieceFailed_ = false;
}

// One piece's tries and the rule of its answers, and the worker of a piece thread.
#include "http/piece_fetcher.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/log.h"
#include "http/curl_api.h"
#include "http/download_pieces.h"
#include "http/stall_watch.h"
#include "http/transfer.h"
#include "platform/clock.h"

namespace {

constexpr size_t kPieceBufferBytes = 256 * 1024;

}  // namespace

PieceFetcher::PieceFetcher(PieceBoard& board, platform::PositionedFile& partial, PieceFacts facts,
                           PieceVerdicts& verdicts, PieceHost& host, const IHttpTaskCallback* tasks)
    : board_(board),
      partial_(partial),
      facts_(std::move(facts)),
      verdicts_(verdicts),
      host_(host),
      tasks_(tasks) {}

bool PieceFetcher::Stopping() const {
    return http_transfer::IsStopping(tasks_);
}

void PieceFetcher::RunWorker(int worker) {
    int index = board_.TakeOwn(worker);
    uint64_t pace = 0;
    if (index < 0)
        index = TakeNextPiece(pace);
    while (index >= 0) {
        bool whole = FetchPiece(index);
        pace = board_.EndPiece(index, whole, platform::GetTickCount32());
        if (!whole)
            return;
        index = TakeNextPiece(pace);
    }
}

int PieceFetcher::TakeNextPiece(uint64_t pace) {
    PieceSplit split;
    int index = board_.TakeNext(verdicts_.Abandoned() || Stopping(), split,
                                platform::GetTickCount32(), pace);
    if (split.to >= 0)
        LogPrint(GetLogUtility(), L"split piece %d at %llu for piece %d", split.from,
                 static_cast<unsigned long long>(split.at), split.to);
    return index;
}

bool PieceFetcher::FetchPiece(int index) {
    for (int attempt = 1; attempt <= 2; ++attempt) {
        if (Stopping() || verdicts_.Abandoned())
            return false;
        if (TryPiece(index, attempt))
            return true;
        if (!Stopping() && !verdicts_.Abandoned() && attempt < 2)
            platform::SleepMilliseconds(kRetryPauseMs);
    }
    PieceSlot& slot = board_.Slot(index);
    return !verdicts_.Abandoned() && slot.stored.load() >= slot.length.load();
}

void PieceFetcher::AimPieceTry(PieceTry& pieceTry, uint64_t have) {
    PieceSlot& slot = board_.Slot(pieceTry.index);
    uint64_t length = slot.length.load();
    if (slot.firstRange) {
        pieceTry.range = http_pieces::PieceRange(facts_.size, pieceTry.index);
        pieceTry.limit = http_pieces::PieceLength(facts_.size, pieceTry.index);
        pieceTry.firstByte = slot.start;
        pieceTry.lastByte = http_pieces::PieceRangeEnd(facts_.size, pieceTry.index);
    } else {
        pieceTry.firstByte = slot.start + have;
        pieceTry.lastByte = slot.start + length - 1ull;
        pieceTry.range =
            std::to_string(pieceTry.firstByte) + "-" + std::to_string(pieceTry.lastByte);
        pieceTry.limit = length - have;
    }
    slot.firstRange = false;
    http_transfer::StartStallWatch(slot.stallWatch);
}

bool PieceFetcher::TryPiece(int index, int attempt) {
    PieceSlot& slot = board_.Slot(index);
    // Each try continues where the piece's bytes end.
    uint64_t have = board_.StartTry(index, platform::GetTickCount32());
    if (!slot.firstRange && slot.length.load() > 0 && have >= slot.length.load())
        return true;
    PieceTry pieceTry;
    pieceTry.fetcher = this;
    pieceTry.index = index;
    pieceTry.buffer.resize(kPieceBufferBytes);
    AimPieceTry(pieceTry, have);

    http_transfer::TransferOptions options;
    options.followRedirects = true;
    options.write = &WritePieceData;
    options.writeData = static_cast<void*>(&pieceTry);
    options.progress = &PieceProgressProc;
    options.progressData = static_cast<void*>(&pieceTry);
    options.headers = &pieceTry.headers;
    options.range = pieceTry.range;
    options.receiveBufferBytes = http_transfer::kLargeReceiveBufferBytes;
    http_transfer::Transfer transfer;
    CURLcode code = transfer.Run(facts_.url, options);
    // An answer without a body never reached the writer: it is judged here, so that a 200 or
    // another validator still ends the pieces.
    if (!pieceTry.headersSeen && pieceTry.headers.status != 0)
        AcceptPieceAnswer(pieceTry);
    if (!FlushPiece(pieceTry))
        pieceTry.writeFailed = true;
    // An answer longer than the range is not this range: none of its bytes counts as the
    // piece's, and the next try fetches the piece from its start.
    if (pieceTry.overrun)
        board_.DropStored(index);
    uint64_t stored = slot.stored.load();
    LogPrint(GetLogUtility(), L"thread %d download %d try perform, CURLcode:%d, filesize:%lld",
             index, attempt, static_cast<int>(code), static_cast<long long>(stored));
    if (code == CURLE_OK)
        LogPrint(GetLogUtility(), L"thread %d download %d try perform success, HttpCode=%lu", index,
                 attempt, transfer.ResponseCode());
    uint64_t length = slot.length.load();
    // Whole after an accepted answer, or after a transfer that failed past the span's last byte
    // or ended there after a split.
    return stored >= length && length > 0 && !pieceTry.writeFailed &&
           (pieceTry.accepted || code != CURLE_OK);
}

bool PieceFetcher::FlushPiece(PieceTry& pieceTry) {
    if (pieceTry.buffered == 0)
        return true;
    PieceSlot& slot = board_.Slot(pieceTry.index);
    uint64_t stored = slot.stored.load();
    if (!partial_.WriteAt(slot.start + stored, pieceTry.buffer.data(), pieceTry.buffered))
        return false;
    board_.AddStored(pieceTry.index, pieceTry.buffered);
    pieceTry.buffered = 0;
    host_.PieceStored();
    return true;
}

size_t PieceFetcher::WritePieceData(char* data, size_t size, size_t count, void* pieceTry) {
    auto* current = static_cast<PieceTry*>(pieceTry);
    if (current == nullptr || data == nullptr)
        return 0;
    PieceFetcher* fetcher = current->fetcher;
    // The first data of an answer: its headers are all there, and decide whether any of its
    // bytes reach the file. A refused answer fails the try before its first byte is written.
    if (!current->headersSeen) {
        current->headersSeen = true;
        current->accepted = fetcher->AcceptPieceAnswer(*current);
    }
    if (!current->accepted || fetcher->Stopping())
        return 0;
    uint64_t bytes = static_cast<uint64_t>(size) * count;
    // A server that sends without end can neither fill the disk nor hold the piece.
    if (bytes > current->limit - current->delivered) {
        if (!current->overrun)
            LogPrint(GetLogUtility(), L"WriteData: more than the %llu bytes asked for, try cut off",
                     static_cast<unsigned long long>(current->limit));
        current->overrun = true;
        return 0;
    }
    current->delivered += bytes;
    // A span moved back by a split: keep what it still holds and end the transfer there.
    uint64_t keep = fetcher->board_.TakeBytes(current->index, bytes);
    const char* from = data;
    for (uint64_t left = keep; left > 0;) {
        size_t space = current->buffer.size() - current->buffered;
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, space));
        std::copy(from, from + chunk, current->buffer.data() + current->buffered);
        current->buffered += chunk;
        from += chunk;
        left -= chunk;
        if (current->buffered == current->buffer.size() && !fetcher->FlushPiece(*current)) {
            current->writeFailed = true;
            return 0;
        }
    }
    if (keep < bytes)
        return 0;  // the span's end is reached
    return size == 0 ? 0 : count;
}

bool PieceFetcher::AcceptPieceAnswer(const PieceTry& pieceTry) {
    const http_transfer::ValidatorHeaders& headers = pieceTry.headers;
    int index = pieceTry.index;
    if (headers.status == 200) {
        if (!verdicts_.rangesRefused.exchange(true))
            LogPrint(GetLogUtility(), L"thread %d: the server sent the whole file for a range",
                     index);
        return false;
    }
    if (headers.status != 206) {
        LogPrint(GetLogUtility(), L"thread %d: answer refused, HttpCode=%ld", index,
                 headers.status);
        return false;
    }
    if (headers.rangeTotal > 0 && static_cast<uint64_t>(headers.rangeTotal) != facts_.size) {
        // The length the server announces governs: these pieces end, and the download starts
        // again at that length (the package's digest judges the content).
        int64_t none = 0;
        if (verdicts_.announcedSize.compare_exchange_strong(none, headers.rangeTotal))
            LogPrint(GetLogUtility(), L"thread %d: the server's file has %lld bytes, not %.0f",
                     index, static_cast<long long>(headers.rangeTotal),
                     static_cast<double>(facts_.size));
        return false;
    }
    if (headers.rangeTotal == 0) {
        verdicts_.rangesRefused.store(true);
        return false;
    }
    // The end asked for may lie past the file's last byte; the server then ends at that byte.
    uint64_t last = std::min<uint64_t>(pieceTry.lastByte, facts_.size - 1);
    if (headers.rangeTotal < 0 || headers.rangeFirst != static_cast<int64_t>(pieceTry.firstByte) ||
        headers.rangeLast != static_cast<int64_t>(last)) {
        LogPrint(GetLogUtility(), L"thread %d: the server sent bytes %lld-%lld, not %llu-%llu",
                 index, static_cast<long long>(headers.rangeFirst),
                 static_cast<long long>(headers.rangeLast),
                 static_cast<unsigned long long>(pieceTry.firstByte),
                 static_cast<unsigned long long>(last));
        return false;
    }
    if (!board_.NoteValidator(http_transfer::ValidatorOf(headers)))
        return AcceptOtherValidator();
    return true;
}

bool PieceFetcher::AcceptOtherValidator() {
    // Origins behind one name may give the same bytes other validators. With the file's digest
    // to judge the assembled file, the pieces go on; without it, or against the validator of
    // resumed pieces, another validator says that the file changed.
    if (facts_.hasDigest && !verdicts_.resumedPieces.load()) {
        if (!verdicts_.digestJudges.exchange(true))
            LogPrint(GetLogUtility(),
                     L"Download file: the server's validators differ, the digest decides");
        return true;
    }
    if (!verdicts_.fileChanged.exchange(true))
        LogPrint(GetLogUtility(), L"Download file: the file changed, pieces discarded");
    return false;
}

int PieceFetcher::PieceProgressProc(void* data, double, double nowDown, double, double) {
    auto* current = static_cast<PieceTry*>(data);
    if (current == nullptr || current->fetcher == nullptr)
        return 1;
    PieceFetcher* fetcher = current->fetcher;
    if (fetcher->Stopping() || fetcher->verdicts_.Abandoned())
        return 1;
    PieceSlot& slot = fetcher->board_.Slot(current->index);
    if (http_transfer::StallWatchdogExpired(slot.stallWatch, nowDown))
        return 1;
    fetcher->host_.PieceProgress();
    return 0;
}

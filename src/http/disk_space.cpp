// The ledger of reserved disk space and the reservations held against it.
#include "http/disk_space.h"

#include "common/text.h"
#include "platform/file.h"
#include "platform/path.h"

namespace http_disk {

bool DiskSpace::FreeBytesFor(const std::string& localPath, uint64_t& free) const {
    int64_t forced = freeForTesting_.load();
    if (forced >= 0) {
        free = static_cast<uint64_t>(forced);
        return true;
    }
    std::wstring folder = ToWidePath(localPath);
    size_t separator = folder.find_last_of(platform::kPathSeparator);
    folder = separator == std::wstring::npos ? L"." : folder.substr(0, separator + 1);
    return platform::GetFreeDiskBytes(folder, free);
}

uint64_t DiskSpace::Reserved() const {
    std::lock_guard<std::mutex> lock(lock_);
    return reserved_;
}

bool DiskReservation::Reserve(uint64_t needed, uint64_t& free) {
    std::lock_guard<std::mutex> lock(space_.lock_);
    uint64_t others = space_.reserved_ - bytes_;
    free = free > others ? free - others : 0;
    if (needed > free)
        return false;
    space_.reserved_ = others + needed;
    bytes_ = needed;
    return true;
}

void DiskReservation::ShrinkTo(uint64_t rest) {
    std::lock_guard<std::mutex> lock(space_.lock_);
    if (rest >= bytes_)
        return;
    space_.reserved_ -= bytes_ - rest;
    bytes_ = rest;
}

void DiskReservation::Release() {
    // A reservation that holds nothing never touches the ledger: a command that never ran may be
    // destroyed after its engine.
    if (bytes_ == 0)
        return;
    std::lock_guard<std::mutex> lock(space_.lock_);
    space_.reserved_ -= bytes_;
    bytes_ = 0;
}

uint64_t DiskReservation::Bytes() const {
    std::lock_guard<std::mutex> lock(space_.lock_);
    return bytes_;
}

}  // namespace http_disk

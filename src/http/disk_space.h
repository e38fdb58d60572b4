// The disk space of downloads: the ledger of what running downloads have reserved on the volume
// of their files, and the reservation one download holds against it until it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace http_disk {

// The disk space the running downloads of one engine have reserved. The download folder is one,
// so every download counts against the same free space.
class DiskSpace {
  public:
    DiskSpace() = default;
    DiskSpace(const DiskSpace&) = delete;
    DiskSpace& operator=(const DiskSpace&) = delete;

    // The free bytes of the volume that holds `localPath` (the override, where one is set);
    // false when the volume cannot be asked.
    bool FreeBytesFor(const std::string& localPath, uint64_t& free) const;

    // Makes every later look at the volume see this many free bytes; a negative number returns
    // to the volume's own figure.
    void SetFreeBytesForTesting(int64_t bytes) { freeForTesting_.store(bytes); }

    // What all reservations hold now.
    uint64_t Reserved() const;

  private:
    friend class DiskReservation;

    mutable std::mutex lock_;
    uint64_t reserved_ = 0;
    std::atomic<int64_t> freeForTesting_{-1};
};

// The disk space one download holds in a ledger; what it still holds goes back when it is
// released or destroyed.
class DiskReservation {
  public:
    explicit DiskReservation(DiskSpace& space) : space_(space) {}
    ~DiskReservation() { Release(); }
    DiskReservation(const DiskReservation&) = delete;
    DiskReservation& operator=(const DiskReservation&) = delete;

    // Reserves `needed` bytes in place of what it held before: true when they fit in the
    // volume's `free` bytes beside what the other reservations hold. `free` then receives what
    // there was for this one.
    bool Reserve(uint64_t needed, uint64_t& free);

    // Lowers the reservation to `rest` bytes; a larger `rest` changes nothing.
    void ShrinkTo(uint64_t rest);

    // Gives back all it holds; called once no other thread uses the reservation.
    void Release();

    uint64_t Bytes() const;

  private:
    DiskSpace& space_;
    uint64_t bytes_ = 0;  // under the ledger's lock
};

// What a download of `size` bytes still has to write where the volume already shows `taken` of
// it (the allocated partial file, or what was written of a sparse one): what it has written is
// never counted again.
inline uint64_t RestToWrite(uint64_t size, uint64_t taken) {
    return taken >= size ? 0 : size - taken;
}

}  // namespace http_disk

// The download slots: at most a few downloads transfer at once, the others wait. A run may name
// many packages; started all at once they would need thousands of threads and connections, more
// than a 32-bit process or a descriptor limit allows, and would be unfair to the servers.
#pragma once

#include "http/http_object.h"

namespace http_slots {

// The downloads that transfer at once: each uses up to five connections.
inline constexpr int kMaxRunningDownloads = 4;

// A download's slot, held from construction until destruction. The constructor waits until
// fewer than kMaxRunningDownloads hold one, or until the engine stops; Held() tells which.
class DownloadSlot {
  public:
    explicit DownloadSlot(const IHttpTaskCallback* tasks);
    ~DownloadSlot();
    DownloadSlot(const DownloadSlot&) = delete;
    DownloadSlot& operator=(const DownloadSlot&) = delete;

    bool Held() const { return held_; }

  private:
    bool held_ = false;
};

}  // namespace http_slots

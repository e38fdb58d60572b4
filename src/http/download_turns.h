// The turns of downloads: at most a few transfer at once, the others wait. A run may name many
// packages; started all at once they would need thousands of threads and connections, more than
// a 32-bit process or a descriptor limit allows, and would be unfair to the servers.
#pragma once

#include "http/http_object.h"

namespace http_turns {

// The downloads that transfer at once: each uses up to five connections.
inline constexpr int kMaxRunningDownloads = 4;

// A download's turn, held from construction until destruction. The constructor waits until
// fewer than kMaxRunningDownloads hold one, or until the engine stops; Held() tells which.
class DownloadTurn {
  public:
    explicit DownloadTurn(const IHttpTaskCallback* tasks);
    ~DownloadTurn();
    DownloadTurn(const DownloadTurn&) = delete;
    DownloadTurn& operator=(const DownloadTurn&) = delete;

    bool Held() const { return held_; }

  private:
    bool held_ = false;
};

}  // namespace http_turns

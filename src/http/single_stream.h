// The single stream that fetches the whole file when the segmented download cannot, and the HEAD
// probes that find the file's length and its validator; each watched for stalls.
#pragma once

#include <cstdint>
#include <string>

#include "http/http_object.h"
#include "http/stall_watch.h"

// What the stream asks of the download it serves.
class StreamHost {
  public:
    // The stream has this fraction of the file.
    virtual void StreamProgress(double fraction) = 0;
    // Whether the file at `path` has the digest the caller gave.
    virtual bool HasExpectedDigest(const std::string& path) const = 0;

  protected:
    ~StreamHost() = default;
};

// The stream and the probes of one URL; `tasks` tells when the engine stops.
class SingleStream {
  public:
    SingleStream(StreamHost& host, const IHttpTaskCallback* tasks, std::string url);
    SingleStream(const SingleStream&) = delete;
    SingleStream& operator=(const SingleStream&) = delete;

    // Asks the server for the file's length with a HEAD request, following redirects: the
    // length of the final answer, 0 when it gave none. `finalUrl` then receives the URL that
    // gave it, where that is known.
    uint64_t ProbeSize(std::string& finalUrl);
    // The server's validator of the file (after redirects), with a HEAD request; empty when
    // there is none or the request fails.
    std::string ProbeValidator();

    // The whole file into `target` in up to two tries; true when it holds the whole file. `size`
    // is the length the caller expects or the probe found (0 when unknown); where the server's
    // answers disagreed (`digestJudges`), the file must also have the caller's digest.
    bool Fetch(uint64_t size, bool digestJudges, const std::string& target);

  private:
    // One try of the stream into `target`; true when it holds the whole file.
    bool TryStream(int attempt, const std::string& target);
    // Whether a try's file, transferred without a failure, is the file.
    bool Judge(int attempt, const std::string& target, long httpCode, int64_t announced,
               int64_t fileSize, bool closed);
    static int StreamProgressProc(void* data, double totalDown, double nowDown, double, double);
    // The probes' progress function: only the shutdown and the stall watchdog.
    static int WatchProgress(void* data, double, double nowDown, double, double);

    StreamHost& host_;
    const IHttpTaskCallback* tasks_;
    std::string url_;
    http_transfer::StallWatch watch_;
    uint64_t size_ = 0;
    bool digestJudges_ = false;
};

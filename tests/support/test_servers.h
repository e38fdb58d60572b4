// The test servers: where the fixture started them, the URLs and files they serve, what the fault
// server recorded, and an owner that records what the transfer engine reports.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/program_folder.h"
#include "common/text.h"
#include "http/http_engine.h"
#include "http/http_result.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/path.h"
#include "support/scratch.h"

namespace http_test {

// The servers written down by tools/test_servers.py; the path of its file comes in
// PALLATON_TEST_SERVERS.
struct Servers {
    int nginxPort = 0;
    int faultPort = 0;
    int blackholePort = 0;
    // nginx's https servers: a good certificate of tlsRoot (127.0.0.1 as an IP address only),
    // one of another root with the same names, an expired one of tlsRoot, one of tlsRoot for
    // another host name, and one of tlsRoot for the address 127.0.0.2 that names 127.0.0.1 only
    // as a DNS name.
    int httpsPort = 0;
    int httpsOtherRootPort = 0;
    int httpsExpiredPort = 0;
    int httpsWrongHostPort = 0;
    int httpsOtherIpPort = 0;
    // nghttpd: HTTP/2 only (no HTTP/1.1, no ranges), with the good certificate of tlsRoot.
    int h2Port = 0;
    // The PEM of the root that signed the certificates of httpsPort, httpsExpiredPort,
    // httpsWrongHostPort and httpsOtherIpPort, as a narrow path the program can open.
    std::string tlsRoot;
    // The forward proxy, which alone resolves pallaton.test and pkg.pallaton.test (to
    // 127.0.0.1), a port of it that asks for Basic credentials (pallaton, secret), and its access
    // log as a narrow path the program can open.
    int proxyPort = 0;
    int authProxyPort = 0;
    std::string proxyLog;
};

// The value of a "key=value" line, without its line end; false for a line of another key.
inline bool ServerPathValue(const std::string& line, const std::string& key, std::string& value) {
    if (line.compare(0, key.size() + 1, key + "=") != 0)
        return false;
    value = line.substr(key.size() + 1);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
#ifdef _WIN32
    // Wine shows the host's file system as drive Z:.
    if (!value.empty() && value[0] == '/')
        value = "Z:" + value;
#endif
    return true;
}

inline const Servers& GetServers() {
    static Servers servers = [] {
        Servers found;
        const char* file = std::getenv("PALLATON_TEST_SERVERS");
        std::FILE* in = file == nullptr ? nullptr : std::fopen(file, "r");
        if (in == nullptr) {
            ADD_FAILURE() << "No test servers: run through ctest, whose fixture starts them, or "
                             "start tools/test_servers.py and set PALLATON_TEST_SERVERS to its "
                             "servers.txt";
            return found;
        }
        char line[4096];
        while (std::fgets(line, sizeof(line), in) != nullptr) {
            std::sscanf(line, "nginx_port=%d", &found.nginxPort);
            std::sscanf(line, "fault_port=%d", &found.faultPort);
            std::sscanf(line, "blackhole_port=%d", &found.blackholePort);
            std::sscanf(line, "https_port=%d", &found.httpsPort);
            std::sscanf(line, "https_other_root_port=%d", &found.httpsOtherRootPort);
            std::sscanf(line, "https_expired_port=%d", &found.httpsExpiredPort);
            std::sscanf(line, "https_wrong_host_port=%d", &found.httpsWrongHostPort);
            std::sscanf(line, "https_other_ip_port=%d", &found.httpsOtherIpPort);
            std::sscanf(line, "h2_port=%d", &found.h2Port);
            std::sscanf(line, "proxy_port=%d", &found.proxyPort);
            std::sscanf(line, "auth_proxy_port=%d", &found.authProxyPort);
            ServerPathValue(line, "tls_root", found.tlsRoot);
            ServerPathValue(line, "proxy_log", found.proxyLog);
        }
        std::fclose(in);
        return found;
    }();
    return servers;
}

// A file served by nginx, e.g. "pattern.1000003".
inline std::string NginxUrl(const std::string& name) {
    return "http://127.0.0.1:" + std::to_string(GetServers().nginxPort) + "/" + name;
}

// A path on one of the https servers, e.g. HttpsUrl(GetServers().httpsPort, "pattern.3").
inline std::string HttpsUrl(int port, const std::string& name) {
    return "https://127.0.0.1:" + std::to_string(port) + "/" + name;
}

// An address on an https server that answers 302 with `target` as the location. The target goes
// into the query as it is (nginx does not decode it): it must hold no '&', '#' or blank.
inline std::string HttpsRedirectUrl(int port, const std::string& target) {
    return HttpsUrl(port, "redirect?to=" + target);
}

// A path with its query on the fault server, e.g. "/files/pattern.3?status=404".
inline std::string FaultUrl(const std::string& pathAndQuery) {
    return "http://127.0.0.1:" + std::to_string(GetServers().faultPort) + pathAndQuery;
}

inline std::string BlackholeUrl() {
    return "http://127.0.0.1:" + std::to_string(GetServers().blackholePort) + "/pattern.3";
}

// Every byte but letters and digits percent-encoded, as a URL inside a query value needs.
inline std::string QueryEscape(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
        }
    }
    return escaped;
}

// A gopher URL whose selector is a plain HTTP request to the fault server carrying `key`: a
// client that used it would make the fault server record a request under that key.
inline std::string GopherToFaultServer(const std::string& key) {
    return "gopher://127.0.0.1:" + std::to_string(GetServers().faultPort) +
           "/_GET%20/gen/1%3Fkey%3D" + key + "%20HTTP/1.0%0D%0A%0D%0A";
}

// An ftp URL on the fault server's port. The fault server never greets, so a client that used
// it would wait there until a time-out; a client that refuses the scheme fails at once.
inline std::string FtpToFaultServer() {
    return "ftp://127.0.0.1:" + std::to_string(GetServers().faultPort) + "/pattern.3";
}

// The file: URL of a local path.
inline std::string FileUrl(const std::string& path) {
    std::string url = "file://";
    if (path.empty() || path[0] != '/')
        url += '/';
    for (char c : path)
        url += c == '\\' ? '/' : c;
    return url;
}

// A key of its own for every use, so that the fault server's counts never mix between tests
// (natively each test runs in a process of its own, so the process id is part of it).
inline std::string UniqueKey() {
    static std::atomic<int> next{0};
    return std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
           std::to_string(next++);
}

inline size_t AppendText(char* data, size_t size, size_t count, void* text) {
    static_cast<std::string*>(text)->append(data, size * count);
    return size * count;
}

// The body of one of the fault server's own pages, such as "/_peak?key=K".
inline std::string FaultServerText(const std::string& pathAndQuery) {
    std::string text;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, FaultUrl(pathAndQuery).c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendText);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(&text));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    EXPECT_EQ(code, CURLE_OK) << "asking the fault server for " << pathAndQuery;
    return text;
}

// The requests of a key as the fault server recorded them: "METHOD RANGE" lines.
inline std::vector<std::string> RecordedRequests(const std::string& key) {
    std::string text = FaultServerText("/_requests?key=" + key);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// The content of the servers' pattern.N files.
inline std::string PatternBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i % 251) ^ ((i / 251) % 256));
    return bytes;
}

// The fault server's /gen/N text.
inline std::string GeneratedText(size_t size) {
    const std::string line = "0123456789abcdefghijklmnopqrstuvwxyz-ABCDEFGHIJKLMNOPQRSTUVWXYZ\n";
    std::string text;
    while (text.size() < size)
        text += line;
    return text.substr(0, size);
}

inline bool ReadWholeFile(const std::string& path, std::string& content) {
    std::FILE* file = platform::OpenStdioFile(path, "rb");
    if (file == nullptr)
        return false;
    content.clear();
    char block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof(block), file)) > 0)
        content.append(block, got);
    std::fclose(file);
    return true;
}

inline bool WriteWholeFile(const std::string& path, const std::string& content) {
    std::FILE* file = platform::OpenStdioFile(path, "wb");
    if (file == nullptr)
        return false;
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

inline bool FileExists(const std::string& path) {
    return platform::PathExists(ToWidePath(path));
}

// A file-system path in the narrow form of download paths. The wide form is not used on Linux,
// where the standard library converts it by the C locale, which knows only ASCII.
inline std::string NarrowName(const std::filesystem::path& path) {
#ifdef _WIN32
    return ToNarrowPath(path.wstring());
#else
    return path.string();
#endif
}
inline std::filesystem::path FileSystemPath(const std::string& narrowPath) {
#ifdef _WIN32
    return std::filesystem::path(ToWidePath(narrowPath));
#else
    return std::filesystem::path(narrowPath);
#endif
}

// An owner that records every result and progress call, in order.
class RecordingOwner : public CHttpEngine<RecordingOwner, RecordingOwner>,
                       public CHttpDelegate<IHttpRequestResult, IHttpDownloadResult> {
  public:
    struct Event {
        enum Kind { kRequest, kDownload, kProgress } kind;
        int taskId;
        int success;
        long httpCode;
        std::string text;  // the body, or the local path
        double fraction;
    };

    explicit RecordingOwner(bool withOwners = true) {
        if (withOwners) {
            requestOwner_ = this;
            downloadOwner_ = this;
        }
    }
    ~RecordingOwner() { Shutdown(); }

    void OnRequestResult(int taskId, int success, long httpCode, const char* body) override {
        Add(Event{Event::kRequest, taskId, success, httpCode, body == nullptr ? "" : body, 0});
    }
    void OnDownloadResult(int taskId, int success, const char* localPath) override {
        Add(Event{Event::kDownload, taskId, success, 0, localPath == nullptr ? "" : localPath, 0});
    }
    void OnDownloadProgress(int taskId, double fraction) override {
        Add(Event{Event::kProgress, taskId, 0, 0, "", fraction});
    }

    // Waits until `count` results (not progress) have arrived; false on time-out.
    bool WaitForResults(size_t count, std::chrono::seconds timeout = std::chrono::seconds(120)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return results_ >= count; });
    }

    std::vector<Event> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    // The single result event of a task; fails the test when there is not exactly one.
    Event ResultOf(int taskId) {
        Event found{Event::kProgress, 0, -1, -1, "", 0};
        int count = 0;
        for (const Event& event : Events()) {
            if (event.kind != Event::kProgress && event.taskId == taskId) {
                found = event;
                ++count;
            }
        }
        EXPECT_EQ(count, 1) << "results of task " << taskId;
        return found;
    }

    std::vector<double> ProgressOf(int taskId) {
        std::vector<double> fractions;
        for (const Event& event : Events()) {
            if (event.kind == Event::kProgress && event.taskId == taskId)
                fractions.push_back(event.fraction);
        }
        return fractions;
    }

    size_t TaskCount() { return taskManager_.GetTaskCount(); }

    // Lets a test hold a result function inside the owner, as a slow owner would.
    std::atomic<int> resultDelayMs{0};
    std::atomic<int> resultsEntered{0};

  private:
    void Add(Event event) {
        bool isResult = event.kind != Event::kProgress;
        if (isResult) {
            ++resultsEntered;
            if (resultDelayMs > 0)
                platform::SleepMilliseconds(static_cast<uint32_t>(resultDelayMs.load()));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
        if (isResult)
            ++results_;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    size_t results_ = 0;
};

// Seconds since `start`.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace http_test

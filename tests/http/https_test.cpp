// Transfers over https: the build's pinned roots trusted and no others, refusals of every kind
// of wrong certificate, a numeric host matched with the certificate's addresses, no way back to
// plain http, the system's roots on Linux, and a server that speaks HTTP/2 only.
#include <gtest/gtest.h>

#include <string>

#include "http/transfer.h"
#include "support/test_servers.h"

namespace {

using http_test::GetServers;
using http_test::HttpsUrl;
using http_test::RecordingOwner;

constexpr uint64_t kSampleSize = 1000003;

// Trusts the given roots (a PEM text; the system's for an empty one) for one test.
class TrustedRoots {
  public:
    explicit TrustedRoots(const std::string& pem) {
        http_transfer::SetTrustedRootsForTesting(&pem);
    }
    ~TrustedRoots() { http_transfer::SetTrustedRootsForTesting(nullptr); }
};

std::string TestRoot() {
    std::string pem;
    EXPECT_TRUE(http_test::ReadWholeFile(GetServers().tlsRoot, pem)) << GetServers().tlsRoot;
    return pem;
}

struct Result {
    int success = -1;
    std::string content;
    std::vector<std::string> leftovers;
};

Result DownloadFrom(const std::string& url, uint64_t expectedSize) {
    fixtures::ScratchFolder folder;
    RecordingOwner owner;
    int taskId = 0;
    EXPECT_EQ(owner.Download(url, folder.Path("package.exe"), &taskId, expectedSize), 1);
    EXPECT_TRUE(owner.WaitForResults(1));
    Result result;
    result.success = owner.ResultOf(taskId).success;
    http_test::ReadWholeFile(folder.Path("package.exe"), result.content);
    for (const std::string& name : folder.Names()) {
        if (name != "package.exe")
            result.leftovers.push_back(name);
    }
    return result;
}

int RequestFrom(const std::string& url) {
    RecordingOwner owner;
    int taskId = 0;
    EXPECT_EQ(owner.Request(url, &taskId), 1);
    EXPECT_TRUE(owner.WaitForResults(1));
    return owner.ResultOf(taskId).success;
}

TEST(Https, ThePinnedRootCarriesAWholeDownloadInPiecesAndARequest) {
    TrustedRoots roots(TestRoot());
    Result result = DownloadFrom(HttpsUrl(GetServers().httpsPort, "pattern.1000003"), kSampleSize);
    EXPECT_EQ(result.success, 1);
    EXPECT_TRUE(result.content == http_test::PatternBytes(kSampleSize));
    EXPECT_TRUE(result.leftovers.empty());
    EXPECT_EQ(RequestFrom(HttpsUrl(GetServers().httpsPort, "pattern.3")), 1);
}

TEST(Https, CertificatesOfAnotherRootExpiredOrForAnotherHostAreRefused) {
    TrustedRoots roots(TestRoot());
    for (int port : {GetServers().httpsOtherRootPort, GetServers().httpsExpiredPort,
                     GetServers().httpsWrongHostPort}) {
        SCOPED_TRACE("port " + std::to_string(port));
        Result result = DownloadFrom(HttpsUrl(port, "pattern.1000003"), kSampleSize);
        EXPECT_EQ(result.success, 0);
        EXPECT_TRUE(result.content.empty());
        EXPECT_TRUE(result.leftovers.empty());
        // Without an expected size the probe is refused too.
        EXPECT_EQ(DownloadFrom(HttpsUrl(port, "pattern.3"), 0).success, 0);
        EXPECT_EQ(RequestFrom(HttpsUrl(port, "pattern.3")), 0);
    }
}

TEST(Https, ARedirectToPlainHttpIsNotFollowed) {
    TrustedRoots roots(TestRoot());
    std::string key = http_test::UniqueKey();
    std::string plain = http_test::FaultUrl("/files/pattern.3?key=" + key);
    std::string url = http_test::HttpsRedirectUrl(GetServers().httpsPort, plain);
    Result result = DownloadFrom(url, 3);
    EXPECT_EQ(result.success, 0);
    EXPECT_TRUE(result.leftovers.empty());
    EXPECT_EQ(RequestFrom(url), 0);
    EXPECT_TRUE(http_test::RecordedRequests(key).empty());
}

// The good certificate names 127.0.0.1 only as an IP address; the other one names 127.0.0.2 as its
// address and "127.0.0.1" as a DNS name, which a numeric host must never be matched with.
TEST(IpAddressCertificates, AHostGivenAsAnAddressMatchesOnlyTheCertificatesAddresses) {
    TrustedRoots roots(TestRoot());
    EXPECT_EQ(RequestFrom(HttpsUrl(GetServers().httpsPort, "pattern.3")), 1);
    EXPECT_EQ(DownloadFrom(HttpsUrl(GetServers().httpsPort, "pattern.3"), 3).success, 1);
    Result refused =
        DownloadFrom(HttpsUrl(GetServers().httpsOtherIpPort, "pattern.1000003"), kSampleSize);
    EXPECT_EQ(refused.success, 0);
    EXPECT_TRUE(refused.content.empty());
    EXPECT_TRUE(refused.leftovers.empty());
    EXPECT_EQ(RequestFrom(HttpsUrl(GetServers().httpsOtherIpPort, "pattern.3")), 0);
}

// nghttpd answers only HTTP/2 (a client that cannot negotiate it gets no answer) and ignores
// ranges, so the download comes whole in one stream after the pieces' first answers.
TEST(Http2, AServerThatSpeaksOnlyHttp2CarriesADownloadAndARequest) {
    TrustedRoots roots(TestRoot());
    Result result = DownloadFrom(HttpsUrl(GetServers().h2Port, "pattern.1000003"), kSampleSize);
    EXPECT_EQ(result.success, 1);
    EXPECT_TRUE(result.content == http_test::PatternBytes(kSampleSize));
    EXPECT_TRUE(result.leftovers.empty());
    // Without an expected size: the size probe goes over HTTP/2 too.
    result = DownloadFrom(HttpsUrl(GetServers().h2Port, "pattern.4000000"), 0);
    EXPECT_EQ(result.success, 1);
    EXPECT_TRUE(result.content == http_test::PatternBytes(4000000));
    EXPECT_EQ(RequestFrom(HttpsUrl(GetServers().h2Port, "pattern.3")), 1);
}

#ifndef _WIN32
// The system's bundle does not hold the test root: without pinned roots, its server is refused.
TEST(Https, TheSystemsRootsDoNotKnowTheTestRoot) {
    TrustedRoots roots("");
    Result result = DownloadFrom(HttpsUrl(GetServers().httpsPort, "pattern.1000003"), kSampleSize);
    EXPECT_EQ(result.success, 0);
    EXPECT_TRUE(result.leftovers.empty());
}
#endif

}  // namespace

// The in-memory request against the local servers: what the owner receives for the answers a
// real update service can give.
#include <gtest/gtest.h>

#include <chrono>

#include "support/test_servers.h"

namespace {

using http_test::FaultUrl;
using http_test::RecordingOwner;

struct Answer {
    int success;
    long httpCode;
    std::string body;
    double seconds;
};

Answer Fetch(const std::string& url) {
    RecordingOwner owner;
    int taskId = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(owner.Request(url, &taskId), 1);
    EXPECT_TRUE(owner.WaitForResults(1));
    RecordingOwner::Event result = owner.ResultOf(taskId);
    return Answer{result.success, result.httpCode, result.text, http_test::SecondsSince(start)};
}

TEST(RequestCommand, ErrorStatusIsDeliveredWithItsPage) {
    Answer answer = Fetch(FaultUrl("/gen/100?status=404"));
    EXPECT_EQ(answer.success, 1);
    EXPECT_EQ(answer.httpCode, 404);
    EXPECT_NE(answer.body.find("<h1>404</h1>"), std::string::npos) << answer.body;
}

TEST(RequestCommand, RedirectIsFollowedToTheFinalAnswer) {
    Answer answer = Fetch(FaultUrl("/gen/50?redirect=/gen/70"));
    EXPECT_EQ(answer.success, 1);
    EXPECT_EQ(answer.httpCode, 200);
    EXPECT_EQ(answer.body, http_test::GeneratedText(70));
}

TEST(RequestCommand, AnswerInManyPiecesArrivesWhole) {
    Answer answer = Fetch(FaultUrl("/gen/3000?trickle=100:0.005"));
    EXPECT_EQ(answer.success, 1);
    EXPECT_EQ(answer.body, http_test::GeneratedText(3000));
}

TEST(RequestCommand, EmptyAnswerIsASuccessWithAnEmptyBody) {
    Answer answer = Fetch(FaultUrl("/gen/0"));
    EXPECT_EQ(answer.success, 1);
    EXPECT_EQ(answer.httpCode, 200);
    EXPECT_EQ(answer.body, "");
}

TEST(RequestCommand, AnswerLongerThanTheOldBufferIsKeptWhole) {
    Answer answer = Fetch(FaultUrl("/gen/100000"));
    EXPECT_EQ(answer.success, 1);
    EXPECT_TRUE(answer.body == http_test::GeneratedText(100000));
}

TEST(RequestCommand, AnswerBeyondTheCapFailsTheRequest) {
    Answer answer =
        Fetch(FaultUrl("/gen/" + std::to_string(http_transfer::kMaxRequestBodyBytes + 1)));
    EXPECT_EQ(answer.success, 0);
    EXPECT_EQ(answer.httpCode, 0);
    EXPECT_LE(answer.body.size(), http_transfer::kMaxRequestBodyBytes);
}

TEST(RequestCommand, ConnectionClosedMidAnswerFails) {
    Answer answer = Fetch(FaultUrl("/gen/5000?close_at=1000"));
    EXPECT_EQ(answer.success, 0);
    EXPECT_EQ(answer.httpCode, 0);
}

TEST(RequestCommand, UrlsOfOtherSchemesAreNotFetched) {
    fixtures::ScratchFolder folder;
    std::string secret = folder.Path("secret.txt");
    ASSERT_TRUE(http_test::WriteWholeFile(secret, "local secret"));
    std::string key = http_test::UniqueKey();
    for (const std::string& url : {http_test::FileUrl(secret), http_test::GopherToFaultServer(key),
                                   http_test::FtpToFaultServer()}) {
        for (const std::string& via :
             {url, FaultUrl("/gen/50?redirect=" + http_test::QueryEscape(url))}) {
            SCOPED_TRACE(via);
            Answer answer = Fetch(via);
            EXPECT_EQ(answer.success, 0);
            EXPECT_EQ(answer.httpCode, 0);
            EXPECT_EQ(answer.body.find("secret"), std::string::npos) << answer.body;
            EXPECT_LT(answer.seconds, 5.0);
        }
    }
    EXPECT_TRUE(http_test::RecordedRequests(key).empty());
}

TEST(RequestCommand, RedirectsAreFollowedUpToTheLimitAndALoopEnds) {
    long limit = http_transfer::kMaxRedirects;
    std::string within = http_test::UniqueKey();
    Answer last = Fetch(
        FaultUrl("/gen/70?redirect_loop=1&key=" + within + "&times=" + std::to_string(limit)));
    EXPECT_EQ(last.success, 1);
    EXPECT_EQ(last.body, http_test::GeneratedText(70));
    EXPECT_EQ(http_test::RecordedRequests(within).size(), static_cast<size_t>(limit + 1));

    std::string loop = http_test::UniqueKey();
    Answer looped = Fetch(FaultUrl("/gen/70?redirect_loop=1&key=" + loop));
    EXPECT_EQ(looped.success, 0);
    EXPECT_EQ(looped.httpCode, 0);
    EXPECT_EQ(http_test::RecordedRequests(loop).size(), static_cast<size_t>(limit + 1));
}

TEST(RequestCommandSlow, ServerThatNeverAcceptsFailsAfterTheConnectTimeout) {
    Answer answer = Fetch(http_test::BlackholeUrl());
    EXPECT_EQ(answer.success, 0);
    EXPECT_EQ(answer.httpCode, 0);
    EXPECT_GE(answer.seconds, 9.0);
    EXPECT_LT(answer.seconds, 14.0);
}

TEST(RequestCommandSlow, AnswerTricklingBeyondTwentySecondsFails) {
    // 300 bytes, 10 a second: 30 s in all.
    Answer answer = Fetch(FaultUrl("/gen/300?trickle=10:1"));
    EXPECT_EQ(answer.success, 0);
    EXPECT_EQ(answer.httpCode, 0);
    EXPECT_GE(answer.seconds, 19.0);
    EXPECT_LT(answer.seconds, 25.0);
    EXPECT_GT(answer.body.size(), 0u);
}

}  // namespace

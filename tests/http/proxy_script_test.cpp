// The system's part of a proxy decision: a script's answer taken apart, the order in which its
// entries are tried, and the deadline of the ask, with the system's settings and answers stood in.
#include "http/proxy_script.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "http/proxy_choice.h"
#include "support/test_servers.h"

namespace {

using http_proxy::ParseProxyAnswer;
using http_proxy::ProxyTries;
using Entries = std::vector<std::string>;

TEST(ProxyScriptAnswer, EntriesComeInOrderEachOnceWithTheDirectWayAsAnEmptyOne) {
    EXPECT_EQ(ParseProxyAnswer("PROXY a:1; PROXY b:2; DIRECT"), (Entries{"a:1", "b:2", ""}));
    // WinHTTP's list of a script's proxies, separated by ';' or blanks.
    EXPECT_EQ(ParseProxyAnswer("a:1;b:2 c:3"), (Entries{"a:1", "b:2", "c:3"}));
    EXPECT_EQ(ParseProxyAnswer("a:1; b:2 DIRECT"), (Entries{"a:1", "b:2", ""}));
    EXPECT_EQ(ParseProxyAnswer(" proxy a:1 ;;DIRECT; PROXY a:1; direct "), (Entries{"a:1", ""}));
    EXPECT_EQ(ParseProxyAnswer("SOCKS s:1; SOCKS5 t:2; HTTPS h:3; HTTP p:4"),
              (Entries{"socks4://s:1", "socks5://t:2", "https://h:3", "p:4"}));
    // Kinds libcurl cannot take are left out; nothing usable is the direct way.
    EXPECT_EQ(ParseProxyAnswer("QUIC q:1; PROXY a:1"), (Entries{"a:1"}));
    EXPECT_EQ(ParseProxyAnswer(""), (Entries{""}));
    EXPECT_EQ(ParseProxyAnswer("QUIC q:1"), (Entries{""}));
}

TEST(ProxyScriptAnswer, EachEntryIsTriedOnceInOrderUntilOneWorks) {
    ProxyTries tries({"a:1", "b:2", ""});
    EXPECT_EQ(tries.Current(), "a:1");
    EXPECT_FALSE(tries.Settled());
    EXPECT_TRUE(tries.Unreachable("a:1"));
    EXPECT_EQ(tries.Current(), "b:2");
    // A late report of an entry already left behind changes nothing.
    EXPECT_FALSE(tries.Unreachable("a:1"));
    EXPECT_FALSE(tries.Reached("a:1"));
    EXPECT_EQ(tries.Current(), "b:2");
    EXPECT_TRUE(tries.Reached("b:2"));
    EXPECT_TRUE(tries.Settled());
    // Once settled, the decision stays.
    EXPECT_FALSE(tries.Unreachable("b:2"));
    EXPECT_EQ(tries.Current(), "b:2");

    ProxyTries dead({"a:1", "b:2"});
    EXPECT_TRUE(dead.Unreachable("a:1"));
    EXPECT_FALSE(dead.Unreachable("b:2"));
    EXPECT_TRUE(dead.Settled());
    EXPECT_EQ(dead.Current(), "b:2");

    ProxyTries single({"a:1"});
    EXPECT_TRUE(single.Settled());
    ProxyTries none({});
    EXPECT_EQ(none.Current(), "");
}

// A stand-in for the system's answers: Answer gives every URL's answer, and the ask for a
// URL that contains `held` does not return until Release, as a script that loops.
class StandInSystem {
  public:
    StandInSystem(const std::wstring& namedProxy, std::string held) : held_(std::move(held)) {
        settings_.scriptUrl = L"http://127.0.0.1:9/proxy.pac";
        settings_.namedProxy = namedProxy;
        http_proxy::ForgetDecisionsForTesting();
        http_proxy::SetProxySystemForTesting(
            &settings_, [this](const platform::ProxySettings&, const std::wstring& url,
                               std::wstring& answer, unsigned long&) {
                std::string narrow(url.begin(), url.end());
                std::unique_lock<std::mutex> lock(lock_);
                asks_++;
                running_++;
                if (!held_.empty() && narrow.find(held_) != std::string::npos) {
                    heldAsks_++;
                    changed_.notify_all();
                    changed_.wait_for(lock, std::chrono::seconds(30), [this] { return released_; });
                }
                answer = std::wstring(answer_.begin(), answer_.end());
                running_--;
                changed_.notify_all();
                return true;
            });
    }
    ~StandInSystem() {
        Release();
        // An ask the decision gave up on still runs on its own thread: it must be done with
        // this object before it goes.
        {
            std::unique_lock<std::mutex> lock(lock_);
            changed_.wait_for(lock, std::chrono::seconds(10), [this] { return running_ == 0; });
        }
        http_proxy::SetProxySystemForTesting(nullptr, nullptr);
        http_proxy::SetScriptDeadlineForTesting(http_proxy::kScriptDeadline);
        http_proxy::ForgetDecisionsForTesting();
    }

    void Answer(const std::string& answer) {
        std::lock_guard<std::mutex> lock(lock_);
        answer_ = answer;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(lock_);
        released_ = true;
        changed_.notify_all();
    }
    bool WaitForHeldAsks(int count) {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [this, count] { return heldAsks_ >= count; });
    }
    int Asks() {
        std::lock_guard<std::mutex> lock(lock_);
        return asks_;
    }

  private:
    platform::ProxySettings settings_;
    std::string held_;
    std::string answer_;
    std::mutex lock_;
    std::condition_variable changed_;
    int asks_ = 0;
    int running_ = 0;
    int heldAsks_ = 0;
    bool released_ = false;
};

TEST(ProxyDecision, AScriptThatNeverAnswersGivesTheNamedProxyAtItsDeadlineAndIsNotAskedAgain) {
    StandInSystem system(L"named:8080", "cdn.example");
    system.Answer("script:1");
    http_proxy::SetScriptDeadlineForTesting(std::chrono::milliseconds(300));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_proxy::ChooseProxy("http://cdn.example/p.exe").proxy, "named:8080");
    EXPECT_LT(http_test::SecondsSince(start), 2.0);
    // The next host takes the settings at once: the script is not asked again in this run.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_proxy::ChooseProxy("http://other.example/p.exe").proxy, "named:8080");
    EXPECT_LT(http_test::SecondsSince(start), 0.2);
    EXPECT_EQ(system.Asks(), 1);
}

TEST(ProxyDecision, AScriptThatNeverAnswersWithoutANamedProxyMeansDirect) {
    StandInSystem system(L"", "cdn.example");
    system.Answer("script:1");
    http_proxy::SetScriptDeadlineForTesting(std::chrono::milliseconds(300));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_proxy::ChooseProxy("http://cdn.example/p.exe").proxy, "");
    EXPECT_LT(http_test::SecondsSince(start), 2.0);
}

TEST(ProxyDecision, OneHostsSlowScriptHoldsNeitherOtherHostsNorItsSecondAsker) {
    StandInSystem system(L"", "slow.example");
    system.Answer("s:1");
    auto first = std::async(std::launch::async,
                            [] { return http_proxy::ChooseProxy("http://slow.example/a").proxy; });
    ASSERT_TRUE(system.WaitForHeldAsks(1));
    auto second = std::async(std::launch::async,
                             [] { return http_proxy::ChooseProxy("http://slow.example/b").proxy; });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_proxy::ChooseProxy("http://fast.example/a").proxy, "s:1");
    EXPECT_LT(http_test::SecondsSince(start), 1.0);
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    system.Release();
    EXPECT_EQ(first.get(), "s:1");
    EXPECT_EQ(second.get(), "s:1");
    // The slow host was asked once, for its first asker; the fast host once.
    EXPECT_EQ(system.Asks(), 2);
}

TEST(ProxyDecision, ADeadEntryGivesWayToTheNextAndTheOneThatWorkedStays) {
    StandInSystem system(L"", "");
    system.Answer("PROXY a:1; PROXY b:2; DIRECT");
    const std::string url = "http://cdn.example/p.exe";
    EXPECT_EQ(http_proxy::ChooseProxy(url).proxy, "a:1");
    EXPECT_EQ(http_proxy::ReportProxyUnreachable(url, "a:1").proxy, "b:2");
    EXPECT_EQ(http_proxy::ChooseProxy(url).proxy, "b:2");
    http_proxy::ReportProxyReached(url, "b:2");
    EXPECT_EQ(http_proxy::ReportProxyUnreachable(url, "b:2").proxy, "b:2");
    EXPECT_EQ(http_proxy::ChooseProxy(url).proxy, "b:2");
    EXPECT_EQ(system.Asks(), 1);
    // Loopback never asks the script and never goes to a proxy.
    EXPECT_EQ(http_proxy::ChooseProxy("http://127.0.0.1:1/p.exe").proxy, "");
    EXPECT_EQ(system.Asks(), 1);
}

TEST(ProxyTransfers, AScriptsDeadFirstProxyGivesWayToTheLiveSecond) {
    // Nothing listens on port 1 of the loopback; only the test proxy resolves pallaton.test.
    StandInSystem system(L"", "");
    system.Answer("PROXY 127.0.0.1:1; PROXY 127.0.0.1:" +
                  std::to_string(http_test::GetServers().proxyPort) + "; DIRECT");
    std::string url = "http://pallaton.test:" + std::to_string(http_test::GetServers().nginxPort) +
                      "/pattern.1000003?via=" + http_test::UniqueKey();
    fixtures::ScratchFolder folder;
    http_test::RecordingOwner owner;
    int taskId = 0;
    EXPECT_EQ(owner.Download(url, folder.Path("p.exe"), &taskId, 1000003), 1);
    EXPECT_TRUE(owner.WaitForResults(1));
    EXPECT_EQ(owner.ResultOf(taskId).success, 1);
    EXPECT_EQ(http_proxy::ChooseProxy(url).proxy,
              "127.0.0.1:" + std::to_string(http_test::GetServers().proxyPort));
}

}  // namespace

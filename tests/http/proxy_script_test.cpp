// The system's part of a proxy decision: the deadline of the ask, with the system's settings and
// answers stood in.
#include "http/proxy_script.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include "http/proxy_choice.h"
#include "support/test_servers.h"

namespace {

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

}  // namespace

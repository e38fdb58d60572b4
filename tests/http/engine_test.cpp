// The engine's task lifecycle: ids, owners, and the shutdown that stops running transfers.
#include <gtest/gtest.h>

#include <chrono>

#include "support/test_servers.h"

namespace {

using http_test::FaultUrl;
using http_test::RecordingOwner;

TEST(HttpEngine, TaskIdsStartAtOneAndAreSharedByBothKinds) {
    fixtures::ScratchFolder folder;
    RecordingOwner owner;
    int first = 0, second = 0, third = 0;
    EXPECT_EQ(owner.Request(FaultUrl("/gen/10"), &first), 1);
    EXPECT_EQ(owner.Download(http_test::NginxUrl("pattern.3"), folder.Path("p"), &second, 3), 1);
    EXPECT_EQ(owner.Request(FaultUrl("/gen/10"), &third), 1);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    EXPECT_EQ(third, 3);
    ASSERT_TRUE(owner.WaitForResults(3));
    EXPECT_EQ(owner.ResultOf(1).kind, RecordingOwner::Event::kRequest);
    EXPECT_EQ(owner.ResultOf(2).kind, RecordingOwner::Event::kDownload);
}

TEST(HttpEngine, TaskWithoutOwnerRunsToItsEndAndUnregisters) {
    fixtures::ScratchFolder folder;
    RecordingOwner owner(false);
    int request = 0, download = 0;
    EXPECT_EQ(owner.Request(FaultUrl("/gen/10"), &request), 1);
    EXPECT_EQ(owner.Download(http_test::NginxUrl("pattern.1000003"), folder.Path("p"), &download,
                             1000003),
              1);
    auto start = std::chrono::steady_clock::now();
    while (owner.TaskCount() != 0 && http_test::SecondsSince(start) < 30)
        platform::SleepMilliseconds(10);
    EXPECT_EQ(owner.TaskCount(), 0u);
    EXPECT_TRUE(owner.Events().empty());
    // The download was made all the same.
    std::string content;
    EXPECT_TRUE(http_test::ReadWholeFile(folder.Path("p"), content));
    EXPECT_EQ(content.size(), 1000003u);
}

TEST(HttpEngine, ATaskThatCannotBeListedNeverRuns) {
    fixtures::ScratchFolder folder;
    RecordingOwner owner;
    int request = 0, download = 0;
    CHttpTaskManager::FailNextDuplicationsForTesting(1);
    EXPECT_EQ(owner.Request(FaultUrl("/gen/10"), &request), 0);
    CHttpTaskManager::FailNextDuplicationsForTesting(1);
    EXPECT_EQ(owner.Download(http_test::NginxUrl("pattern.3"), folder.Path("p"), &download, 3), 0);
    EXPECT_EQ(request, 1);
    EXPECT_EQ(download, 2);
    EXPECT_EQ(owner.TaskCount(), 0u);
    platform::SleepMilliseconds(500);
    EXPECT_TRUE(owner.Events().empty());
    EXPECT_TRUE(folder.Names().empty());
    // The next task is listed and runs as usual.
    int next = 0;
    EXPECT_EQ(owner.Request(FaultUrl("/gen/10"), &next), 1);
    EXPECT_TRUE(owner.WaitForResults(1));
}

TEST(HttpEngine, ShutdownWithoutTasksReturnsAtOnce) {
    auto start = std::chrono::steady_clock::now();
    { RecordingOwner owner; }
    EXPECT_LT(http_test::SecondsSince(start), 0.5);
}

TEST(HttpEngine, ShutdownAbortsRunningTransfersAtOnceAndDeliversNothing) {
    fixtures::ScratchFolder folder;
    RecordingOwner owner;
    int ids[4] = {};
    // A request that trickles, a download whose pieces stall, one whose probe stalls, and one in
    // its single stream that trickles: each would run for a minute.
    EXPECT_EQ(owner.Request(FaultUrl("/gen/600?trickle=10:1"), &ids[0]), 1);
    EXPECT_EQ(owner.Download(FaultUrl("/files/pattern.1000003?stall=60&stall_at=1000"),
                             folder.Path("a"), &ids[1], 1000003),
              1);
    EXPECT_EQ(owner.Download(FaultUrl("/files/pattern.1000003?on=head&stall=60"), folder.Path("b"),
                             &ids[2], 0),
              1);
    EXPECT_EQ(owner.Download(FaultUrl("/files/pattern.1000003?no_length=1&trickle=1000:1"),
                             folder.Path("c"), &ids[3], 0),
              1);
    platform::SleepMilliseconds(2000);
    EXPECT_EQ(owner.TaskCount(), 4u);

    auto start = std::chrono::steady_clock::now();
    owner.Shutdown();
    double seconds = http_test::SecondsSince(start);
    size_t eventsAtShutdown = owner.Events().size();
    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(owner.TaskCount(), 0u);
    for (const RecordingOwner::Event& event : owner.Events())
        EXPECT_EQ(event.kind, RecordingOwner::Event::kProgress) << "a result was delivered";
    EXPECT_EQ(owner.resultsEntered, 0);

    // Nothing arrives later either, and no new task starts.
    int late = 0;
    EXPECT_EQ(owner.Request(FaultUrl("/gen/10"), &late), 0);
    EXPECT_EQ(late, 5);
    platform::SleepMilliseconds(300);
    EXPECT_EQ(owner.Events().size(), eventsAtShutdown);
    for (const std::string& name : folder.Names())
        EXPECT_EQ(name.find(".tmp_"), std::string::npos) << "piece file left behind: " << name;
}

TEST(HttpEngineSlow, ShutdownOutlastedByAnOwnersResultFunctionStillEnds) {
    RecordingOwner owner;
    owner.resultDelayMs = 7000;
    int id = 0;
    EXPECT_EQ(owner.Request(FaultUrl("/gen/10"), &id), 1);
    auto entered = std::chrono::steady_clock::now();
    while (owner.resultsEntered == 0 && http_test::SecondsSince(entered) < 60)
        platform::SleepMilliseconds(5);
    ASSERT_NE(owner.resultsEntered.load(), 0);
    auto start = std::chrono::steady_clock::now();
    owner.Shutdown();
    double seconds = http_test::SecondsSince(start);
    EXPECT_EQ(owner.TaskCount(), 0u);
    // Windows terminates the task's thread after 5 s; Linux lets the result function end.
    EXPECT_GE(seconds, 4.5);
    EXPECT_LT(seconds, 8.0);
}

}  // namespace

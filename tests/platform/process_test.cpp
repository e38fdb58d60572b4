#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/fixture_files.h"

namespace {

using fixtures::ScratchFolder;

TEST(StartProgram, ParametersArriveAsGivenAndTheExitCodeIsRead) {
    ScratchFolder folder;
    auto program = folder.path() / "setup_101.exe";
    fixtures::WriteFixtureProgram(program, 3);
    fixtures::SetRecordFile(folder.path() / "record.txt");

    // Arguments quoted whole, as the updater quotes them, arrive the same on both targets.
    std::wstring parameters = L"/PID=42 -startup_from_plugin \"-nickname:a b\" \"-x:q\\\"\"";
    platform::ProcessHandle process = nullptr;
    uint32_t error = 0;
    ASSERT_TRUE(platform::StartProgram(program.wstring(), &parameters,
                                       platform::ShowCommand::ShowDefault, process, error));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(platform::WaitForProcess(process, 20000), platform::kWaitSignalled);
    uint32_t exitCode = 0;
    ASSERT_TRUE(platform::GetProcessExitCode(process, exitCode));
    EXPECT_EQ(exitCode, 3u);
    platform::CloseProcessHandle(process);
    EXPECT_EQ(fixtures::ReadFile(folder.path() / "record.txt"),
              "setup_101.exe|/PID=42 -startup_from_plugin \"-nickname:a b\" \"-x:q\\\"\"\n");
}

TEST(StartProgram, WaitTimesOutWhileTheProgramRuns) {
    ScratchFolder folder;
    auto program = folder.path() / "slow.exe";
    fixtures::WriteFixtureProgram(program, 0, 2);
    platform::ProcessHandle process = nullptr;
    uint32_t error = 0;
    ASSERT_TRUE(platform::StartProgram(program.wstring(), nullptr,
                                       platform::ShowCommand::ShowDefault, process, error));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::WaitForProcess(process, 300), platform::kWaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    uint32_t exitCode = 0;
    EXPECT_FALSE(platform::GetProcessExitCode(process, exitCode));
    EXPECT_EQ(platform::WaitForProcess(process, 20000), platform::kWaitSignalled);
    platform::CloseProcessHandle(process);
    EXPECT_EQ(platform::WaitForProcess(nullptr, 10), platform::kWaitFailed);
}

TEST(StartProgram, MissingFileFailsWithAnError) {
    ScratchFolder folder;
    platform::ProcessHandle process = nullptr;
    uint32_t error = 0;
    EXPECT_FALSE(platform::StartProgram(folder.Wide(L"absent.exe"), nullptr,
                                        platform::ShowCommand::Hide, process, error));
    EXPECT_EQ(process, nullptr);
    EXPECT_NE(error, 0u);
}

TEST(ListProcessNames, FindsARunningProgramByItsFileName) {
    ScratchFolder folder;
    auto program = folder.path() / "PallatonTrayTest.exe";
    fixtures::WriteFixtureProgram(program, 0, 2);
    platform::ProcessHandle process = nullptr;
    uint32_t error = 0;
    ASSERT_TRUE(platform::StartProgram(program.wstring(), nullptr, platform::ShowCommand::Hide,
                                       process, error));
    bool found = false;
    // The new process may take a moment to appear in the snapshot.
    for (int i = 0; i < 50 && !found; ++i) {
        std::vector<std::wstring> names;
        ASSERT_TRUE(platform::ListProcessNames(names));
        for (const auto& name : names)
            found = found || name == L"PallatonTrayTest.exe";
        if (!found)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(found);
    platform::WaitForProcess(process, 20000);
    platform::CloseProcessHandle(process);
}

}  // namespace

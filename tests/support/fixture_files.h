// Test helpers: copies of the fixture program that take the roles of
// installers, the launcher and the client.
#pragma once

#include <filesystem>
#include <string>

#include "support/scratch.h"

namespace fixtures {

// The folder of the running test program, where the build puts the tools.
std::filesystem::path BinFolder();

// Copies the fixture program to `target` with a trailer that sets its exit code and run time.
void WriteFixtureProgram(const std::filesystem::path& target, int exitCode = 0, int seconds = 0);

// The record file the fixture programs append to (set in the environment for children).
void SetRecordFile(const std::filesystem::path& path);
std::string ReadFile(const std::filesystem::path& path);

}  // namespace fixtures

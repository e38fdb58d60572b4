#include "support/fixture_files.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/path.h"

namespace fixtures {

std::filesystem::path BinFolder() {
    return std::filesystem::path(platform::GetModuleFilePath()).parent_path();
}

void WriteFixtureProgram(const std::filesystem::path& target, int exitCode, int seconds) {
#ifdef _WIN32
    const char* name = "fixture_program.exe";
#else
    const char* name = "fixture_program";
#endif
    std::string content = ReadFile(BinFolder() / name);
    content += "\n#pallaton-fixture exit=" + std::to_string(exitCode) +
               " sleep=" + std::to_string(seconds) + "\n";
    std::filesystem::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary) << content;
}

void SetRecordFile(const std::filesystem::path& path) {
#ifdef _WIN32
    _putenv_s("PALLATON_FIXTURE_RECORD", path.string().c_str());
#else
    setenv("PALLATON_FIXTURE_RECORD", path.c_str(), 1);
#endif
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

}  // namespace fixtures

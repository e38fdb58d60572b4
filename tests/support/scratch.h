// Scratch places of the tests: a fresh folder that is removed with everything in it, and a
// profile of the user's own for code that finds its folders through the environment.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fixtures {

// A fresh folder below the system's temporary folder (which need not be the user's own, as the
// updater's is), removed by the destructor.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The wide path of the folder, or of `name` in it.
    std::wstring Wide(const std::wstring& name = L"") const;
    // The narrow path of `name` in the folder, in the form the download code takes.
    std::string Path(const std::string& name) const;
    // The names of everything in the folder, narrow as Path gives them.
    std::vector<std::string> Names() const;

  private:
    std::filesystem::path path_;
};

// Sets an environment variable (or removes it, for std::nullopt) until the end of the scope, then
// puts back what was there.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

// A user profile of the test's own. Linux: the configuration (registry hive), data (application
// data) and runtime (named mutexes) folders of the XDG variables point into a scratch folder, so
// that a case starts with none of the user's settings and leaves none behind. Windows: the
// process keeps the prefix's profile; `path()` is still a scratch folder.
class ScratchProfile {
  public:
    ScratchProfile();
    const std::filesystem::path& path() const { return folder_.path(); }
    std::filesystem::path ConfigFolder() const { return folder_.path() / "config"; }
    std::filesystem::path DataFolder() const { return folder_.path() / "data"; }
    std::filesystem::path RuntimeFolder() const { return folder_.path() / "runtime"; }

  private:
    ScratchFolder folder_;
#ifndef _WIN32
    ScopedEnvironment config_;
    ScopedEnvironment data_;
    ScopedEnvironment runtime_;
#endif
};

}  // namespace fixtures

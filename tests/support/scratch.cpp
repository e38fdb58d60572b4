#include "support/scratch.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include "common/text.h"

namespace fixtures {

namespace {

std::atomic<int> g_counter{0};

std::filesystem::path NewFolder() {
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        auto candidate =
            base / ("pallaton-test-" + std::to_string(stamp) + "-" + std::to_string(++g_counter));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error))
            return candidate;
    }
}

std::string Narrow(const std::filesystem::path& path) {
#ifdef _WIN32
    return ToNarrowPath(path.wstring());
#else
    return path.string();
#endif
}

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
#endif
}

}  // namespace

ScratchFolder::ScratchFolder() : path_(NewFolder()) {}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::wstring ScratchFolder::Wide(const std::wstring& name) const {
    return name.empty() ? path_.wstring() : (path_ / name).wstring();
}

std::string ScratchFolder::Path(const std::string& name) const {
    return Narrow(path_) + static_cast<char>(std::filesystem::path::preferred_separator) + name;
}

std::vector<std::string> ScratchFolder::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
        names.push_back(Narrow(entry.path().filename()));
    return names;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::optional<std::string>& value)
    : name_(name) {
    if (const char* old = std::getenv(name))
        saved_ = old;
    SetVariable(name_, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    SetVariable(name_, saved_);
}

#ifdef _WIN32
ScratchProfile::ScratchProfile() = default;
#else
ScratchProfile::ScratchProfile()
    : config_("XDG_CONFIG_HOME", ConfigFolder().string()),
      data_("XDG_DATA_HOME", DataFolder().string()),
      runtime_("XDG_RUNTIME_DIR", RuntimeFolder().string()) {
    for (const auto& sub : {ConfigFolder(), DataFolder(), RuntimeFolder()})
        std::filesystem::create_directories(sub);
    std::filesystem::permissions(RuntimeFolder(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
}
#endif

}  // namespace fixtures

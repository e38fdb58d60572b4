// Stand-in for the maker's log library: appends each line it is given, as UTF-8, to the file it
// was given. Safe to call from several threads at once.
#include <cstdio>
#include <mutex>
#include <string>

#include "common/utf8.h"
#include "diagnostics/log_library.h"

#ifdef _WIN32
#define LOG_API extern "C" __declspec(dllexport)
#else
#define LOG_API extern "C" __attribute__((visibility("default")))
#endif

namespace {

class LogObject final : public ILogObject {
  public:
    void Reserved0() override {}
    void Reserved1() override {}
    void Reserved2() override {}
    void Reserved3() override {}
    void Reserved4() override {}
    void Reserved6() override {}
    void Reserved7() override {}

    void SetLogFile(const wchar_t* path) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_ != nullptr)
            std::fclose(file_);
        file_ = nullptr;
        if (path == nullptr)
            return;
#ifdef _WIN32
        file_ = _wfopen(path, L"ab");
#else
        std::string narrow;
        if (utf8::Encode(path, narrow))
            file_ = std::fopen(narrow.c_str(), "ab");
#endif
    }

    void Write(int, const wchar_t*, const wchar_t* message, int) override {
        if (message == nullptr)
            return;
        std::string text;
        if (!utf8::Encode(message, text))
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_ == nullptr)
            return;
        std::fwrite(text.data(), 1, text.size(), file_);
        std::fflush(file_);
    }

  private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

LogObject* g_log = nullptr;
std::once_flag g_created;

}  // namespace

LOG_API int PALLATON_LIBRARY_CALL CreateLogObjects() {
    std::call_once(g_created, [] { g_log = new LogObject(); });
    return 1;
}

LOG_API ILogObject* PALLATON_LIBRARY_CALL GetLog() {
    return g_log;
}

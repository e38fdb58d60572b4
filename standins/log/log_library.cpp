// Stand-in for the maker's log library: appends each line it is given, as UTF-8, to the file it
// was given. Safe to call from several threads at once. A call that does not carry what the
// updater always passes is written as a line that says so, so that tests see it.
#include <cstdio>
#include <mutex>
#include <string>

#include "base/utf8.h"
#include "standins/library_objects.h"

#define LOG_API extern "C" __attribute__((visibility("default")))

namespace {

class LogObject final : public LogObjectBase {
  public:
    void SetLogFile(const wchar_t* path) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_ != nullptr)
            std::fclose(file_);
        file_ = nullptr;
        std::string narrow;
        if (path != nullptr && utf8::Encode(path, narrow))
            file_ = std::fopen(narrow.c_str(), "ab");
    }

    void Write(int channel, const wchar_t* category, const wchar_t* message, int level) override {
        if (message == nullptr)
            return;
        std::string text;
        if (!standin::IsExpectedLogCall(channel, category, level))
            text = "malformed log call\n";
        else if (!utf8::Encode(message, text))
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

LOG_API int CreateLogObjects() {
    std::call_once(g_created, [] { g_log = new LogObject(); });
    return 1;
}

LOG_API LogObjectBase* GetLog() {
    return g_log;
}

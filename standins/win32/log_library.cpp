// Stand-in for the maker's log library on Windows, built as the real one is: by a compiler of
// Microsoft's binary interface, without a C runtime, calling only kernel32. Appends each line it
// is given, as UTF-8, to the file it was given; safe to call from several threads at once. A call
// that does not carry what the updater always passes is written as a line that says so.
#include "standins/library_objects.h"
#include "standins/win32/kernel32.h"

namespace {

constexpr unsigned long kPathChars = 1024;

class LogObject final : public LogObjectBase {
  public:
    constexpr LogObject() = default;

    void PALLATON_MEMBER_CALL SetLogFile(const wchar_t* path) override {
        AcquireSRWLockExclusive(&lock_);
        path_[0] = L'\0';
        for (unsigned long i = 0; path != nullptr && i + 1 < kPathChars; ++i) {
            path_[i] = path[i];
            path_[i + 1] = L'\0';
            if (path[i] == L'\0')
                break;
        }
        ReleaseSRWLockExclusive(&lock_);
    }

    void PALLATON_MEMBER_CALL Write(int channel, const wchar_t* category, const wchar_t* message,
                                    int level) override {
        if (message == nullptr)
            return;
        AcquireSRWLockExclusive(&lock_);
        if (path_[0] != L'\0') {
            if (standin::IsExpectedLogCall(channel, category, level)) {
                AppendUtf8(message);
            } else {
                static const char kMalformed[] = "malformed log call\n";
                kernel32::AppendToFile(path_, kMalformed, sizeof(kMalformed) - 1);
            }
        }
        ReleaseSRWLockExclusive(&lock_);
    }

  private:
    void AppendUtf8(const wchar_t* message) {
        int length = 0;
        while (message[length] != L'\0')
            ++length;
        if (length == 0)
            return;
        // Lone surrogates become U+FFFD: the line is kept whatever it holds.
        int bytes =
            WideCharToMultiByte(kernel32::kUtf8, 0, message, length, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0)
            return;
        HANDLE heap = GetProcessHeap();
        char* text = static_cast<char*>(HeapAlloc(heap, 0, static_cast<size_t>(bytes)));
        if (text == nullptr)
            return;
        WideCharToMultiByte(kernel32::kUtf8, 0, message, length, text, bytes, nullptr, nullptr);
        kernel32::AppendToFile(path_, text, static_cast<unsigned long>(bytes));
        HeapFree(heap, 0, text);
    }

    SRWLOCK lock_ = {nullptr};
    wchar_t path_[kPathChars] = {};
};

constinit LogObject g_log;

}  // namespace

extern "C" {

__declspec(dllexport) int __cdecl CreateLogObjects() {
    return 1;
}

__declspec(dllexport) LogObjectBase* __cdecl GetLog() {
    return &g_log;
}
}

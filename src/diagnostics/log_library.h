// The binary interface of the maker's log library: the two exports and the log object, whose
// virtual slots 5 (set the log file) and 8 (write a line) are the ones the updater calls.
#pragma once

#ifdef _WIN32
#define PALLATON_LIBRARY_CALL __cdecl
#else
#define PALLATON_LIBRARY_CALL
#endif

class ILogObject {
  public:
    virtual void Reserved0() = 0;
    virtual void Reserved1() = 0;
    virtual void Reserved2() = 0;
    virtual void Reserved3() = 0;
    virtual void Reserved4() = 0;
    virtual void SetLogFile(const wchar_t* path) = 0;  // slot 5
    virtual void Reserved6() = 0;
    virtual void Reserved7() = 0;
    virtual void Write(int channel, const wchar_t* category, const wchar_t* message,
                       int level) = 0;  // slot 8

  protected:
    ~ILogObject() = default;
};

extern "C" {
using CreateLogObjectsProc = int(PALLATON_LIBRARY_CALL*)();
using GetLogProc = ILogObject*(PALLATON_LIBRARY_CALL*)();
}

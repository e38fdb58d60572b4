// The binary interface of the maker's utility library: the statistics record and the virtual
// slots of the statistics and utility objects that the updater calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diagnostics/log_library.h"

// The record handed to the statistics service; a fixed little-endian layout of 192 bytes.
struct StatReport {
    int32_t kind;                 // 0
    uint8_t reserved[128];        // 4
    int32_t second;               // 132
    int32_t appid;                // 136
    int32_t pid;                  // 140
    int32_t zero1;                // 144
    int32_t zero2;                // 148
    int32_t category;             // 152
    int32_t eventId;              // 156
    int32_t three;                // 160
    int32_t zero3;                // 164
    uint8_t emptyWideString[24];  // 168: an empty wide string object of the library's runtime
};
static_assert(sizeof(StatReport) == 192);
static_assert(offsetof(StatReport, second) == 132);
static_assert(offsetof(StatReport, category) == 152);
static_assert(offsetof(StatReport, emptyWideString) == 168);

class IStatistic {
  public:
    virtual void Report(const StatReport* report) = 0;  // slot 0
    virtual void Reserved1() = 0;
    virtual void Reserved2() = 0;
    virtual void Reserved3() = 0;
    virtual void Reserved4() = 0;
    virtual void Reserved5() = 0;
    virtual void Shutdown() = 0;  // slot 6

  protected:
    ~IStatistic() = default;
};

// The end-of-run chain: the utility object's slot 0 gives a service object, whose slot 0 gives a
// session object, whose slot 1 finishes it.
class IUtilitySession {
  public:
    virtual void Reserved0() = 0;
    virtual void Finish() = 0;  // slot 1

  protected:
    ~IUtilitySession() = default;
};

class IUtilityService {
  public:
    virtual IUtilitySession* GetSession() = 0;  // slot 0

  protected:
    ~IUtilityService() = default;
};

class IUtility {
  public:
    virtual IUtilityService* GetService() = 0;  // slot 0

  protected:
    ~IUtility() = default;
};

#ifdef _WIN32
#ifdef PALLATON_BUILDING_UTILITY
#define PALLATON_UTILITY_API __declspec(dllexport)
#else
#define PALLATON_UTILITY_API __declspec(dllimport)
#endif
#else
#define PALLATON_UTILITY_API __attribute__((visibility("default")))
#endif

extern "C" {
PALLATON_UTILITY_API IStatistic* PALLATON_LIBRARY_CALL GetStatistic();
PALLATON_UTILITY_API IUtility* PALLATON_LIBRARY_CALL GetUtility();
}

// The binary interface of the maker's utility library: the statistics record, the two exports and
// the virtual slots of the statistics and utility objects that the updater calls.
#pragma once

#include "diagnostics/library_abi.h"
#include "diagnostics/stat_report.h"

struct IStatistic;
struct IUtility;
struct IUtilityService;
struct IUtilitySession;

// The statistics object: slot 0 takes a record, slot 6 ends the reporting of an action.
struct StatisticTable {
    void(PALLATON_MEMBER_CALL* report)(IStatistic* self, const StatReport* report);
    UnusedSlot reserved1[5];
    void(PALLATON_MEMBER_CALL* shutdown)(IStatistic* self);
};
PALLATON_CHECK_SLOT(StatisticTable, report, 0);
PALLATON_CHECK_SLOT(StatisticTable, shutdown, 6);

struct IStatistic {
    const StatisticTable* table;

    void Report(const StatReport* record) { table->report(this, record); }
    void Shutdown() { table->shutdown(this); }
};

// The end-of-run chain: the utility object's slot 0 gives a service object, whose slot 0 gives a
// session object, whose slot 1 finishes it.
struct UtilitySessionTable {
    UnusedSlot reserved0;
    void(PALLATON_MEMBER_CALL* finish)(IUtilitySession* self);
};
PALLATON_CHECK_SLOT(UtilitySessionTable, finish, 1);

struct IUtilitySession {
    const UtilitySessionTable* table;

    void Finish() { table->finish(this); }
};

struct UtilityServiceTable {
    IUtilitySession*(PALLATON_MEMBER_CALL* getSession)(IUtilityService* self);
};
PALLATON_CHECK_SLOT(UtilityServiceTable, getSession, 0);

struct IUtilityService {
    const UtilityServiceTable* table;

    IUtilitySession* GetSession() { return table->getSession(this); }
};

struct UtilityTable {
    IUtilityService*(PALLATON_MEMBER_CALL* getService)(IUtility* self);
};
PALLATON_CHECK_SLOT(UtilityTable, getService, 0);

struct IUtility {
    const UtilityTable* table;

    IUtilityService* GetService() { return table->getService(this); }
};

#ifdef _WIN32
#define PALLATON_UTILITY_IMPORT __declspec(dllimport)
#else
#define PALLATON_UTILITY_IMPORT
#endif

extern "C" {
PALLATON_UTILITY_IMPORT IStatistic* PALLATON_LIBRARY_CALL GetStatistic();
PALLATON_UTILITY_IMPORT IUtility* PALLATON_LIBRARY_CALL GetUtility();
}

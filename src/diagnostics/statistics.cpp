#include "diagnostics/statistics.h"

#include <cstring>

#include "diagnostics/statistics_library.h"

int StatisticCategory(int eventId) {
    switch (eventId) {
        case 2800039:
        case 2800233:
        case 2800235:
        case 2800237:
        case 2800239:
        case 2800241:
        case 2800243:
        case 2800259:
        case 2800261:
        case 2800263:
        case 2800266:
        case 2800268:
        case 2800271:
        case 2800274:
            return 50012;
        case 2800022:
        case 2800023:
        case 2800036:
        case 2800037:
        case 2800038:
        case 2800044:
            return 50008;
        default:
            return 50010;
    }
}

void MakeStatReport(StatReport& report, int eventId, int second, int appidNumber, int pidNumber,
                    int kind) {
    std::memset(&report, 0, sizeof(report));
    report.kind = kind;
    report.second = second;
    report.appid = appidNumber;
    report.pid = pidNumber;
    report.category = StatisticCategory(eventId);
    report.eventId = eventId;
    report.three = 3;
    report.emptyString.capacity = kEmptyWideStringCapacity;
}

void ReportStatistic(int eventId, int second, int appidNumber, int pidNumber, int kind) {
    StatReport report;
    MakeStatReport(report, eventId, second, appidNumber, pidNumber, kind);
    if (IStatistic* statistic = GetStatistic())
        statistic->Report(&report);
}

void ShutdownStatistics() {
    if (IStatistic* statistic = GetStatistic())
        statistic->Shutdown();
    if (IUtility* utility = GetUtility()) {
        if (IUtilityService* service = utility->GetService()) {
            if (IUtilitySession* session = service->GetSession())
                session->Finish();
        }
    }
}

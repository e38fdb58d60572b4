// Statistics events reported through the maker's utility library.
#pragma once

// Reports one event; every caller passes 0 as `second` and 2 as `kind`.
void ReportStatistic(int eventId, int second, int appidNumber, int pidNumber, int kind);

// Ends the statistics service at the end of an action.
void ShutdownStatistics();

// The category of an event id.
int StatisticCategory(int eventId);

struct StatReport;

// The record of one event as the library receives it.
void MakeStatReport(StatReport& report, int eventId, int second, int appidNumber, int pidNumber,
                    int kind);

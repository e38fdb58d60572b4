// The local wall-clock time with milliseconds.
#pragma once

namespace platform {

struct LocalTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int milliseconds;
};

LocalTime GetLocalTime();

}  // namespace platform

// The record that the updater hands to the maker's statistics service: a fixed little-endian
// layout of 192 bytes, the library's format on every target. Plain C headers only, so that the
// stand-in library, built without a C++ runtime, reads the same declaration.
#pragma once

#include <stddef.h>
#include <stdint.h>

// An empty wide string object of the library's runtime as it lies in a 32-bit program: the
// inline buffer, then the length and the capacity of that buffer in characters.
struct EmptyWideStringObject {
    uint8_t inlineBuffer[16];
    uint32_t length;
    uint32_t capacity;
};
constexpr uint32_t kEmptyWideStringCapacity = 7;

struct StatReport {
    int32_t kind;                       // 0
    uint8_t reserved[128];              // 4
    int32_t second;                     // 132
    int32_t appid;                      // 136
    int32_t pid;                        // 140
    int32_t zero1;                      // 144
    int32_t zero2;                      // 148
    int32_t category;                   // 152
    int32_t eventId;                    // 156
    int32_t three;                      // 160
    int32_t zero3;                      // 164
    EmptyWideStringObject emptyString;  // 168
};
static_assert(sizeof(EmptyWideStringObject) == 24);
static_assert(sizeof(StatReport) == 192);
static_assert(offsetof(StatReport, kind) == 0);
static_assert(offsetof(StatReport, reserved) == 4);
static_assert(offsetof(StatReport, second) == 132);
static_assert(offsetof(StatReport, appid) == 136);
static_assert(offsetof(StatReport, pid) == 140);
static_assert(offsetof(StatReport, zero1) == 144);
static_assert(offsetof(StatReport, zero2) == 148);
static_assert(offsetof(StatReport, category) == 152);
static_assert(offsetof(StatReport, eventId) == 156);
static_assert(offsetof(StatReport, three) == 160);
static_assert(offsetof(StatReport, zero3) == 164);
static_assert(offsetof(StatReport, emptyString) == 168);
static_assert(offsetof(StatReport, emptyString) + offsetof(EmptyWideStringObject, length) == 184);
static_assert(offsetof(StatReport, emptyString) + offsetof(EmptyWideStringObject, capacity) == 188);

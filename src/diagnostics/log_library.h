// The binary interface of the maker's log library: the two exports and the log object, whose
// virtual slots 5 (set the log file) and 8 (write a line) are the ones the updater calls.
#pragma once

#include "diagnostics/library_abi.h"

struct ILogObject;

// The log object's table of virtual functions, as far as the updater uses it.
struct LogObjectTable {
    UnusedSlot reserved0[5];
    void(PALLATON_MEMBER_CALL* setLogFile)(ILogObject* self, const wchar_t* path);
    UnusedSlot reserved6[2];
    void(PALLATON_MEMBER_CALL* write)(ILogObject* self, int channel, const wchar_t* category,
                                      const wchar_t* message, int level);
};
PALLATON_CHECK_SLOT(LogObjectTable, setLogFile, 5);
PALLATON_CHECK_SLOT(LogObjectTable, write, 8);

// The log object as the library hands it out: its first field is the table.
struct ILogObject {
    const LogObjectTable* table;

    void SetLogFile(const wchar_t* path) { table->setLogFile(this, path); }
    void Write(int channel, const wchar_t* category, const wchar_t* message, int level) {
        table->write(this, channel, category, message, level);
    }
};

extern "C" {
using CreateLogObjectsProc = int(PALLATON_LIBRARY_CALL*)();
using GetLogProc = ILogObject*(PALLATON_LIBRARY_CALL*)();
}

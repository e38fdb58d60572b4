// The binary interface of the maker's two libraries, stated rather than left to compiler defaults.
// The libraries are built by Microsoft's compiler: their exports use the C calling convention, and
// their objects' virtual functions use that compiler's member-function convention, which on 32-bit
// x86 is thiscall (the object in ECX, the callee removes its arguments). The updater, built by
// another compiler, calls those functions through tables declared here with that convention.
#pragma once

#include <stddef.h>

#if defined(_WIN32)
#define PALLATON_LIBRARY_CALL __cdecl
#else
#define PALLATON_LIBRARY_CALL
#endif

// Only 32-bit x86 has a convention of its own for member functions; elsewhere the object is an
// ordinary first argument.
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define PALLATON_MEMBER_CALL __thiscall
#else
#define PALLATON_MEMBER_CALL
#endif

// A slot of a library object's table that the updater never calls.
using UnusedSlot = void*;

// Checks, where a table is declared, that an entry sits at its slot number (counted from 0).
#define PALLATON_CHECK_SLOT(Table, entry, slot) \
    static_assert(offsetof(Table, entry) == (slot) * sizeof(void*), #Table "::" #entry)

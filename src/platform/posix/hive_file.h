// The file that holds HKEY_CURRENT_USER on Linux: read and changed under an flock on
// HKEY_CURRENT_USER.reg.lock beside it, shared to read and exclusive to change, kept parsed while
// the file is unchanged, and replaced atomically on a change. A file that cannot be parsed is
// never overwritten.
#pragma once

#include <functional>

#include "platform/posix/reg_text.h"

namespace platform::posix::hive_file {

// Runs `apply` on the hive under the shared lock; false when the hive cannot be read or `apply`
// returns false.
bool ReadHive(const std::function<bool(reg_text::Hive&)>& apply);

// Runs `apply` on the hive under the exclusive lock and writes back the hive it leaves when it
// returns true; when it returns false the file is not touched.
bool ChangeHive(const std::function<bool(reg_text::Hive&)>& apply);

}  // namespace platform::posix::hive_file

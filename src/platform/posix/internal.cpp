#include "platform/posix/internal.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform::posix {

std::string EnvironmentOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::string HomeFolder() {
    std::string home = EnvironmentOr("HOME", "");
    if (!home.empty())
        return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? std::string(entry->pw_dir) : "/";
}

}  // namespace platform::posix

// Fuzz target for the Linux INI layer: any text, names and value must be read and rewritten
// without a crash, a leak or a hang; a value set on one line reads back as set; setting one key
// changes no other key; the text parsed once finds what a look through the text finds; and the
// file-level reader copes with whatever the file holds.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/profile_text.h"
#include "platform/profile.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\x1a';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool SameName(std::string_view a, std::string_view b) {
    a = Trim(a);
    b = Trim(b);
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? a[i] - 'A' + 'a' : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? b[i] - 'A' + 'a' : b[i];
        if (x != y)
            return false;
    }
    return true;
}

bool OnOneLine(std::string_view text) {
    return text.find_first_of("\r\n") == std::string_view::npos;
}

// A name or value that a record can hold: one line, a key without '=' that cannot be taken
// for a section line, nor, as the first line of a text, for a byte-order mark.
bool Writable(std::string_view section, std::string_view key, std::string_view value) {
    std::string_view trimmedKey = Trim(key);
    return OnOneLine(section) && OnOneLine(key) && OnOneLine(value) &&
           key.find('=') == std::string_view::npos &&
           (trimmedKey.empty() || trimmedKey.front() != '[') &&
           trimmedKey.substr(0, 3) != "\xEF\xBB\xBF";
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

void CheckFileReader(const std::string& text, const std::string& section, const std::string& key,
                     size_t chars) {
    static int fd = memfd_create("profile", MFD_CLOEXEC);
    if (fd < 0)
        return;
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        return;
    }
    static const std::wstring path = L"/proc/self/fd/" + std::to_wstring(fd);
    std::wstring value = platform::ReadIniString(path, Wide(section), Wide(key), L"dflt ", chars);
    if (chars > 0 && value.size() > chars - 1)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using platform::posix::FindProfileValue;
    using platform::posix::SetProfileValue;
    FuzzedDataProvider input(data, size);
    std::string section = input.ConsumeRandomLengthString(16);
    std::string key = input.ConsumeRandomLengthString(16);
    std::string otherSection = input.ConsumeRandomLengthString(16);
    std::string otherKey = input.ConsumeRandomLengthString(16);
    std::string value = input.ConsumeRandomLengthString(32);
    size_t chars = input.ConsumeIntegralInRange<size_t>(0, 300);
    std::string text = input.ConsumeRemainingBytesAsString();

    std::string_view found;
    bool inText = FindProfileValue(text, section, key, found);
    if (inText) {
        if (found.data() < text.data() || found.data() + found.size() > text.data() + text.size())
            __builtin_trap();
        platform::posix::StripProfileQuotes(found);
    }
    const platform::posix::ProfileIndex index(text);
    std::string_view indexed;
    bool inIndex = index.Find(section, key, indexed);
    if (inIndex != inText || (inIndex && indexed != found))
        __builtin_trap();
    CheckFileReader(text, section, key, chars);

    std::string updated = SetProfileValue(text, section, key, value);
    if (!Writable(section, key, value))
        return 0;
    if (!FindProfileValue(updated, section, key, found) || found != Trim(value))
        __builtin_trap();
    if (SetProfileValue(updated, section, key, value) != updated)
        __builtin_trap();
    if (!SameName(section, otherSection) || !SameName(key, otherKey)) {
        std::string_view before, after;
        bool hadBefore = FindProfileValue(text, otherSection, otherKey, before);
        bool hasAfter = FindProfileValue(updated, otherSection, otherKey, after);
        if (hadBefore != hasAfter || (hadBefore && before != after))
            __builtin_trap();
    }
    return 0;
}

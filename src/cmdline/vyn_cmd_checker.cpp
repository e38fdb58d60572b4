#include "cmdline/vyn_cmd_checker.h"

#include "cmdline/cmd_line_parser.h"

bool VYNCmdChecker::HasRequiredParams() const {
    const CCmdLineParser& parser = GetCmdLineParser();
    return parser.HasValue(L"appid") && parser.HasValue(L"uin") && parser.HasValue(L"sig") &&
           parser.HasOption(L"nickname");
}

VYNCmdChecker* GetVYNCmdChecker() {
    static VYNCmdChecker* checker = new VYNCmdChecker();
    return checker;
}

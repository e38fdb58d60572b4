// The Linux entry point: rebuilds the command line that Windows would pass to the GUI entry
// point (the arguments without the program name, each quoted by the Windows rules and joined by
// single blanks) and runs the updater with it.
#include <string>

#include "app/updater_main.h"
#include "cmdline/cmd_line_parser.h"
#include "common/text.h"

int main(int argc, char** argv) {
    std::wstring commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            commandLine += L' ';
        commandLine += QuoteCommandLineArgument(ToWide(argv[i]), false);
    }
    static const int kInstancePlaceholder = 0;
    return UpdaterMain(&kInstancePlaceholder, commandLine.c_str());
}

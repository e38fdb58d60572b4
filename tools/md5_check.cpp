// Checks one file against a digest text with the installer's own file check (the MD5
// benchmark, trying a package by hand). Exits 0 when the file passes, 1 when it does not.
//   md5_check FILE EXPECTED_MD5
#include <cstdio>

#include "common/text.h"
#include "install/md5_check.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: md5_check FILE EXPECTED_MD5\n");
        return 2;
    }
    bool passed = CheckFileMd5(ToWide(argv[1]), ToWide(argv[2]));
    std::printf("%s\n", passed ? "pass" : "fail");
    return passed ? 0 : 1;
}

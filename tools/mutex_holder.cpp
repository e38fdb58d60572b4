// Holds a named mutex, as another updater or an install pass would, until its standard input
// closes or the given number of seconds has passed. Prints "held" once the mutex exists.
//   mutex_holder NAME SECONDS [owned]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/text.h"
#include "platform/named_mutex.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: mutex_holder NAME SECONDS [owned]\n");
        return 2;
    }
    bool alreadyExisted = false;
    platform::MutexHandle mutex =
        platform::CreateNamedMutex(ToWide(argv[1]), argc > 3, alreadyExisted);
    if (mutex == nullptr) {
        std::fprintf(stderr, "cannot create the mutex\n");
        return 1;
    }
    std::printf(alreadyExisted ? "existed\n" : "held\n");
    std::fflush(stdout);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
    // Reading stdin blocks until the test closes it; a watchdog thread ends the wait at the
    // deadline so that a forgotten holder never outlives its test for long.
    std::thread watchdog([deadline] {
        std::this_thread::sleep_until(deadline);
        std::_Exit(0);
    });
    watchdog.detach();
    while (std::getchar() != EOF) {
    }
    platform::CloseNamedMutex(mutex);
    return 0;
}

// kbflash on Windows: plays the lock-key LED pattern once and exits. It takes
// no arguments and reads no input. (Linux has its own main: main_linux.cpp.)
//
// Exit status: 0 after a complete run; 2 when the keyboard cannot be reached,
// with a message on standard error; a platform-specific non-zero status when
// a stop request ended it early (the lock keys are put back first). The GUI
// program starts it without waiting and never reads the status; it is there
// for scripts and tests.
#include "lock_keys.h"
#include "pattern.h"

#include <cstdio>

int main()
{
    std::string error;
    auto keys = kbflash::openLockKeys(error);
    if (!keys) {
        std::fprintf(stderr, "kbflash: %s\n", error.c_str());
        return 2;
    }
    const auto outcome = kbflash::playPattern(*keys);
    keys.reset(); // the backend undoes its own keyboard changes here
    return outcome == kbflash::Outcome::Done ? 0 : kbflash::interruptedExitStatus();
}

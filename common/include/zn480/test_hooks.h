/* The environment variables that point the programs at a test's stand-ins
 * instead of the system's own sources: ZN480_DEV_DIR (the folder of serial
 * nodes), ZN480_MOUNTS_FILE and ZN480_SYSFS_DIR (the mount table and /sys of
 * the drive scan) and TARVEX_STATE_FILE (where the window writes its state).
 *
 * They let the scan open and write to any character device linked into a
 * folder and the window write a file wherever it is told, which the tests and
 * the demo need and an installed program must not do on a user's say-so
 * through an inherited environment. So they are honoured only by builds made
 * with the CMake option TARVEX_TEST_HOOKS (on for the development and test
 * builds, off for the Debian package); elsewhere the programs read the
 * system's own sources whatever the environment says. (The Windows build
 * has only TARVEX_STATE_FILE, and its installer's build keeps the option on
 * as long as the test of the installed program reads the window through it.)
 *
 * C, so that serchan's port map can use it too. */
#ifndef ZN480_TEST_HOOKS_H
#define ZN480_TEST_HOOKS_H

#include <stdlib.h>

#ifndef ZN480_TEST_HOOKS
#error "ZN480_TEST_HOOKS must be defined (0 or 1): link the zn480_test_hooks target"
#endif

/* The value of test hook variable `name` when hooks are honoured and it is
 * set and not empty; otherwise NULL. */
static inline const char* zn480_test_hook(const char* name)
{
    const char* v = ZN480_TEST_HOOKS ? getenv(name) : NULL;
    return (v && *v) ? v : NULL;
}

#endif

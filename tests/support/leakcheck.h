#pragma once

// A sanitizer build looks for leaks when a program's main returns, once all
// that it made is gone, rather than during exit: Qt's D-Bus thread is only
// told to end by a destructor at exit, detached, and a look taken while it is
// still exiting finds its thread state unowned and calls it a leak.

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

inline int afterLeakCheck(int status)
{
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    return status;
}

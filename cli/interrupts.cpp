#include "interrupts.h"

#include <atomic>

namespace tarvexctl {

namespace {
// Lock-free, so the signal handler may touch it.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
} // namespace

bool interruptRequested()
{
    return requested.load();
}

void requestInterrupt()
{
    requested.store(true);
}

void clearInterrupt()
{
    requested.store(false);
}

} // namespace tarvexctl

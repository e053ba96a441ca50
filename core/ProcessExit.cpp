#include "ProcessExit.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace halvane {

namespace {

constexpr int MAX_ACTIONS = 8;

std::array<std::atomic<ExitAction>, MAX_ACTIONS> actions{};
std::atomic_int registered{0};

// Held from the first endProcess to the end of the process, so a second
// caller cannot end it before the first has run the actions.
std::mutex ending;

} // namespace

bool addExitAction(ExitAction action)
{
    int slot = registered.load();
    do {
        if (slot >= MAX_ACTIONS)
            return false;
    } while (!registered.compare_exchange_weak(slot, slot + 1));
    actions[static_cast<std::size_t>(slot)].store(action);
    return true;
}

void endProcess(int status)
{
    ending.lock();
    for (int slot = std::min(registered.load(), MAX_ACTIONS) - 1; slot >= 0; --slot) {
        if (ExitAction action = actions[static_cast<std::size_t>(slot)].load())
            action();
    }
    std::fflush(stdout);
    _exit(status);
}

} // namespace halvane

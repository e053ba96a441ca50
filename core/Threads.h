// Starting the process's long-lived worker threads without exceptions.
#pragma once

#include <functional>

namespace halvane {

// Runs `body` on a new detached thread. Returns false (and runs nothing) when
// the system cannot create the thread.
bool startDetachedThread(std::function<void()> body);

} // namespace halvane

// Ctrl-C and SIGTERM for the tools: the first asks the program to finish what
// it is sending (the unkey, the call's end) and stop; a second one ends it
// at once, should it hang.
#pragma once

#include <atomic>

namespace halvane {

// Set by the handler; polled by the program's loops.
extern std::atomic_bool stopRequested;

// Installs the handler for SIGINT and SIGTERM.
void installStopHandler();

} // namespace halvane

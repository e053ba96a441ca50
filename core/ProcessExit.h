// The one way Halvane ends its process once it runs: endProcess() runs the
// exit actions that parts of the program registered (restoring the console's
// terminal settings, for example), flushes standard output and ends with
// _exit, so no static destructor runs while worker threads still use the
// globals. The orderly exit, the fatal checks, the signal watcher and the end
// of an audio input file all come here, and so every action runs whichever
// way the process ends.
//
// Thread-safety: both functions may be called from any thread. When several
// threads end the process at once, the first runs the actions and ends it;
// the others wait for that. An action must not end the process itself, and
// it runs in ordinary thread context (never in an asynchronous signal
// handler), with other threads still running.
#pragma once

namespace halvane {

using ExitAction = void (*)();

// Registers `action` to run when the process ends; actions run newest first.
// Returns false (and registers nothing) when the table of eight is full.
bool addExitAction(ExitAction action);

// Runs the exit actions and ends the process with `status`.
[[noreturn]] void endProcess(int status);

} // namespace halvane

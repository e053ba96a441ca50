// Running shell commands on behalf of the configuration and the macros.
//
// Commands run through /bin/sh with the default signal mask and dispositions,
// whatever the calling thread has blocked, so a macro or an emulator started
// by Halvane can be stopped with SIGINT or SIGTERM like any other program.
// Thread-safety: both functions may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace halvane {

// Runs `command` with /bin/sh -c and waits for it. Returns the raw wait
// status as system() would, or -1 when the shell could not be started.
int runShellCommand(const std::string& command);

// The same with `parameters` as the shell's positional parameters ($1, $2,
// ...; $0 is "sh") and `variables` ("NAME=value") added to its environment,
// replacing any of the same name. This is how a text travels beside a
// command instead of inside it.
int runShellCommand(const std::string& command, const std::vector<std::string>& parameters,
                    const std::vector<std::string>& variables);

// Starts `command` with /bin/sh -c without waiting for it. Returns the
// child's process id, or -1 when the shell could not be started. The caller
// reaps the child (waitShellCommand) or lets it run on its own.
int startShellCommand(const std::string& command);

// Waits for a child started by startShellCommand; returns its raw wait status
// or -1.
int waitShellCommand(int pid);

// Returns the shell's expansion of `text` as it would be inside double
// quotes (variables, command substitutions, quoting), error output included,
// cut to 1023 characters. A text too long for the 1024-byte command line, or
// a shell that cannot be started, gives the empty text.
std::string shellReplace(const char* text);

} // namespace halvane

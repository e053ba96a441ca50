// Macros, the info record and shell commands: named commands from the ini
// file run on DTMF digits, commands and events, each with HVINFO naming the
// JSON file that describes the bridge's settings.
//
// Ownership and lifetime: owned by the bridge for the whole process.
// Thread-safety: any thread (the encode thread for USRP-side commands, the
// decode thread for partner commands and events).
#pragma once

#include <string>

class MacroRunner {
public:
    MacroRunner() = default;
    MacroRunner(const MacroRunner&) = delete;
    MacroRunner& operator=(const MacroRunner&) = delete;

    // Builds the info record, rewrites its file and returns "INFO:{...}".
    std::string getInfoAsJson();

    // Runs one command through the shell; returns the shell's wait status.
    int executeSystemCommand(const std::string& command);

    // Runs the macro named in a command text (after its one-character
    // prefix); true when a macro ran.
    bool executeMacroCommand(const char* text, bool reportMissing);

    // Runs every macro called `name` with `arg` (event macros).
    void executeMacroCommand(const char* name, const char* arg);
};

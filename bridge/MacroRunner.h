// Macros, the info record and shell commands: named commands from the ini
// file run on DTMF digits, commands and events, each with HVINFO naming the
// JSON file that describes the bridge's settings.
//
// The macro store is `servers.macros` (filled at start-up, never changed
// afterwards): names compare exactly, in the order of the ini file, and a
// repeated name is a second macro. A macro's command is the operator's text
// and runs as written; what a peer adds to it (the argument words of a
// command text, the text of an event or of DTMF digits) never becomes part
// of it: it reaches the shell as parameters, referred to in a way that suits
// the place it takes in the command, and a place that cannot be proven safe
// runs nothing (ShellQuote.h). A peer cannot run more than the operator
// configured. Commands run through /bin/sh with signals
// unblocked and block the calling thread until the shell returns.
//
// Ownership and lifetime: owned by the bridge for the whole process.
// Thread-safety: any thread (the encode thread for USRP-side commands, the
// decode thread for partner commands and events). Building the info record
// and writing its file are serialised, so two threads never interleave in
// the file; HVINFO is set under a lock too.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

namespace halvane {

class MacroRunner {
public:
    // Longest command text read by executeMacroCommand(text, ...).
    static constexpr std::size_t MACRO_TEXT_MAX = 523;
    // Longest command formed for a macro of a command text (a 128-byte
    // buffer); a longer one is refused with a log line.
    static constexpr std::size_t MACRO_COMMAND_MAX = 127;
    // Longest command formed for an event macro.
    static constexpr std::size_t EVENT_COMMAND_MAX = 1023;
    // Longest info record, "INFO:" included (a 1024-byte buffer). Longer
    // texts in it are cut so that the record stays whole JSON.
    static constexpr std::size_t INFO_MAX = 1023;

    // Sets HVINFO for the configured USRP port, so that it is in place
    // before any other thread starts.
    MacroRunner();
    MacroRunner(const MacroRunner&) = delete;
    MacroRunner& operator=(const MacroRunner&) = delete;

    // "/tmp/HVInfo_<usrpRxPort>.json".
    static std::string infoFilePath();

    // Builds the info record from the settings, rewrites its file, logs it
    // at the debug level and returns "INFO:{...}". Every value is a JSON
    // string; texts are escaped. The file holds the JSON without "INFO:" and
    // without a line end, with the health record (HealthRecord.h) added as
    // its last member "health"; it is replaced whole, so a script reading it
    // never sees half a record, and skipped when it cannot be written.
    std::string getInfoAsJson();
    // Rewrites the file alone, without the log line (the periodic refresh).
    void refreshInfoFile();
    // Removes the file for good (the process is ending: a stale record would
    // tell scripts that the bridge still runs); a refresh racing the exit on
    // another thread writes nothing after it.
    void removeInfoFile();

    // Runs one command through the shell with HVINFO set, logs "Macro result
    // was %d" and returns the raw wait status (-1 when no shell started).
    int executeSystemCommand(const std::string& command);

    // Runs the macro named in a command text: the first character is the
    // caller's prefix ('*'), every '#' counts as a blank, the name follows
    // (after any blanks) and the words after it are the arguments, passed
    // as "$@" after the command. Only the first macro of that name runs. Returns true when a
    // macro of that name exists (it ran, or its command was too long and was
    // refused); false when the text names none, with a log line when
    // `reportMissing`.
    bool executeMacroCommand(const char* text, bool reportMissing);

    // Runs every macro called `name`, in order, with `arg` referred to in
    // place of the first "%s" of its command; nothing else in the command is
    // interpreted. A macro where the text cannot be passed safely is logged
    // and skipped. Nothing runs and nothing is logged when there is none.
    void executeMacroCommand(const char* name, const char* arg);

private:
    std::mutex infoMutex_; // one record build and file write at a time
    bool infoRemoved_ = false; // guarded by infoMutex_
};

} // namespace halvane

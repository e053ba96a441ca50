// The ini configuration file: reading it into the settings record `servers`,
// and the small value parsers that text commands share with it.
//
// The file is parsed by inih; `handler` is its per-key callback. Sections and
// keys are matched without regard to case. Values are strict: a number must
// be whole (or, for a gain, a plain decimal number) and within its key's
// range, a flag one of true/false, yes/no, 1/0 (any case), a name one of its
// key's names, an address no longer than its field; anything else is a parse
// error naming the file, line, section and key. The parsers that text
// commands share (parseMute and the others below) keep their lenient reading.
// Thread-safety: readConfigFile runs once at start-up before other threads
// exist; the parsers may run on any thread.
#pragma once

#include "dv3000_servers.h"

#include <optional>
#include <string>
#include <vector>

namespace halvane {

// What handler receives as its `user` pointer: the record being filled and
// the chain of files being read (so an include cannot include itself).
struct ConfigContext {
    dv3000_servers* settings = nullptr;
    std::vector<std::string> openFiles;
    // The file being read and the line the parser is at, for messages.
    std::string path;
    int line = 0;
    // Values refused so far, in every file.
    int badValues = 0;
};

// Parses `path` into `servers` and returns 0, or logs why the file cannot be
// used and returns the exit status: 253 for a missing, unreadable or invalid
// file (or a path longer than 127 characters), 254 for equal repeater and
// gateway IDs.
int loadConfigFile(const char* path);

// loadConfigFile, ending the process with its status when that is not 0.
// The caller copies the audio device names into its audio options.
int readConfigFile(const char* path);

// The inih callback: returns 1 when the line was accepted, 0 when not.
int handler(void* user, const char* section, const char* name, const char* value);

// A whole decimal number from `min` to `max`: digits, with a '-' in front
// only where `min` is negative, nothing else; nothing otherwise.
std::optional<long long> parseWhole(const char* text, long long min, long long max);

// true, yes, 1 or false, no, 0 in any case; nothing otherwise.
std::optional<bool> parseFlag(const char* text);

// Mute mode number for "OFF", "USRP", "TLV" or "BOTH" (any case); 0 and a
// message otherwise.
int parseMute(const char* text);

// Audio shaping mode number for "AUDIO_UNITY", "AUDIO_USE_GAIN",
// "AUDIO_USE_AGC" or "AUDIO_USE_BPF" (any case); 0 and a message otherwise.
int parseAudio(const char* text);

// "threshold|slope|decay" (or with commas); a missing number counts as 0 and
// hang is always false.
AgcSettings parseAgc(const char* text);

// Comma-separated ports, each a whole number from 1 to 65535: empty items
// are skipped, a shorter list than 16 ends with a 0. Nothing when an item is
// not a port, or for no port or more than 16.
std::optional<PortList> parsePortList(const char* text);

// Frame size in bits of a digital mode name ("DMR", "P25", ...; any case),
// with the name's stored form; false for an unknown name.
bool lookupAmbeMode(const char* name, int& size, const char*& canonical);

// Text of a shaping or mute mode number, as the info record shows it.
const char* audioModeName(int mode);
const char* muteModeName(int mode);

// The monitorASLAudio setting: open the local sound card at start-up.
bool getAudioEnabled();

} // namespace halvane

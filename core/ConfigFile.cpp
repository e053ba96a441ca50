#include "ConfigFile.h"

#include "Log.h"
#include "Shell.h"
#include "Version.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ini.h>
#include <strings.h>
#include <sys/stat.h>

namespace halvane {

namespace {

// Section and key names longer than this are cut before matching.
constexpr std::size_t NAME_MAX_CHARS = 49;
// Includes nest at most this deep, whatever the files are called.
constexpr std::size_t MAX_INCLUDE_DEPTH = 16;

struct ModeName {
    const char* name;
    int size;
};

const ModeName MODES[] = {
    {"DMR", 72},  {"YSFN", 72},     {"NXDN", 72}, {"P25", 88}, {"YSFW", 88},
    {"DSTAR", 48}, {"DMR_IPSC", 49}, {"YSF", 72},  {"ASL", 0},  {"STFU", 72},
};

const char* const AUDIO_NAMES[] = {"AUDIO_UNITY", "AUDIO_USE_GAIN", "AUDIO_USE_AGC", "AUDIO_USE_BPF"};
const char* const MUTE_NAMES[] = {"OFF", "USRP", "TLV", "BOTH"};

int toInt(const char* value)
{
    long n = std::strtol(value, nullptr, 10);
    return static_cast<int>(std::clamp<long>(n, INT_MIN, INT_MAX));
}

int lookupName(const char* text, const char* const* names, int count)
{
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(text, names[i]) == 0)
            return i;
    }
    return -1;
}

// Sets a field from the value; false (and nothing changed) when the value is
// not one the key takes.
using Setter = bool (*)(dv3000_servers&, const char* value);

// One key of one section. `deprecated` is the level of the deprecation
// message (0 for a current key); `expected` says what the key takes, for the
// message about a value it does not.
struct KeyDef {
    const char* section;
    const char* key;
    int deprecated;
    Setter set;
    const char* expected;
};

template <std::atomic_int dv3000_servers::*Field, int Min, int Max>
bool setWhole(dv3000_servers& s, const char* value)
{
    std::optional<long long> n = parseWhole(value, Min, Max);
    if (n)
        (s.*Field) = static_cast<int>(*n);
    return n.has_value();
}

template <std::atomic_bool dv3000_servers::*Field>
bool setFlag(dv3000_servers& s, const char* value)
{
    std::optional<bool> flag = parseFlag(value);
    if (flag)
        (s.*Field) = *flag;
    return flag.has_value();
}

// A text that does not fit its field would be cut into another address or
// path than the one written.
template <auto Field>
bool setText(dv3000_servers& s, const char* value)
{
    auto& field = s.*Field;
    if (std::strlen(value) > field.maxLength)
        return false;
    field.set(value);
    return true;
}

template <std::atomic<float> dv3000_servers::*Field>
bool setGain(dv3000_servers& s, const char* value)
{
    char* end = nullptr;
    errno = 0;
    const float gain = std::strtof(value, &end);
    if (end == value || *end != '\0' || errno != 0 || !std::isfinite(gain) || gain < 0.0f || gain > 100.0f)
        return false;
    (s.*Field) = gain;
    return true;
}

// The items of `text` between any of the `separators`, empty ones included.
std::vector<std::string> split(std::string_view text, const char* separators)
{
    std::vector<std::string> items;
    for (;;) {
        const std::size_t at = text.find_first_of(separators);
        items.emplace_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return items;
        text.remove_prefix(at + 1);
    }
}

template <Guarded<PortList> dv3000_servers::*Field>
bool setPorts(dv3000_servers& s, const char* value)
{
    std::optional<PortList> ports = parsePortList(value);
    if (ports)
        (s.*Field).set(*ports);
    return ports.has_value();
}

bool setAmbeMode(dv3000_servers& s, const char* value)
{
    int size = 0;
    const char* canonical = nullptr;
    if (!lookupAmbeMode(value, size, canonical))
        return false;
    s.ambeMode.set(canonical);
    s.ambeSize = size;
    return true;
}

bool setAmbeSize(dv3000_servers& s, const char* value)
{
    std::optional<long long> size = parseWhole(value, 0, 88);
    if (!size || (*size != 48 && *size != 49 && *size != 72 && *size != 88))
        return false;
    s.ambeSize = static_cast<int>(*size);
    s.ambeMode.set(*size == 48 ? "DSTAR" : *size == 49 ? "DMR_IPSC" : "UNKNOWN");
    return true;
}

template <std::atomic_int dv3000_servers::*Field>
bool setAudioMode(dv3000_servers& s, const char* value)
{
    const int mode = lookupName(value, AUDIO_NAMES, 4);
    if (mode >= 0)
        (s.*Field) = mode;
    return mode >= 0;
}

bool setMute(dv3000_servers& s, const char* value)
{
    const int mode = lookupName(value, MUTE_NAMES, 4);
    if (mode >= 0)
        s.mute = mode;
    return mode >= 0;
}

// "threshold|slope|decay" (or with commas): one to three whole numbers, a
// missing or empty one counting as 0.
bool setAgc(dv3000_servers& s, const char* value)
{
    const std::vector<std::string> items = split(value, "|,");
    if (items.size() > 3 || items[0].empty())
        return false;
    int numbers[3] = {0, 0, 0};
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].empty())
            continue;
        std::optional<long long> n = parseWhole(items[i].c_str(), -100000, 100000);
        if (!n)
            return false;
        numbers[i] = static_cast<int>(*n);
    }
    s.usrpAgc.set(AgcSettings{false, numbers[0], numbers[1], numbers[2]});
    return true;
}

bool setBaud(dv3000_servers& s, const char* value)
{
    std::optional<long long> baud = parseWhole(value, 230400, 460800);
    if (!baud || (*baud != 230400 && *baud != 460800))
        return false;
    s.dv3000Baud = static_cast<int>(*baud);
    return true;
}

bool setVoxDecay(dv3000_servers& s, const char* value)
{
    std::optional<long long> seconds = parseWhole(value, 0, 3600);
    if (seconds)
        s.voxDecay = static_cast<int>(*seconds * 50);
    return seconds.has_value();
}

bool setThreshold(const char* value, void (*apply)(int))
{
    std::optional<long long> level = parseWhole(value, 0, 6);
    if (level)
        apply(static_cast<int>(*level));
    return level.has_value();
}

using S = dv3000_servers;

constexpr const char* PORT = "a port number from 1 to 65535";
constexpr const char* PORTS = "1 to 16 port numbers from 1 to 65535, separated by commas";
constexpr const char* FLAG = "true, false, yes, no, 1 or 0";
constexpr const char* ADDRESS = "a host name or address of at most 63 characters";
constexpr const char* GAIN = "a number from 0 to 100";
constexpr const char* AUDIO_MODE = "AUDIO_UNITY, AUDIO_USE_GAIN, AUDIO_USE_AGC or AUDIO_USE_BPF";
constexpr const char* LEVEL = "a whole number from 0 to 6";
constexpr const char* TEXT = "a text";

const KeyDef KEYS[] = {
    {"AMBE_AUDIO", "server", 6, setText<&S::tlvAddress>, ADDRESS},
    {"AMBE_AUDIO", "Address", 0, setText<&S::tlvAddress>, ADDRESS},
    {"AMBE_AUDIO", "fromDMRPort", 6, setWhole<&S::tlvRxPort, 1, 65535>, PORT},
    {"AMBE_AUDIO", "RXPort", 0, setWhole<&S::tlvRxPort, 1, 65535>, PORT},
    {"AMBE_AUDIO", "toDMRPort", 6, setPorts<&S::tlvTxPorts>, PORTS},
    {"AMBE_AUDIO", "TXPort", 0, setPorts<&S::tlvTxPorts>, PORTS},
    {"AMBE_AUDIO", "ambeSize", 0, setAmbeSize, "48, 49, 72 or 88"},
    {"AMBE_AUDIO", "ambeMode", 0, setAmbeMode, "DMR, YSFN, NXDN, P25, YSFW, DSTAR, DMR_IPSC, YSF, ASL or STFU"},
    {"AMBE_AUDIO", "minTxTimeMS", 0, setWhole<&S::minTxTimeMS, 0, 60000>, "a whole number from 0 to 60000"},
    // The source ID travels in 3 bytes, the repeater ID in 4 (9-digit
    // hotspot and repeater IDs fit), the talk group in 3, slot and colour
    // code in one each.
    {"AMBE_AUDIO", "gatewayDmrId", 0, setWhole<&S::gatewayDmrId, 0, 16777215>, "a whole number from 0 to 16777215"},
    {"AMBE_AUDIO", "repeaterID", 0, setWhole<&S::repeaterID, 0, INT_MAX>, "a whole number from 0 to 2147483647"},
    {"AMBE_AUDIO", "txTg", 0, setWhole<&S::txTg, 0, 16777215>, "a whole number from 0 to 16777215"},
    {"AMBE_AUDIO", "txTs", 0, setWhole<&S::txTs, 0, 255>, "a whole number from 0 to 255"},
    {"AMBE_AUDIO", "colorCode", 0, setWhole<&S::colorCode, 0, 255>, "a whole number from 0 to 255"},
    {"AMBE_AUDIO", "acceptAnySource", 0, setFlag<&S::tlvAnySource>, FLAG},

    {"USRP", "server", 6, setText<&S::usrpAddress>, ADDRESS},
    {"USRP", "Address", 0, setText<&S::usrpAddress>, ADDRESS},
    {"USRP", "toASLPort", 6, setPorts<&S::usrpTxPorts>, PORTS},
    {"USRP", "fromASLPort", 6, setWhole<&S::usrpRxPort, 1, 65535>, PORT},
    {"USRP", "TXPort", 0, setPorts<&S::usrpTxPorts>, PORTS},
    {"USRP", "RXPort", 0, setWhole<&S::usrpRxPort, 1, 65535>, PORT},
    {"USRP", "pingTimer", 0, setWhole<&S::pingTimer, 1, 3600>, "a whole number of seconds from 1 to 3600"},
    {"USRP", "usrpAudio", 0, setAudioMode<&S::usrpAudio>, AUDIO_MODE},
    {"USRP", "aslAudio", 4, setAudioMode<&S::usrpAudio>, AUDIO_MODE},
    {"USRP", "agcGain", 4, setGain<&S::usrpGain>, GAIN},
    {"USRP", "usrpGain", 0, setGain<&S::usrpGain>, GAIN},
    {"USRP", "tlvAudio", 0, setAudioMode<&S::tlvAudio>, AUDIO_MODE},
    {"USRP", "dmrAudio", 4, setAudioMode<&S::tlvAudio>, AUDIO_MODE},
    {"USRP", "dmrGain", 4, setGain<&S::tlvGain>, GAIN},
    {"USRP", "tlvGain", 0, setGain<&S::tlvGain>, GAIN},
    {"USRP", "usrpAgc", 0, setAgc, "threshold|slope|decay: one to three whole numbers"},
    {"USRP", "tlvAgc", 0,
     [](S&, const char*) {
         Log(3, "Command not implemented yet\n");
         return true;
     },
     TEXT},
    {"USRP", "acceptAnySource", 0, setFlag<&S::usrpAnySource>, FLAG},

    {"DV3000", "server", 6, setText<&S::dv3000Address>, ADDRESS},
    {"DV3000", "Address", 0, setText<&S::dv3000Address>, ADDRESS},
    {"DV3000", "serial", 0, setFlag<&S::dv3000Serial>, FLAG},
    {"DV3000", "port", 6, setWhole<&S::dv3000Port, 1, 65535>, PORT},
    {"DV3000", "RXPort", 0, setWhole<&S::dv3000Port, 1, 65535>, PORT},
    {"DV3000", "baud", 0, setBaud, "230400 or 460800"},
    {"DV3000", "replyTimeoutMS", 0, setWhole<&S::dv3000ReplyTimeoutMS, 20, 5000>, "a whole number from 20 to 5000"},

    {"GENERAL", "inputAudioDevice", 0, setText<&S::inputAudioDevice>, TEXT},
    {"GENERAL", "outputAudioDevice", 0, setText<&S::outputAudioDevice>, TEXT},
    {"GENERAL", "decoderFallBack", 0, setFlag<&S::decoderFallBack>, FLAG},
    {"GENERAL", "useEmulator", 0, setFlag<&S::useEmulator>, FLAG},
    {"GENERAL", "emulatorAddress", 0, setText<&S::emulatorAddress>, TEXT},
    {"GENERAL", "useMicrophone", 0, setFlag<&S::useMicrophone>, FLAG},
    {"GENERAL", "monitorASLAudio", 0, setFlag<&S::monitorASLAudio>, FLAG},
    {"GENERAL", "useVox", 0, setFlag<&S::useVox>, FLAG},
    {"GENERAL", "voxDecay", 0, setVoxDecay, "a whole number of seconds from 0 to 3600"},
    {"GENERAL", "voxTrigger", 0, setWhole<&S::voxTrigger, 0, 32767>, "a whole number from 0 to 32767"},
    {"GENERAL", "logLevel", 0, [](S&, const char* v) { return setThreshold(v, setLogLevel); }, LEVEL},
    {"GENERAL", "logFileLevel", 0, [](S&, const char* v) { return setThreshold(v, setFileLogLevel); }, LEVEL},
    {"GENERAL", "logStdoutLevel", 0, [](S&, const char* v) { return setThreshold(v, setStdoutLogLevel); }, LEVEL},
    {"GENERAL", "logDestination", 0,
     [](S&, const char* v) {
         std::optional<LogDestination> destination = parseLogDestination(v);
         if (destination)
             setLogDestination(*destination);
         return destination.has_value();
     },
     "file, stdout (or journal) or both"},
    {"GENERAL", "subscriberFile", 0, setText<&S::subscriberFile>, TEXT},
    {"GENERAL", "transferRootDir", 0, setText<&S::transferRootDir>, TEXT},
    {"GENERAL", "macroListDir", 0, setText<&S::macroListDir>, TEXT},
    {"GENERAL", "exportMetadata", 0, setFlag<&S::exportMetadata>, FLAG},
    {"GENERAL", "mute", 0, setMute, "OFF, USRP, TLV or BOTH"},
    {"GENERAL", "PCMPort", 0, setWhole<&S::pcmPort, 0, 65535>, "0 (off) or a port number from 1 to 65535"},
    {"GENERAL", "usrpPacing", 0, setFlag<&S::usrpPacing>, FLAG},
    {"GENERAL", "usrpPacingTargetMS", 0, setWhole<&S::usrpPacingTargetMS, 40, 1000>, "a whole number from 40 to 1000"},
    {"GENERAL", "remoteControlAddress", 0, setText<&S::remoteControlAddress>, ADDRESS},
    {"GENERAL", "remoteControlPort", 0, setWhole<&S::remoteControlPort, 1, 65535>, PORT},
    {"GENERAL", "remoteControlReplyPort", 0, setWhole<&S::remoteControlReplyPort, 1, 65535>, PORT},
};

// Lines hold 200 bytes with the line end and the terminating NUL.
constexpr std::size_t LINE_MAX_CHARS = 198;

// Number of the first line longer than the parser takes, or 0. The parser
// would cut such a line, hand the cut value over and blame the next line, so
// the file is refused before anything of it is applied.
int firstOverlongLine(const char* path)
{
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return 0;
    int line = 1;
    std::size_t length = 0;
    int found = 0;
    for (int c; found == 0 && (c = std::fgetc(file)) != EOF;) {
        if (c == '\n') {
            ++line;
            length = 0;
        } else if (++length > LINE_MAX_CHARS) {
            found = line;
        }
    }
    std::fclose(file);
    return found;
}

// The parser's line reader, counting lines so that a message about a value
// can name its line.
struct LineReader {
    FILE* file;
    ConfigContext& context;
};

char* readLine(char* text, int size, void* stream)
{
    auto* reader = static_cast<LineReader*>(stream);
    char* line = std::fgets(text, size, reader->file);
    if (line != nullptr)
        ++reader->context.line;
    return line;
}

// Parses one file (the top-level one or an include) with `handler`.
// Returns what ini_parse would: 0, -1 when the file cannot be opened, or the
// first failing line; or -2 for an include that would loop.
int parseFile(ConfigContext& context, const char* path)
{
    char resolved[PATH_MAX];
    std::string key = realpath(path, resolved) != nullptr ? resolved : path;
    if (std::find(context.openFiles.begin(), context.openFiles.end(), key) != context.openFiles.end() ||
        context.openFiles.size() >= MAX_INCLUDE_DEPTH)
        return -2;
    if (int line = firstOverlongLine(path); line != 0) {
        Log(5, "Line %d of \"%s\" is longer than %zu characters\n", line, path, LINE_MAX_CHARS);
        return line;
    }
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return -1;
    const std::string outerPath = context.path;
    const int outerLine = context.line;
    context.path = path;
    context.line = 0;
    context.openFiles.push_back(key);
    LineReader reader{file, context};
    const int result = ini_parse_stream(readLine, &reader, handler, &context);
    context.openFiles.pop_back();
    context.path = outerPath;
    context.line = outerLine;
    std::fclose(file);
    return result;
}

enum class KeyResult { Accepted, Unknown, BadValue };

KeyResult handleKey(ConfigContext& context, const char* section, const char* name, const char* value)
{
    dv3000_servers& s = *context.settings;

    if (section[0] == '\0' && strcasecmp(name, "include") == 0) {
        const int badBefore = context.badValues;
        int result = parseFile(context, value);
        if (result == -2)
            Log(5, "Include file %s is already being read (an include loop), ignored\n", value);
        else if (result < 0)
            Log(5, "Include file %s not found\n", value);
        // Unknown keys in an included file leave the include line standing;
        // a bad value, already reported with its own file and line, does not.
        return context.badValues == badBefore ? KeyResult::Accepted : KeyResult::BadValue;
    }

    for (const KeyDef& key : KEYS) {
        if (strcasecmp(section, key.section) != 0 || strcasecmp(name, key.key) != 0)
            continue;
        if (key.deprecated != 0)
            Log(key.deprecated, "Using deprecated option \"%s\"\n", name);
        if (key.set(s, value))
            return KeyResult::Accepted;
        ++context.badValues;
        // inih takes only ';' as a comment after a value: a '#' there is part
        // of the value, which is the likeliest reason for this message.
        Log(5, "Invalid value \"%s\" for [%s] %s in \"%s\" line %d: expected %s%s\n", value, section, name,
            context.path.c_str(), context.line, key.expected,
            std::strchr(value, '#') != nullptr ? " (a comment after a value starts with ';')" : "");
        return KeyResult::BadValue;
    }

    if (strcasecmp(section, "MACROS") == 0) {
        if (strncasecmp(name, "var ", 4) == 0) {
            std::string expanded = shellReplace(value);
            setenv(name + 4, expanded.c_str(), 1);
        } else {
            s.macros.push_back(Macro{name, value});
        }
        return KeyResult::Accepted;
    }
    return KeyResult::Unknown;
}

} // namespace

int handler(void* user, const char* section, const char* name, const char* value)
{
    auto& context = *static_cast<ConfigContext*>(user);
    // inih cuts section names itself but hands over key names whole.
    char key[NAME_MAX_CHARS + 1];
    std::snprintf(key, sizeof(key), "%s", name);

    switch (handleKey(context, section, key, value)) {
    case KeyResult::Accepted:
        Log(2, "Setting [%s] %s -> %s\n", section, key, value);
        return 1;
    case KeyResult::BadValue:
        return 0;
    case KeyResult::Unknown:
        break;
    }
    if (strcasecmp(key, "COMMENT") == 0) {
        Log(2, "%s\n", value);
        return 1;
    }
    Log(4, "Unknown section/name in .ini file: %s/%s\n", section, key);
    return 0;
}

int loadConfigFile(const char* path)
{
    if (std::strlen(path) > 127) {
        Log(5, "%s, ini file path \"%.60s...\" is longer than 127 characters.  Fatal error exiting\n", APP_NAME,
            path);
        return 253;
    }
    servers.setDefaults();
    // A directory opens like a file but reads as empty: treat it as missing
    // rather than start with every setting at its default.
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        Log(5, "%s, ini file \"%s\" was not found.  Fatal error exiting\n", APP_NAME, path);
        return 253;
    }
    ConfigContext context;
    context.settings = &servers;
    int result = parseFile(context, path);
    if (result < 0) {
        Log(5, "%s, ini file \"%s\" was not found.  Fatal error exiting\n", APP_NAME, path);
        return 253;
    }
    if (result > 0) {
        Log(5, "%s, parse error in file \"%s\" line %d.  Fatal error exiting\n", APP_NAME, path, result);
        return 253;
    }
    if (servers.repeaterID == servers.gatewayDmrId) {
        Log(6, "Repeater ID (%d) can not be the same as subscriber ID (%d). Fatal error exiting\n",
            servers.repeaterID.load(), servers.repeaterID.load());
        return 254;
    }
    return 0;
}

int readConfigFile(const char* path)
{
    int status = loadConfigFile(path);
    if (status != 0)
        std::exit(status);
    return 0;
}

std::optional<long long> parseWhole(const char* text, long long min, long long max)
{
    const char* end = text + std::strlen(text);
    long long value = 0;
    const auto [stop, error] = std::from_chars(text, end, value, 10);
    if (error != std::errc() || stop != end || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<bool> parseFlag(const char* text)
{
    for (const char* yes : {"true", "yes", "1"}) {
        if (strcasecmp(text, yes) == 0)
            return true;
    }
    for (const char* no : {"false", "no", "0"}) {
        if (strcasecmp(text, no) == 0)
            return false;
    }
    return std::nullopt;
}

int parseMute(const char* text)
{
    int mode = lookupName(text, MUTE_NAMES, 4);
    if (mode < 0) {
        Log(5, "Invalid MUTE mode: %s (OFF|USRP|TLV|BOTH)\n", text);
        return 0;
    }
    return mode;
}

int parseAudio(const char* text)
{
    int mode = lookupName(text, AUDIO_NAMES, 4);
    if (mode < 0) {
        Log(5, "Invalid AUDIO mode: %s (AUDIO_UNITY|AUDIO_USE_AGC|AUDIO_USE_GAIN|AUDIO_USE_BPF)\n", text);
        return 0;
    }
    return mode;
}

AgcSettings parseAgc(const char* text)
{
    AgcSettings agc;
    agc.hang = false;
    int* fields[] = {&agc.threshold, &agc.slope, &agc.decay};
    const char* p = text;
    for (int* field : fields) {
        // Each number ends at the next separator; an empty or missing one is 0.
        *field = toInt(p);
        p = std::strpbrk(p, "|,");
        if (p == nullptr) {
            p = "";
            continue;
        }
        ++p;
    }
    return agc;
}

std::optional<PortList> parsePortList(const char* text)
{
    PortList ports{};
    std::size_t count = 0;
    for (const std::string& item : split(text, ",")) {
        if (item.empty())
            continue;
        std::optional<long long> port = parseWhole(item.c_str(), 1, 65535);
        if (!port || count == ports.size())
            return std::nullopt;
        ports[count++] = static_cast<int>(*port);
    }
    if (count == 0)
        return std::nullopt;
    return ports;
}

bool lookupAmbeMode(const char* name, int& size, const char*& canonical)
{
    for (const ModeName& mode : MODES) {
        if (strcasecmp(name, mode.name) == 0) {
            size = mode.size;
            canonical = mode.name;
            return true;
        }
    }
    return false;
}

const char* audioModeName(int mode)
{
    return mode >= 0 && mode < 4 ? AUDIO_NAMES[mode] : "AUDIO_UNITY";
}

const char* muteModeName(int mode)
{
    return mode >= 0 && mode < 4 ? MUTE_NAMES[mode] : "OFF";
}

bool getAudioEnabled()
{
    return servers.monitorASLAudio;
}

} // namespace halvane

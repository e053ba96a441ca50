#include "ConfigFile.h"

#include "Log.h"
#include "Shell.h"
#include "Version.h"

#include <algorithm>
#include <cerrno>
#include <climits>
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

bool toBool(const char* value)
{
    return strcasecmp(value, "true") == 0;
}

int lookupName(const char* text, const char* const* names, int count)
{
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(text, names[i]) == 0)
            return i;
    }
    return -1;
}

using Setter = void (*)(dv3000_servers&, const char* value);

// One key of one section. `deprecated` is the level of the deprecation
// message (0 for a current key).
struct KeyDef {
    const char* section;
    const char* key;
    int deprecated;
    Setter set;
};

void setAmbeMode(dv3000_servers& s, const char* value)
{
    int size = 0;
    const char* canonical = nullptr;
    if (!lookupAmbeMode(value, size, canonical)) {
        Log(5, "Invalid AMBE mode: %s, so using DMR\n", value);
        return;
    }
    s.ambeMode.set(canonical);
    s.ambeSize = size;
}

void setAmbeSize(dv3000_servers& s, const char* value)
{
    int size = toInt(value);
    s.ambeSize = size;
    s.ambeMode.set(size == 48 ? "DSTAR" : size == 49 ? "DMR_IPSC" : "UNKNOWN");
}

void setUsrpAudio(dv3000_servers& s, const char* v) { s.usrpAudio = parseAudio(v); }
void setTlvAudio(dv3000_servers& s, const char* v) { s.tlvAudio = parseAudio(v); }
void setUsrpGain(dv3000_servers& s, const char* v) { s.usrpGain = std::strtof(v, nullptr); }
void setTlvGain(dv3000_servers& s, const char* v) { s.tlvGain = std::strtof(v, nullptr); }
void setTlvAddress(dv3000_servers& s, const char* v) { s.tlvAddress.set(v); }
void setTlvRxPort(dv3000_servers& s, const char* v) { s.tlvRxPort = toInt(v); }
void setTlvTxPorts(dv3000_servers& s, const char* v) { s.tlvTxPorts.set(parseTxPorts(v)); }
void setUsrpAddress(dv3000_servers& s, const char* v) { s.usrpAddress.set(v); }
void setUsrpRxPort(dv3000_servers& s, const char* v) { s.usrpRxPort = toInt(v); }
void setUsrpTxPorts(dv3000_servers& s, const char* v) { s.usrpTxPorts.set(parseTxPorts(v)); }
void setDv3000Address(dv3000_servers& s, const char* v) { s.dv3000Address.set(v); }
void setDv3000Port(dv3000_servers& s, const char* v) { s.dv3000Port = toInt(v); }

const KeyDef KEYS[] = {
    {"AMBE_AUDIO", "server", 6, setTlvAddress},
    {"AMBE_AUDIO", "Address", 0, setTlvAddress},
    {"AMBE_AUDIO", "fromDMRPort", 6, setTlvRxPort},
    {"AMBE_AUDIO", "RXPort", 0, setTlvRxPort},
    {"AMBE_AUDIO", "toDMRPort", 6, setTlvTxPorts},
    {"AMBE_AUDIO", "TXPort", 0, setTlvTxPorts},
    {"AMBE_AUDIO", "ambeSize", 0, setAmbeSize},
    {"AMBE_AUDIO", "ambeMode", 0, setAmbeMode},
    {"AMBE_AUDIO", "minTxTimeMS", 0, [](dv3000_servers& s, const char* v) { s.minTxTimeMS = toInt(v); }},
    {"AMBE_AUDIO", "gatewayDmrId", 0, [](dv3000_servers& s, const char* v) { s.gatewayDmrId = toInt(v); }},
    {"AMBE_AUDIO", "repeaterID", 0, [](dv3000_servers& s, const char* v) { s.repeaterID = toInt(v); }},
    {"AMBE_AUDIO", "txTg", 0, [](dv3000_servers& s, const char* v) { s.txTg = toInt(v); }},
    {"AMBE_AUDIO", "txTs", 0, [](dv3000_servers& s, const char* v) { s.txTs = toInt(v); }},
    {"AMBE_AUDIO", "colorCode", 0, [](dv3000_servers& s, const char* v) { s.colorCode = toInt(v); }},

    {"USRP", "server", 6, setUsrpAddress},
    {"USRP", "Address", 0, setUsrpAddress},
    {"USRP", "toASLPort", 6, setUsrpTxPorts},
    {"USRP", "fromASLPort", 6, setUsrpRxPort},
    {"USRP", "TXPort", 0, setUsrpTxPorts},
    {"USRP", "RXPort", 0, setUsrpRxPort},
    {"USRP", "pingTimer", 0, [](dv3000_servers& s, const char* v) { s.pingTimer = toInt(v); }},
    {"USRP", "usrpAudio", 0, setUsrpAudio},
    {"USRP", "aslAudio", 4, setUsrpAudio},
    {"USRP", "agcGain", 4, setUsrpGain},
    {"USRP", "usrpGain", 0, setUsrpGain},
    {"USRP", "tlvAudio", 0, setTlvAudio},
    {"USRP", "dmrAudio", 4, setTlvAudio},
    {"USRP", "dmrGain", 4, setTlvGain},
    {"USRP", "tlvGain", 0, setTlvGain},
    {"USRP", "usrpAgc", 0, [](dv3000_servers& s, const char* v) { s.usrpAgc.set(parseAgc(v)); }},
    {"USRP", "tlvAgc", 0, [](dv3000_servers&, const char*) { Log(3, "Command not implemented yet\n"); }},

    {"DV3000", "server", 6, setDv3000Address},
    {"DV3000", "Address", 0, setDv3000Address},
    {"DV3000", "serial", 0, [](dv3000_servers& s, const char* v) { s.dv3000Serial = toBool(v); }},
    {"DV3000", "port", 6, setDv3000Port},
    {"DV3000", "RXPort", 0, setDv3000Port},
    {"DV3000", "baud", 0, [](dv3000_servers& s, const char* v) { s.dv3000Baud = toInt(v); }},

    {"GENERAL", "inputAudioDevice", 0, [](dv3000_servers& s, const char* v) { s.inputAudioDevice.set(v); }},
    {"GENERAL", "outputAudioDevice", 0, [](dv3000_servers& s, const char* v) { s.outputAudioDevice.set(v); }},
    {"GENERAL", "decoderFallBack", 0, [](dv3000_servers& s, const char* v) { s.decoderFallBack = toBool(v); }},
    {"GENERAL", "useEmulator", 0, [](dv3000_servers& s, const char* v) { s.useEmulator = toBool(v); }},
    {"GENERAL", "emulatorAddress", 0, [](dv3000_servers& s, const char* v) { s.emulatorAddress.set(v); }},
    {"GENERAL", "useMicrophone", 0, [](dv3000_servers& s, const char* v) { s.useMicrophone = toBool(v); }},
    {"GENERAL", "monitorASLAudio", 0, [](dv3000_servers& s, const char* v) { s.monitorASLAudio = toBool(v); }},
    {"GENERAL", "useVox", 0, [](dv3000_servers& s, const char* v) { s.useVox = toBool(v); }},
    {"GENERAL", "voxDecay", 0,
     [](dv3000_servers& s, const char* v) {
         long seconds = std::clamp<long>(std::strtol(v, nullptr, 10), INT_MIN / 50, INT_MAX / 50);
         s.voxDecay = static_cast<int>(seconds * 50);
     }},
    {"GENERAL", "voxTrigger", 0, [](dv3000_servers& s, const char* v) { s.voxTrigger = toInt(v); }},
    {"GENERAL", "logLevel", 0, [](dv3000_servers&, const char* v) { setLogLevel(toInt(v)); }},
    {"GENERAL", "subscriberFile", 0, [](dv3000_servers& s, const char* v) { s.subscriberFile.set(v); }},
    {"GENERAL", "transferRootDir", 0, [](dv3000_servers& s, const char* v) { s.transferRootDir.set(v); }},
    {"GENERAL", "exportMetadata", 0, [](dv3000_servers& s, const char* v) { s.exportMetadata = toBool(v); }},
    {"GENERAL", "mute", 0, [](dv3000_servers& s, const char* v) { s.mute = parseMute(v); }},
    {"GENERAL", "PCMPort", 0, [](dv3000_servers& s, const char* v) { s.pcmPort = toInt(v); }},
    {"GENERAL", "usrpPacing", 0, [](dv3000_servers& s, const char* v) { s.usrpPacing = toBool(v); }},
    {"GENERAL", "remoteControlAddress", 0, [](dv3000_servers& s, const char* v) { s.remoteControlAddress.set(v); }},
    {"GENERAL", "remoteControlPort", 0, [](dv3000_servers& s, const char* v) { s.remoteControlPort = toInt(v); }},
    {"GENERAL", "remoteControlReplyPort", 0,
     [](dv3000_servers& s, const char* v) { s.remoteControlReplyPort = toInt(v); }},
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

// Parses one file (the top-level one or an include) with `handler`.
// Returns ini_parse's result, or -2 for an include that would loop.
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
    context.openFiles.push_back(key);
    int result = ini_parse(path, handler, &context);
    context.openFiles.pop_back();
    return result;
}

// Returns true when the line was accepted.
bool handleKey(ConfigContext& context, const char* section, const char* name, const char* value)
{
    dv3000_servers& s = *context.settings;

    if (section[0] == '\0' && strcasecmp(name, "include") == 0) {
        int result = parseFile(context, value);
        if (result == -2)
            Log(5, "Include file %s is already being read (an include loop), ignored\n", value);
        else if (result < 0)
            Log(5, "Include file %s not found\n", value);
        return true;
    }

    for (const KeyDef& key : KEYS) {
        if (strcasecmp(section, key.section) != 0 || strcasecmp(name, key.key) != 0)
            continue;
        if (key.deprecated != 0)
            Log(key.deprecated, "Using deprecated option \"%s\"\n", name);
        key.set(s, value);
        return true;
    }

    if (strcasecmp(section, "MACROS") == 0) {
        if (strncasecmp(name, "var ", 4) == 0) {
            std::string expanded = shellReplace(value);
            setenv(name + 4, expanded.c_str(), 1);
        } else {
            s.macros.push_back(Macro{name, value});
        }
        return true;
    }
    return false;
}

} // namespace

int handler(void* user, const char* section, const char* name, const char* value)
{
    auto& context = *static_cast<ConfigContext*>(user);
    // inih cuts section names itself but hands over key names whole.
    char key[NAME_MAX_CHARS + 1];
    std::snprintf(key, sizeof(key), "%s", name);

    if (handleKey(context, section, key, value)) {
        Log(2, "Setting [%s] %s -> %s\n", section, key, value);
        return 1;
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

void parseTxPorts(char* text, int* ports)
{
    int count = 0;
    char* save = nullptr;
    for (char* item = strtok_r(text, ",", &save); item != nullptr && count < MAX_PORTS;
         item = strtok_r(nullptr, ",", &save))
        ports[count++] = toInt(item);
    if (count < MAX_PORTS)
        ports[count] = 0;
}

PortList parseTxPorts(const char* text)
{
    std::string copy(text);
    PortList ports{};
    parseTxPorts(copy.data(), ports.data());
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

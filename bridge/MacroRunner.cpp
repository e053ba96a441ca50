#include "MacroRunner.h"

#include "ConfigFile.h"
#include "HealthRecord.h"
#include "JsonText.h"
#include "Log.h"
#include "Shell.h"
#include "ShellQuote.h"
#include "Version.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace halvane {

namespace {

constexpr const char* INFO_PREFIX = "INFO:";
constexpr const char* HVINFO = "HVINFO";

// The environment belongs to the process, not to one runner.
std::mutex environmentMutex;
std::string hvinfoValue;

// HVINFO names the file of the configured USRP port. The port does not
// change at run time, so after the first call this only compares.
void setHvinfo()
{
    std::string path = MacroRunner::infoFilePath();
    std::lock_guard<std::mutex> lock(environmentMutex);
    if (path == hvinfoValue)
        return;
    ::setenv(HVINFO, path.c_str(), 1);
    hvinfoValue = path;
}

bool isBlank(char c)
{
    return c == ' ';
}

std::string decimal(int value)
{
    return std::to_string(value);
}

std::string twoDecimals(float value)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%2.2f", static_cast<double>(value));
    return text;
}

const char* trueFalse(bool value)
{
    return value ? "true" : "false";
}

// One value of the record: a text that was escaped whole, or one that may be
// cut (`cuttable`) when the record would not fit otherwise.
struct Field {
    std::string raw;
    bool cuttable;
    std::string escaped;
};

// The record's text around its values, in order: piece[i] comes before
// value i, and the last piece closes the record.
constexpr std::array<const char*, 29> PIECES = {
    "INFO:{\"hv\":{\"version\":\"",
    "\",\"date\":\"",
    "\"},\"dv3000\":{\"ip\":\"",
    "\",\"port\":\"",
    "\",\"use_serial\":\"",
    "\"},\"use_fallback\":\"",
    "\",\"use_emulator\":\"",
    "\",\"mute\":\"",
    "\",\"usrp\":{\"ip\":\"",
    "\",\"rx_port\":\"",
    "\",\"tx_port\":\"",
    "\",\"ping\":\"",
    "\",\"to_pcm\":{\"shape\":\"",
    "\",\"gain\":\"",
    "\"},\"to_ambe\":{\"shape\":\"",
    "\",\"gain\":\"",
    "\"}},\"tlv\":{\"ip\":\"",
    "\",\"tx_port\":\"",
    "\",\"rx_port\":\"",
    "\",\"ambe_size\":\"",
    "\",\"ambe_mode\":\"",
    "\"},\"digital\":{\"gw\":\"",
    "\",\"rpt\":\"",
    "\",\"tg\":\"",
    "\",\"ts\":\"",
    "\",\"cc\":\"",
    "\",\"call\":\"",
    "\"},\"last_tune\":\"",
    "\"}",
};

std::vector<Field> infoFields()
{
    const dv3000_servers& s = servers;
    const auto fixed = [](std::string text) { return Field{std::move(text), false, {}}; };
    const auto text = [](std::string text) { return Field{std::move(text), true, {}}; };
    return {
        fixed(VERSION),
        fixed(BUILD_DATE),
        text(s.dv3000Address.get()),
        fixed(decimal(s.dv3000Port)),
        fixed(trueFalse(s.dv3000Serial)),
        fixed(trueFalse(s.decoderFallBack)),
        fixed(trueFalse(s.useEmulator)),
        fixed(muteModeName(s.mute)),
        text(s.usrpAddress.get()),
        fixed(decimal(s.usrpRxPort)),
        fixed(decimal(s.usrpTxPorts.get()[0])),
        fixed(decimal(s.pingTimer)),
        fixed(audioModeName(s.usrpAudio)),
        fixed(twoDecimals(s.usrpGain)),
        fixed(audioModeName(s.tlvAudio)),
        fixed(twoDecimals(s.tlvGain)),
        text(s.tlvAddress.get()),
        fixed(decimal(s.tlvTxPorts.get()[0])),
        fixed(decimal(s.tlvRxPort)),
        fixed(decimal(s.ambeSize)),
        text(s.ambeMode.get()),
        fixed(decimal(s.gatewayDmrId)),
        fixed(decimal(s.repeaterID)),
        fixed(decimal(s.txTg)),
        fixed(decimal(s.txTs)),
        fixed(decimal(s.colorCode)),
        text(s.defaultMetadata.get()),
        text(s.lastTune.get()),
    };
}

std::size_t recordLength(const std::vector<Field>& fields)
{
    std::size_t length = 0;
    for (const char* piece : PIECES)
        length += std::strlen(piece);
    for (const Field& field : fields)
        length += field.escaped.size();
    return length;
}

// The record, with the longest texts cut until it fits INFO_MAX. The fixed
// values (numbers, names, the version) leave room enough for that.
std::string buildInfoRecord()
{
    std::vector<Field> fields = infoFields();
    for (Field& field : fields)
        field.escaped = jsonEscape(field.raw);
    for (std::size_t length = recordLength(fields); length > MacroRunner::INFO_MAX;
         length = recordLength(fields)) {
        auto longest = std::max_element(fields.begin(), fields.end(), [](const Field& a, const Field& b) {
            return (a.cuttable ? a.escaped.size() : 0) < (b.cuttable ? b.escaped.size() : 0);
        });
        if (!longest->cuttable || longest->escaped.empty())
            break;
        const std::size_t excess = length - MacroRunner::INFO_MAX;
        const std::size_t limit = longest->escaped.size() > excess ? longest->escaped.size() - excess : 0;
        longest->escaped = jsonEscape(longest->raw, limit);
    }
    std::string record;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        record += PIECES[i];
        record += fields[i].escaped;
    }
    record += PIECES.back();
    return record;
}

// Writes all of `text` to `fd` and lets everyone read it, whatever the umask
// (scripts may run as other users).
bool writeAll(int fd, std::string_view text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return ::fchmod(fd, 0644) == 0;
}

// Writes `text` to a file without a name in `directory` and names it
// `temporary` once it is whole.
bool writeUnnamed(const std::string& directory, const std::string& temporary, std::string_view text)
{
    const int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // Naming an open file takes its /proc link unless the process may read
    // any file (AT_EMPTY_PATH).
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const bool named = writeAll(fd, text) &&
                       ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0;
    ::close(fd);
    return named;
}

// Writes `text` to a new file `temporary`.
bool writeNamed(const std::string& temporary, std::string_view text)
{
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, text);
    ::close(fd);
    return written;
}

// Replaces the file `path` by one holding `text`. Scripts read the file
// while the bridge rewrites it, so the new record is written beside it and
// renamed over it: a reader sees the old record or the new one, never a
// truncated one.
// Nothing may be left behind, whatever ends the process: the orderly exit
// waits for a write in progress, but SIGKILL, a crash or a fatal check on
// another thread do not. So the record is written to a file without a name,
// which the kernel frees with the process, and named only once whole, with
// one fixed name, "<path>.tmp", for the instant before the rename: a kill
// in that instant leaves that one name, which the next write replaces. Where
// the file system cannot make unnamed files, the record is written under the
// fixed name itself. An existing name is removed first, and neither linkat
// nor an exclusive open follows a symbolic link planted in /tmp.
// Failures are not reported.
void writeInfoFile(const std::string& path, std::string_view text)
{
    const std::string temporary = path + ".tmp";
    const std::string directory = path.substr(0, path.rfind('/') + 1);
    ::unlink(temporary.c_str());
    if ((writeUnnamed(directory, temporary, text) || writeNamed(temporary, text)) &&
        ::rename(temporary.c_str(), path.c_str()) == 0)
        return;
    ::unlink(temporary.c_str());
}

// The file's text: the record without its prefix, the health record added
// as the last member. The health record is left out of what peers receive,
// which keeps its layout and its length limit.
std::string withHealth(const std::string& record)
{
    std::string text = record.substr(std::strlen(INFO_PREFIX));
    text.pop_back();
    return text + ",\"health\":" + health.json() + "}";
}

int runMacro(const MacroCall& call)
{
    setHvinfo();
    int status = runShellCommand(call.command, call.parameters, call.environment);
    Log(3, "Macro result was %d\n", status);
    return status;
}

// The words a macro receives, for its log line.
std::string withWords(const MacroCall& call)
{
    std::string text;
    for (const std::string& word : call.parameters)
        text += (text.empty() ? " with " : " ") + shellQuoteWord(word);
    return text;
}

} // namespace

MacroRunner::MacroRunner()
{
    setHvinfo();
}

std::string MacroRunner::infoFilePath()
{
    return "/tmp/HVInfo_" + std::to_string(servers.usrpRxPort.load()) + ".json";
}

std::string MacroRunner::getInfoAsJson()
{
    std::lock_guard<std::mutex> lock(infoMutex_);
    std::string record = buildInfoRecord();
    if (!infoRemoved_)
        writeInfoFile(infoFilePath(), withHealth(record));
    Log(1, "%s\n", record.c_str());
    return record;
}

void MacroRunner::refreshInfoFile()
{
    std::lock_guard<std::mutex> lock(infoMutex_);
    if (!infoRemoved_)
        writeInfoFile(infoFilePath(), withHealth(buildInfoRecord()));
}

void MacroRunner::removeInfoFile()
{
    std::lock_guard<std::mutex> lock(infoMutex_);
    infoRemoved_ = true;
    ::unlink(infoFilePath().c_str());
}

int MacroRunner::executeSystemCommand(const std::string& command)
{
    return runMacro(MacroCall{command, {}, {}});
}

bool MacroRunner::executeMacroCommand(const char* text, bool reportMissing)
{
    std::string copy(text, strnlen(text, MACRO_TEXT_MAX));
    std::replace(copy.begin(), copy.end(), '#', ' ');

    // The first character is the caller's prefix.
    std::size_t nameStart = std::min<std::size_t>(1, copy.size());
    while (nameStart < copy.size() && isBlank(copy[nameStart]))
        ++nameStart;
    std::size_t nameEnd = nameStart;
    while (nameEnd < copy.size() && !isBlank(copy[nameEnd]))
        ++nameEnd;
    if (nameEnd == nameStart)
        return false;
    const std::string name = copy.substr(nameStart, nameEnd - nameStart);
    const std::string shown = copy.substr(0, nameEnd);
    const std::string arguments = nameEnd < copy.size() ? copy.substr(nameEnd + 1) : std::string();

    auto macro = std::find_if(servers.macros.begin(), servers.macros.end(),
                              [&name](const Macro& m) { return m.name == name; });
    if (macro == servers.macros.end()) {
        if (reportMissing)
            Log(3, "Macro %s was not found, being ignored\n", shown.c_str());
        return false;
    }

    std::optional<MacroCall> call = macroCall(macro->command, std::string::npos, arguments);
    if (!call) {
        Log(4, "Macro %s: its arguments cannot be passed safely to \"%s\", not run\n", shown.c_str(),
            macro->command.c_str());
        return true;
    }
    // The limit of the command line the words were once spliced into.
    const std::size_t length = macro->command.size() + (call->parameters.empty() ? 0 : 1 + arguments.size());
    if (length > MACRO_COMMAND_MAX) {
        Log(4, "Macro %s: command of %zu characters is longer than %zu, not run\n", shown.c_str(), length,
            MACRO_COMMAND_MAX);
        return true;
    }
    Log(3, "Tune macro: %s will invoke \"%s\"%s\n", shown.c_str(), call->command.c_str(), withWords(*call).c_str());
    runMacro(*call);
    return true;
}

void MacroRunner::executeMacroCommand(const char* name, const char* arg)
{
    for (const Macro& macro : servers.macros) {
        if (macro.name != name)
            continue;
        const std::size_t at = macro.command.find("%s");
        std::optional<MacroCall> call =
            at == std::string::npos ? MacroCall{macro.command, {}, {}} : macroCall(macro.command, at, arg);
        if (!call) {
            Log(4, "Macro %s: \"%s\" cannot be passed safely to \"%s\", not run\n", name, arg,
                macro.command.c_str());
            continue;
        }
        const std::size_t length =
            at == std::string::npos ? macro.command.size() : macro.command.size() - 2 + std::strlen(arg);
        if (length > EVENT_COMMAND_MAX) {
            Log(4, "Macro %s: command of %zu characters is longer than %zu, not run\n", name, length,
                EVENT_COMMAND_MAX);
            continue;
        }
        Log(3, "Execute %s macro : %s%s\n", name, call->command.c_str(), withWords(*call).c_str());
        runMacro(*call);
    }
}

} // namespace halvane

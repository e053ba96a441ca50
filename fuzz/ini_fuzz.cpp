// The ini file: every key's strict value parser, sections, includes and
// overlong lines, through loadConfigFile, which reports a bad file by its
// status instead of ending the process.
//
// Includes name files relative to the scratch directory, where the input is
// also written as "include.ini", so an input can include itself (a loop) or
// a second copy. Skipped: inputs naming device or kernel files (reading such
// a file is the operator's choice, not a parser fault), the MACROS section
// (its "var" values are expanded by the shell, as the operator intends, so
// random ones would run random commands) and the log file (which would
// include texts of earlier inputs).
#include "ConfigFile.h"
#include "FuzzSupport.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

using namespace halvane;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLog();
    // A log file the input asks for opens there too, and is removed with it.
    std::filesystem::current_path(fuzz::scratchDir());
    ::setenv("HalvaneLogDir", fuzz::scratchDir().c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string lower(fuzz::textOf(data, size));
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (std::string_view skipped : {"/dev", "/proc", "/sys", "/run", "macros", ".log"})
        if (lower.find(skipped) != std::string::npos)
            return 0;
    const std::string_view text = fuzz::textOf(data, size);
    servers.setDefaults();
    fuzz::clearScratch();
    const std::string path = fuzz::writeScratch("halvane.ini", text);
    fuzz::writeScratch("include.ini", text);
    loadConfigFile(path.c_str());
    // Settings of the log that the input changed go back (closing any file).
    setLogDestination(LogDestination::Stdout);
    setStdoutLogLevel(1);
    return 0;
}

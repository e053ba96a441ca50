// The ini file: every key's strict value parser, sections, includes and
// overlong lines, through loadConfigFile, which reports a bad file by its
// status instead of ending the process.
//
// Includes name files relative to the scratch directory, where the input is
// also written as "include.ini", so an input can include itself (a loop) or
// a second copy. Inputs naming device or kernel files are skipped: reading
// such a file is the operator's choice, not a parser fault.
#include "ConfigFile.h"
#include "FuzzSupport.h"
#include "dv3000_servers.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
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
    const std::string_view text = fuzz::textOf(data, size);
    for (std::string_view place : {"/dev", "/proc", "/sys", "/run"})
        if (text.find(place) != std::string_view::npos)
            return 0;
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

// Points the process log at a file in a temporary directory for one test and
// gives the lines written since the capture began.
#pragma once

#include "Log.h"
#include "TempDir.h"

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace halvane {

class LogCapture {
public:
    explicit LogCapture(int level = 1)
    {
        LogClose();
        previousLevel_ = getLogLevel();
        previousDestination_ = getLogDestination();
        setLogDestination(LogDestination::Both);
        setenv("HalvaneLogDir", dir_.path().c_str(), 1);
        LogOpen("capture");
        setLogLevel(level);
        // No call site's history from an earlier capture limits this one.
        setLogClock(nullptr);
    }
    ~LogCapture()
    {
        LogClose();
        unsetenv("HalvaneLogDir");
        setLogLevel(previousLevel_);
        setLogDestination(previousDestination_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return readFile(dir_.file("capture.log")); }

    std::vector<std::string> lines() const
    {
        std::vector<std::string> result;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

    // True when a line at `letter` ('D'..'F') contains `fragment`.
    bool has(char letter, const std::string& fragment) const
    {
        for (const std::string& line : lines()) {
            if (!line.empty() && line[0] == letter && line.find(fragment) != std::string::npos)
                return true;
        }
        return false;
    }

    bool contains(const std::string& fragment) const { return text().find(fragment) != std::string::npos; }

    // How many times `needle` occurs in the log.
    int count(const std::string& needle) const
    {
        const std::string all = text();
        int found = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
            ++found;
        return found;
    }

    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    int previousLevel_ = 4;
    LogDestination previousDestination_ = LogDestination::Both;
};

} // namespace halvane

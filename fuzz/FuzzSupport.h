// Shared by the libFuzzer harnesses: quiet logging and a private scratch
// directory, so that a harness writes nothing outside a temporary directory
// and spends its time in the parser rather than in the terminal.
//
// Thread-safety: call from LLVMFuzzerTestOneInput's thread.
#pragma once

#include "Log.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace halvane::fuzz {

// Every log line is formatted (hostile texts pass through the formatter) and
// goes to standard output, which is /dev/null unless HALVANE_FUZZ_LOG is set;
// libFuzzer reports on standard error. No log file is ever opened.
inline void quietLog()
{
    setLogDestination(LogDestination::Stdout);
    setStdoutLogLevel(1);
    if (std::getenv("HALVANE_FUZZ_LOG") == nullptr) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
}

// A directory of this process under $TMPDIR (or /tmp), made on first use and
// removed at exit.
inline const std::filesystem::path& scratchDir()
{
    struct Dir {
        std::filesystem::path path;
        Dir()
        {
            std::string pattern = (std::filesystem::temp_directory_path() / "halvane-fuzz-XXXXXX").string();
            if (::mkdtemp(pattern.data()) == nullptr)
                std::abort();
            path = pattern;
        }
        ~Dir()
        {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Dir dir;
    return dir.path;
}

// Empties the scratch directory, so that no input sees files of another.
inline void clearScratch()
{
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(scratchDir(), ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

// Writes `bytes` to `name` in the scratch directory; returns the path.
inline std::string writeScratch(const std::string& name, std::string_view bytes)
{
    const std::filesystem::path path = scratchDir() / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

// The answer a fake peer gives to every request: set by the harness for each
// input, read by the fake's own thread.
class CannedReply {
public:
    void set(const std::uint8_t* data, std::size_t size)
    {
        std::lock_guard lock(mutex_);
        bytes_.assign(data, data + size);
    }
    std::vector<std::uint8_t> get() const
    {
        std::lock_guard lock(mutex_);
        return bytes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> bytes_;
};

inline std::string_view textOf(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

} // namespace halvane::fuzz

#include "CommandArguments.h"

#include "FileTransfer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvane {

namespace {

// Reads a number like strtol; `end` is where the digits stopped, or `text`
// when there were none.
int readDecimal(const char* text, const char*& end)
{
    char* stop = nullptr;
    long value = std::strtol(text, &stop, 10);
    end = stop;
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// Closes a descriptor when it goes out of scope.
class OpenFile {
public:
    explicit OpenFile(int fd) : fd_(fd) {}
    ~OpenFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Appends at most `room` bytes of the regular file `path` to `out`; false
// when it cannot be opened or is not a regular file. Inside a confined
// directory (`followLinks` false) a symbolic link is not followed, so that
// nobody with write access there can point it outside.
bool appendFile(const char* path, bool followLinks, std::size_t room, std::string& out)
{
    OpenFile file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW)));
    struct stat info;
    // The name comes from a peer: only a regular file that every user may read
    // is listed, so a command cannot carry private files (keys, password
    // hashes) off the machine; menu files of the operator are world-readable.
    if (file.fd() < 0 || ::fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & S_IROTH) == 0)
        return false;
    std::string text(room, '\0');
    std::size_t got = 0;
    while (got < room) {
        ssize_t n = ::read(file.fd(), text.data() + got, room - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    text.resize(std::strlen(text.c_str()));
    std::replace(text.begin(), text.end(), '\n', '|');
    out += text;
    return true;
}

} // namespace

int decimalValue(const char* text)
{
    const char* end = nullptr;
    return readDecimal(text, end);
}

bool isDecimalText(const std::string& text)
{
    std::size_t at = !text.empty() && text[0] == '-' ? 1 : 0;
    if (at == text.size())
        return false;
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

int talkGroupOf(const char* text)
{
    const char* bang = std::strchr(text, '!');
    return decimalValue(bang != nullptr ? bang + 1 : text);
}

bool parseExitArguments(const char* text, int& status, int& code)
{
    const char* end = nullptr;
    int first = readDecimal(text, end);
    if (end == text)
        return false;
    status = first;
    code = decimalValue(end);
    return true;
}

std::optional<std::string> buildMacroList(const char* prefix, const char* argument, std::string_view directory)
{
    std::string list = prefix;
    list.resize(std::min(list.size(), MACRO_LIST_MAX));
    const std::size_t room = MACRO_LIST_MAX - list.size();
    if (std::strchr(argument, ',') != nullptr) {
        list.append(argument, std::min(std::strlen(argument), room));
        return list;
    }
    std::string path;
    if (FileTransfer::tlvFileNameTranslate(argument, directory, path) != FileTransfer::NameCheck::Ok)
        return std::nullopt;
    const std::size_t start = list.size();
    if (!appendFile(path.c_str(), directory == FILE_XFER_UNLIMITED, room, list))
        return std::nullopt;
    if (list.size() > start && list.back() == '|')
        list.pop_back();
    return list;
}

} // namespace halvane

#include "FileTransfer.h"

#include "Log.h"
#include "Md5Digest.h"
#include "UsrpProtocol.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace halvane {

// The bridge sends every record as the payload of one 352-byte USRP packet.
static_assert(USRP_HEADER_SIZE + TLV_MAX_RECORD <= USRP_PACKET_SIZE);

namespace {

// The NUL-terminated text at value byte `offset`, never read past the value:
// a sender that left out the NUL gets the rest of the value.
std::string textAt(const TLV_CLASS& record, std::size_t offset)
{
    if (offset >= record.length())
        return {};
    const char* start = record.text() + offset;
    return std::string(start, strnlen(start, record.length() - offset));
}

bool isDotName(std::string_view component)
{
    return component.empty() || component == "." || component == "..";
}

} // namespace

FileTransfer::FileTransfer(RecordSink sink, Sleeper sleep) : sink_(std::move(sink)), sleep_(std::move(sleep))
{
}

void FileTransfer::send(const TLV_CLASS& record)
{
    if (sink_)
        sink_(record.data(), record.size());
}

bool FileTransfer::pause(std::stop_token stop)
{
    if (sleep_) {
        sleep_(FILE_XFER_PACING);
        return !stop.stop_requested();
    }
    std::unique_lock<std::mutex> lock(pauseMutex_);
    pauseWake_.wait_for(lock, stop, FILE_XFER_PACING, [] { return false; });
    return !stop.stop_requested();
}

void FileTransfer::waitForDownload()
{
    if (download_.joinable())
        download_.join();
}

void FileTransfer::tlvFileError(std::string_view text)
{
    const std::string cut(text.substr(0, TLV_MAX_VALUE - 2));
    Log(3, "%s%s", cut.c_str(), "\n");
    send(fileErrorRecord(cut));
}

FileTransfer::NameCheck FileTransfer::tlvFileNameTranslate(std::string_view name, std::string_view root,
                                                           std::string& path)
{
    const std::size_t slash = name.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
    if (isDotName(last))
        return NameCheck::Invalid;

    std::string result;
    if (root == FILE_XFER_UNLIMITED) {
        result = name;
    } else {
        // Only the last component reaches the file system, so nothing can
        // climb out; a ".." anywhere still means a client trying to, and is
        // refused rather than quietly flattened.
        for (std::size_t start = 0; start <= name.size();) {
            const std::size_t end = std::min(name.find('/', start), name.size());
            if (name.substr(start, end - start) == "..")
                return NameCheck::Invalid;
            start = end + 1;
        }
        result.append(root).append("/").append(last);
    }
    if (result.size() > FILE_XFER_NAME_MAX)
        return NameCheck::TooLong;
    path = std::move(result);
    return NameCheck::Ok;
}

void FileTransfer::tlvFileProtocolHandler(const TLV_CLASS& record)
{
    if (record.length() == 0) {
        Log(1, "File transfer record without a sub-command dropped\n");
        return;
    }
    switch (record.value()[0]) {
    case FILE_XFER_BEGIN:
        handleBegin(record);
        break;
    case FILE_XFER_DATA:
        handleData(record);
        break;
    case FILE_XFER_END:
        handleEnd(record);
        break;
    case FILE_XFER_REQUEST:
        handleRequest(record);
        break;
    case FILE_XFER_ERROR:
        Log(3, "%s\n", textAt(record, FILE_XFER_OFFSET_TEXT).c_str());
        break;
    default:
        break;
    }
}

bool FileTransfer::translateOrRefuse(const std::string& name, const std::string& root, std::string& path)
{
    switch (tlvFileNameTranslate(name, root, path)) {
    case NameCheck::Invalid:
        tlvFileError(FILE_XFER_BAD_NAME);
        return false;
    case NameCheck::TooLong:
        tlvFileError(FILE_XFER_NAME_TOO_LONG);
        return false;
    case NameCheck::Ok:
        break;
    }
    return true;
}

void FileTransfer::handleRequest(const TLV_CLASS& record)
{
    const std::string text = textAt(record, FILE_XFER_OFFSET_TEXT);
    if (text.size() > FILE_XFER_NAME_MAX) {
        tlvFileError(FILE_XFER_NAME_TOO_LONG);
        return;
    }
    if (text.starts_with(FILE_XFER_URL_PREFIX)) {
        Log(3, "Asked to push URL %s\n", text.c_str());
        send(fileBeginRecord(0, text));
        return;
    }
    if (downloading_) {
        tlvFileError(FILE_XFER_BUSY);
        return;
    }
    const std::string root = servers.transferRootDir.get();
    std::string path;
    if (!translateOrRefuse(text, root, path))
        return;
    Log(3, "Asked to return file name %s\n", path.c_str());
    sendFile(path, root == FILE_XFER_UNLIMITED);
}

void FileTransfer::sendFile(const std::string& path, bool unlimited)
{
    // Non-blocking, so that a FIFO planted under the name cannot hold the
    // decode thread; inside the transfer directory a symbolic link is not
    // followed, so that nobody with write access there can point it outside.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (unlimited ? 0 : O_NOFOLLOW);
    const int fd = ::open(path.c_str(), flags);
    FileHandle file(fd >= 0 ? ::fdopen(fd, "rb") : nullptr, &std::fclose);
    if (!file && fd >= 0)
        ::close(fd);
    struct stat status{};
    // A directory, device or FIFO is not a file to transfer (a device such
    // as /dev/zero would never end).
    if (!file || ::fstat(::fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
        tlvFileError(FILE_XFER_NOT_FOUND);
        return;
    }
    if (static_cast<std::uintmax_t>(status.st_size) > UINT32_MAX) {
        tlvFileError(FILE_XFER_TOO_LARGE);
        return;
    }
    const auto size = static_cast<std::uint32_t>(status.st_size);

    Log(3, "File found, begin transfer\n");
    // The last download has sent its end record; its thread is about done.
    waitForDownload();
    downloading_ = true;
    try {
        download_ = std::jthread([this, file = std::move(file), size, path](std::stop_token stop) mutable {
            send(fileBeginRecord(size, path));
            sendData(stop, std::move(file), size, path);
            downloading_ = false;
        });
    } catch (const std::system_error&) {
        // The one exception the standard threads know: no thread to be had.
        downloading_ = false;
        tlvFileError(FILE_XFER_NOT_STARTED);
    }
}

void FileTransfer::sendData(std::stop_token stop, FileHandle file, std::uint32_t size, const std::string& path)
{
    // The announced size bounds the reading, so that a file still growing
    // (a log, say) arrives as the size and digest the client was told.
    Md5Digest digest;
    std::array<std::uint8_t, FILE_XFER_DOWNLOAD_CHUNK> chunk{};
    std::uint32_t left = size;
    int packets = 0;
    while (left > 0) {
        const std::size_t got = std::fread(chunk.data(), 1, std::min<std::size_t>(chunk.size(), left), file.get());
        if (got == 0)
            break;
        send(fileDataRecord(std::span<const std::uint8_t>(chunk.data(), got)));
        digest.update(chunk.data(), got);
        left -= static_cast<std::uint32_t>(got);
        ++packets;
        if (!pause(stop)) {
            Log(3, "File transfer of %s stopped at shutdown\n", path.c_str());
            return;
        }
    }
    if (left > 0)
        Log(4, "File %s ended %u bytes short of its size\n", path.c_str(), left);
    file.reset();
    send(fileEndRecord(digest.finishHex()));
    Log(3, "File transfer complete.  %d packets sent\n", packets);
}

void FileTransfer::handleBegin(const TLV_CLASS& record)
{
    if (record.length() < FILE_XFER_OFFSET_NAME) {
        Log(1, "File transfer begin record of %d bytes dropped\n", record.length());
        return;
    }
    if (uploading_)
        Log(3, "Unfinished upload of file %s discarded\n", fileName_.c_str());
    endUpload();
    strayLogged_ = false;

    const std::uint8_t* value = record.value();
    const std::uint32_t size = (std::uint32_t{value[1]} << 24) | (std::uint32_t{value[2]} << 16) |
                               (std::uint32_t{value[3]} << 8) | std::uint32_t{value[4]};
    if (size > FILE_XFER_MAX_SIZE) {
        tlvFileError(FILE_XFER_TOO_LARGE);
        return;
    }
    const std::string name = textAt(record, FILE_XFER_OFFSET_NAME);
    if (name.size() > FILE_XFER_NAME_MAX) {
        tlvFileError(FILE_XFER_NAME_TOO_LONG);
        return;
    }
    const std::string root = servers.transferRootDir.get();
    std::string path;
    if (!translateOrRefuse(name, root, path))
        return;
    uploading_ = true;
    followLinks_ = root == FILE_XFER_UNLIMITED;
    fileName_ = std::move(path);
    fileSize_ = size;
    sequence_ = 0;
    Log(3, "File transfer has begun for file: %s\n", fileName_.c_str());
}

void FileTransfer::dropStray()
{
    // Once per idle spell: after a refused begin the client's whole upload
    // follows, and one line says as much as thousands.
    if (!strayLogged_)
        Log(4, "No file upload in progress, data and end records dropped\n");
    strayLogged_ = true;
}

void FileTransfer::handleData(const TLV_CLASS& record)
{
    if (!uploading_) {
        dropStray();
        return;
    }
    if (record.length() < FILE_XFER_OFFSET_CHUNK) {
        Log(1, "File transfer data record of %d bytes dropped\n", record.length());
        return;
    }
    const std::uint8_t* value = record.value();
    const auto received = static_cast<std::uint16_t>((value[1] << 8) | value[2]);
    if (received != sequence_) {
        Log(1, "Sequence number %d NOT accepted for file %s, expected %d\n", received, fileName_.c_str(), sequence_);
        return;
    }
    const std::size_t room = fileSize_ - buffer_.size();
    const std::size_t take = std::min<std::size_t>(record.length() - FILE_XFER_OFFSET_CHUNK, room);
    buffer_.insert(buffer_.end(), value + FILE_XFER_OFFSET_CHUNK, value + FILE_XFER_OFFSET_CHUNK + take);
    ++sequence_;
    Log(1, "Sequence number %d accepted for file %s\n", received, fileName_.c_str());
}

void FileTransfer::handleEnd(const TLV_CLASS& record)
{
    if (!uploading_) {
        dropStray();
        return;
    }
    // The digest covers the announced size; bytes that never came read as
    // zero. A record too short for a digest cannot match.
    buffer_.resize(fileSize_);
    const std::string digest = Md5Digest::hex(buffer_);
    const std::string_view claimed =
        record.length() >= FILE_XFER_END_LENGTH
            ? std::string_view(record.text() + FILE_XFER_OFFSET_DIGEST, FILE_XFER_DIGEST_CHARS)
            : std::string_view();
    if (!digest.empty() && digest == claimed) {
        writeUpload();
    } else {
        tlvFileError(FILE_XFER_MD5_MISMATCH);
        Log(3, "MD5 does not match for file %s.  File not saved\n", fileName_.c_str());
    }
    endUpload();
    strayLogged_ = false;
}

void FileTransfer::writeUpload()
{
    // As for reading: no blocking on a FIFO, no symbolic link followed
    // inside the transfer directory, and only a regular file is written.
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | (followLinks_ ? 0 : O_NOFOLLOW);
    const int fd = ::open(fileName_.c_str(), flags, 0666);
    if (fd < 0) {
        Log(4, "Cannot create file %s (errno %d)\n", fileName_.c_str(), errno);
        tlvFileError(FILE_XFER_NOT_CREATED);
        return;
    }
    FileHandle file(::fdopen(fd, "wb"), &std::fclose);
    if (!file)
        ::close(fd);
    struct stat status{};
    if (!file || ::fstat(::fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
        Log(4, "Cannot create file %s: not a regular file\n", fileName_.c_str());
        tlvFileError(FILE_XFER_NOT_CREATED);
        return;
    }
    const bool written = std::fwrite(buffer_.data(), 1, buffer_.size(), file.get()) == buffer_.size();
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
        Log(4, "Cannot write file %s (errno %d)\n", fileName_.c_str(), errno);
        tlvFileError(FILE_XFER_NOT_WRITTEN);
        return;
    }
    Log(3, "File %s written to disk\n", fileName_.c_str());
}

void FileTransfer::endUpload()
{
    uploading_ = false;
    fileName_.clear();
    fileSize_ = 0;
    sequence_ = 0;
    std::vector<std::uint8_t>().swap(buffer_);
}

} // namespace halvane

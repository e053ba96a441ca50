// The daemon's end of the file transfer sub-protocol (FileTransferProtocol.h):
// it answers the USRP client's requests with begin, data and end records (or
// a URL push) and stores its uploads, every file checked by its MD5 digest.
// It answers through a record sink, which the bridge points at its USRP
// client (each record the payload of one 352-byte USRP_TYPE_TLV packet), and
// confines every name to the `transferRootDir` setting unless that is
// "unlimited".
//
// Ownership and lifetime: owns the upload in progress (its buffer is
// released at the end record, at the next begin, or with the object) and the
// download in progress, which a thread of its own paces at 5 ms per 120
// bytes, so that voice and commands keep flowing meanwhile. One download at a
// time: a request while one runs is refused with FILE_XFER_BUSY. The
// destructor stops a download between two records and joins its thread.
// Thread-safety: the public members run on one thread (the decode thread).
// The sink is called on that thread and on the download thread, possibly at
// once, so it must be safe for that.
#pragma once

#include "FileTransferProtocol.h"
#include "TLV_CLASS.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace halvane {

class FileTransfer {
public:
    // Receives one outgoing record (tag, length, value: `size` bytes).
    using RecordSink = std::function<void(const std::uint8_t* record, std::size_t size)>;
    // Pauses the calling thread; the pacing seam.
    using Sleeper = std::function<void(std::chrono::microseconds)>;

    // Outcome of name translation.
    enum class NameCheck { Ok, Invalid, TooLong };

    // `sleep` empty: the real clock.
    explicit FileTransfer(RecordSink sink, Sleeper sleep = {});
    FileTransfer(const FileTransfer&) = delete;
    FileTransfer& operator=(const FileTransfer&) = delete;

    // Handles one TAG_FILE_XFER record, whichever peer sent it. Records too
    // short for their sub-command are dropped (logged at level 1); unknown
    // sub-commands are ignored. Reads `transferRootDir` anew for every name.
    // Only regular files are read or written, and inside the transfer
    // directory a symbolic link is never followed.
    void tlvFileProtocolHandler(const TLV_CLASS& record);

    // Logs `text` at level 3 and sends it to the client as an error record.
    // The text is data, never a format; it is cut to the 253 characters a
    // record holds.
    void tlvFileError(std::string_view text);

    // Confines `name` to `root`: with root "unlimited" the name is used as it
    // is; otherwise the path is root, "/" and the name's last component, and
    // a name with ".." as any component is Invalid. In both cases a last
    // component that is empty, "." or ".." is Invalid, and a path longer
    // than 127 characters is TooLong. `path` is set only for Ok.
    static NameCheck tlvFileNameTranslate(std::string_view name, std::string_view root, std::string& path);



    // Whether an upload is in progress (tests).
    bool uploading() const { return uploading_; }

    // Waits until the download in progress (if any) has sent its last record.
    void waitForDownload();

private:
    using FileHandle = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

    void send(const TLV_CLASS& record);
    // False when the object is being destroyed.
    bool pause(std::stop_token stop);

    void handleRequest(const TLV_CLASS& record);
    // tlvFileNameTranslate, answering a refused name with its error record.
    bool translateOrRefuse(const std::string& name, const std::string& root, std::string& path);
    void sendFile(const std::string& path, bool unlimited);
    // The download thread's part after the begin record: data records and
    // the end record.
    void sendData(std::stop_token stop, FileHandle file, std::uint32_t size, const std::string& path);
    void handleBegin(const TLV_CLASS& record);
    void handleData(const TLV_CLASS& record);
    void handleEnd(const TLV_CLASS& record);
    void dropStray();
    void writeUpload();
    void endUpload();

    RecordSink sink_;
    Sleeper sleep_;

    // The upload in progress. Sequence numbers are 16 bits on the wire, so
    // the expected one wraps with them and an upload may exceed 65 536 records.
    bool uploading_ = false;
    bool strayLogged_ = false; // a data or end record without an upload was logged
    bool followLinks_ = false; // the upload's root is "unlimited"
    std::string fileName_;
    std::uint32_t fileSize_ = 0;
    std::uint16_t sequence_ = 0;
    std::vector<std::uint8_t> buffer_; // the bytes stored so far; offset = size()

    // The download in progress: set by the decode thread when it starts the
    // download thread, cleared by that thread after its last record.
    std::atomic_bool downloading_{false};
    std::mutex pauseMutex_;
    std::condition_variable_any pauseWake_;
    std::jthread download_; // last: stops and joins before the rest goes
};

} // namespace halvane

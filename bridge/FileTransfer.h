// The daemon's end of the file transfer sub-protocol (FileTransferProtocol.h):
// it answers the USRP client's requests with begin, data and end records (or
// a URL push) and stores its uploads, every file checked by its MD5 digest.
// It answers through a record sink, which the bridge points at its USRP
// client (each record the payload of one 352-byte USRP_TYPE_TLV packet), and
// confines every name to the `transferRootDir` setting unless that is
// "unlimited".
//
// Ownership and lifetime: owns the upload in progress (its buffer is
// released at the end record, at the next begin, or with the object).
// Thread-safety: none; every member runs on one thread (the decode thread).
// A download runs start to finish inside one call and blocks that thread
// for 5 ms per 120 bytes.
#pragma once

#include "FileTransferProtocol.h"
#include "TLV_CLASS.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
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

private:
    void send(const TLV_CLASS& record);
    void pause();

    void handleRequest(const TLV_CLASS& record);
    // tlvFileNameTranslate, answering a refused name with its error record.
    bool translateOrRefuse(const std::string& name, const std::string& root, std::string& path);
    void sendFile(const std::string& path, bool unlimited);
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
};

} // namespace halvane

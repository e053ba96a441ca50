// The file transfer sub-protocol: TAG_FILE_XFER records with which the USRP
// client fetches files from this host (or has a URL pushed back to it) and
// uploads files to it, every file checked by its MD5 digest. The wire format
// is written up in docs/file-transfer.md; the constants and record builders
// here are shared with the client side (tools/lib/FileTransferClient.h).
//
// FileTransfer is the receiving end inside the daemon. It answers through a
// record sink, which the bridge points at its USRP client (each record the
// payload of one 352-byte USRP_TYPE_TLV packet), and confines every name to
// the `transferRootDir` setting unless that is "unlimited".
//
// Ownership and lifetime: owns the upload in progress (its buffer is
// released at the end record, at the next begin, or with the object).
// Thread-safety: none; every member runs on one thread (the decode thread).
// A download runs start to finish inside one call and blocks that thread
// for 5 ms per 120 bytes.
#pragma once

#include "TLV_CLASS.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Sub-command: value byte 0 of every TAG_FILE_XFER record.
enum FileXferCommand : std::uint8_t {
    FILE_XFER_BEGIN = 0,   // [1..4] size, big-endian; [5..] name, NUL-terminated
    FILE_XFER_DATA = 1,    // file bytes; an upload puts a 16-bit sequence number first
    FILE_XFER_END = 2,     // [1..32] MD5 of the file, uppercase hexadecimal, no NUL
    FILE_XFER_REQUEST = 3, // [1..] file name or URL, NUL-terminated
    FILE_XFER_ERROR = 4,   // [1..] text, NUL-terminated
};

constexpr std::size_t FILE_XFER_OFFSET_SIZE = 1;
constexpr std::size_t FILE_XFER_OFFSET_NAME = 5;
constexpr std::size_t FILE_XFER_OFFSET_TEXT = 1;
constexpr std::size_t FILE_XFER_OFFSET_DIGEST = 1;
constexpr std::size_t FILE_XFER_OFFSET_SEQUENCE = 1;
constexpr std::size_t FILE_XFER_OFFSET_CHUNK = 3; // upload data: after the sequence number
constexpr std::size_t FILE_XFER_DIGEST_CHARS = 32;
constexpr std::size_t FILE_XFER_END_LENGTH = 1 + FILE_XFER_DIGEST_CHARS; // 33

// File bytes per downloaded data record, and the pause after each record so
// that a client on a slow link is not flooded (about 24 kB/s).
constexpr std::size_t FILE_XFER_DOWNLOAD_CHUNK = 120;
constexpr std::chrono::milliseconds FILE_XFER_PACING{5};
// The most file bytes one upload data record can carry: 255 value bytes less
// the sub-command and the sequence number.
constexpr std::size_t FILE_XFER_UPLOAD_CHUNK_MAX = TLV_MAX_VALUE - FILE_XFER_OFFSET_CHUNK; // 252

// Longest request text, name and translated path (a 128-byte buffer's worth).
constexpr std::size_t FILE_XFER_NAME_MAX = 127;
// Largest upload accepted. The begin size comes from the network and is
// allocated as the upload arrives; 16 MiB holds any file a node operator
// moves this way (the largest, a world-wide subscriber list of 250 000
// lines, is about 12 MB) and is harmless on a small board.
constexpr std::uint32_t FILE_XFER_MAX_SIZE = 16u * 1024u * 1024u;
// The request prefix that asks for a URL push instead of a file.
constexpr std::string_view FILE_XFER_URL_PREFIX = "http";
// The value of `transferRootDir` that lifts the confinement.
constexpr std::string_view FILE_XFER_UNLIMITED = "unlimited";

// Error record texts.
constexpr const char* FILE_XFER_NOT_FOUND = "File NOT found";
constexpr const char* FILE_XFER_MD5_MISMATCH = "MD5 does not match";
constexpr const char* FILE_XFER_NAME_TOO_LONG = "Name too long";
constexpr const char* FILE_XFER_BAD_NAME = "Invalid file name";
constexpr const char* FILE_XFER_TOO_LARGE = "File too large";
constexpr const char* FILE_XFER_NOT_CREATED = "File NOT created";
constexpr const char* FILE_XFER_NOT_WRITTEN = "File NOT written";

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

    // MD5 of `bytes` as 32 uppercase hexadecimal characters; empty if the
    // crypto library cannot make an MD5 digest.
    static std::string md5Hex(std::span<const std::uint8_t> bytes);

    // Records of the sub-protocol. Names and texts are cut so that the
    // value, NUL included, fits the length byte.
    static TLV_CLASS beginRecord(std::uint32_t size, std::string_view name);
    static TLV_CLASS dataRecord(std::span<const std::uint8_t> bytes); // a download's: no sequence number
    static TLV_CLASS uploadRecord(std::uint16_t sequence, std::span<const std::uint8_t> chunk);
    static TLV_CLASS endRecord(std::string_view digestHex);
    static TLV_CLASS requestRecord(std::string_view text);
    static TLV_CLASS errorRecord(std::string_view text);

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

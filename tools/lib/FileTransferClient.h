// The client side of the file transfer sub-protocol (docs/file-transfer.md):
// fetches a file from Halvane's host, or has a URL pushed back, and
// reassembles it with its size and MD5 digest checked; uploads a file as a
// begin record, data records numbered from 0, and an end record carrying
// the MD5.
//
// The client owns no socket and no clock: it sends through the caller's
// function and learns of Halvane's answers only from the records the caller
// hands to receive() (usrp-client passes the TLV records of the USRP packets
// it reads; tests pass a FileTransfer's records in the same process). Time-
// outs are therefore the caller's: Halvane answers a request at once and
// sends a data record every 5 ms, and it answers an upload only when the
// upload fails, so a caller waits a moment after upload() for an error.
//
// One transfer at a time: requestFile() and upload() start a new one and
// forget the last.
// Ownership: holds the downloaded bytes until the next transfer.
// Thread-safety: none; one thread at a time.
#pragma once

#include "FileTransferProtocol.h"
#include "TLV_CLASS.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halvane {

class FileTransferClient {
public:
    // Sends one record to Halvane; false when it was not sent.
    using SendRecord = std::function<bool(const TLV_CLASS& record)>;
    using Sleeper = std::function<void(std::chrono::microseconds)>;

    enum class State {
        Idle,      // nothing started
        Requested, // a request went out; the begin record (or an error) is due
        Receiving, // the begin arrived; data records up to the end record
        Uploaded,  // every upload record went out; Halvane answers only a failure
        Done,      // a download checked out, or the URL arrived
        Failed,    // error() says why
    };

    // `sleep` paces uploads (empty: the real clock).
    explicit FileTransferClient(SendRecord send, Sleeper sleep = {});
    FileTransferClient(const FileTransferClient&) = delete;
    FileTransferClient& operator=(const FileTransferClient&) = delete;

    // Asks for `name`, a path on Halvane's host (only its last component
    // counts unless Halvane's transferRootDir is "unlimited"), or for a URL
    // push when `name` begins with "http". False, and Failed, when the text
    // exceeds 127 characters or the send fails; otherwise Requested.
    bool requestFile(std::string_view name);

    // Sends `content` to be stored as `remoteName` (translated on Halvane's
    // side as a requested name is): begin, data records of `chunkSize` bytes
    // (1 to 252) numbered from 0 (wrapping after 65535), and end with the
    // MD5, pausing 5 ms after each record so that Halvane's queue keeps up.
    // False, and Failed, when the name is empty or exceeds 127 characters,
    // the content exceeds 16 MiB, or a send fails; otherwise Uploaded.
    bool upload(std::string_view remoteName, std::span<const std::uint8_t> content,
                std::size_t chunkSize = FILE_XFER_DOWNLOAD_CHUNK);

    // One record from Halvane; records of other tags, and any record once
    // the transfer is Done or Failed, are ignored. Returns the state after it.
    State receive(const TLV_CLASS& record);

    State state() const { return state_; }
    bool finished() const { return state_ == State::Done || state_ == State::Failed; }
    // Failed: Halvane's error text ("File NOT found", "MD5 does not match",
    // ...), or what the client found wrong with the download.
    const std::string& error() const { return error_; }

    // Download results. A URL push is Done with isUrl() and the URL as
    // remoteName(); a file is Done once its size and MD5 agree.
    bool isUrl() const { return url_; }
    // The name in Halvane's begin record: the path it opened, or the URL.
    const std::string& remoteName() const { return remoteName_; }
    std::uint32_t announcedSize() const { return announcedSize_; }
    // The bytes received so far; the whole file when Done.
    const std::vector<std::uint8_t>& content() const { return content_; }
    // Data records received (download) or sent (upload).
    int dataRecords() const { return dataRecords_; }

private:
    bool fail(std::string why);
    bool sendRecord(const TLV_CLASS& record);
    void pause();
    void start(State state);
    void onBegin(const TLV_CLASS& record);
    void onData(const TLV_CLASS& record);
    void onEnd(const TLV_CLASS& record);

    SendRecord send_;
    Sleeper sleep_;
    State state_ = State::Idle;
    std::string error_;
    bool url_ = false;
    bool urlRequest_ = false;
    std::string remoteName_;
    std::uint32_t announcedSize_ = 0;
    std::vector<std::uint8_t> content_;
    int dataRecords_ = 0;
};

} // namespace halvane

// The file transfer sub-protocol on the wire: TAG_FILE_XFER records with
// which a USRP client fetches files from Halvane's host (or has a URL pushed
// back to it) and uploads files to it, every file checked by its MD5 digest.
// The layout is written up in docs/file-transfer.md. Shared by the daemon's
// end (bridge/FileTransfer.h) and the client's (tools/lib/FileTransferClient.h).
//
// The record builders are pure and may be called from any thread.
#pragma once

#include "TLV_CLASS.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace halvane {

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
// A request while a download is still being sent.
constexpr const char* FILE_XFER_BUSY = "Transfer already in progress";
// The system had no thread for the download.
constexpr const char* FILE_XFER_NOT_STARTED = "Transfer NOT started";

// Records of the sub-protocol. Names and texts are cut so that the value,
// NUL included, fits the length byte.
TLV_CLASS fileBeginRecord(std::uint32_t size, std::string_view name);
TLV_CLASS fileDataRecord(std::span<const std::uint8_t> bytes); // a download's: no sequence number
TLV_CLASS fileUploadRecord(std::uint16_t sequence, std::span<const std::uint8_t> chunk);
TLV_CLASS fileEndRecord(std::string_view digestHex);
TLV_CLASS fileRequestRecord(std::string_view text);
TLV_CLASS fileErrorRecord(std::string_view text);

} // namespace halvane

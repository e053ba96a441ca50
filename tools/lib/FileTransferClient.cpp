#include "FileTransferClient.h"

#include "Md5Digest.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace halvane {

FileTransferClient::FileTransferClient(SendRecord send, Sleeper sleep) : send_(std::move(send)), sleep_(std::move(sleep))
{
}

bool FileTransferClient::fail(std::string why)
{
    state_ = State::Failed;
    error_ = std::move(why);
    return false;
}

bool FileTransferClient::sendRecord(const TLV_CLASS& record)
{
    return send_ && send_(record);
}

void FileTransferClient::pause()
{
    if (sleep_)
        sleep_(FILE_XFER_PACING);
    else
        std::this_thread::sleep_for(FILE_XFER_PACING);
}

void FileTransferClient::start(State state)
{
    state_ = state;
    error_.clear();
    url_ = false;
    urlRequest_ = false;
    remoteName_.clear();
    announcedSize_ = 0;
    std::vector<std::uint8_t>().swap(content_);
    dataRecords_ = 0;
}

bool FileTransferClient::requestFile(std::string_view name)
{
    start(State::Requested);
    if (name.size() > FILE_XFER_NAME_MAX)
        return fail(FILE_XFER_NAME_TOO_LONG);
    urlRequest_ = name.starts_with(FILE_XFER_URL_PREFIX);
    if (!sendRecord(fileRequestRecord(name)))
        return fail("Request not sent");
    return true;
}

bool FileTransferClient::upload(std::string_view remoteName, std::span<const std::uint8_t> content,
                                std::size_t chunkSize)
{
    start(State::Uploaded);
    if (remoteName.empty())
        return fail(FILE_XFER_BAD_NAME);
    if (remoteName.size() > FILE_XFER_NAME_MAX)
        return fail(FILE_XFER_NAME_TOO_LONG);
    if (content.size() > FILE_XFER_MAX_SIZE)
        return fail(FILE_XFER_TOO_LARGE);
    chunkSize = std::clamp<std::size_t>(chunkSize, 1, FILE_XFER_UPLOAD_CHUNK_MAX);

    if (!sendRecord(fileBeginRecord(static_cast<std::uint32_t>(content.size()), remoteName)))
        return fail("Upload not sent");
    pause();
    std::uint16_t sequence = 0;
    for (std::size_t at = 0; at < content.size(); at += chunkSize) {
        const auto chunk = content.subspan(at, std::min(chunkSize, content.size() - at));
        if (!sendRecord(fileUploadRecord(sequence++, chunk)))
            return fail("Upload not sent");
        ++dataRecords_;
        pause();
    }
    if (!sendRecord(fileEndRecord(Md5Digest::hex(content))))
        return fail("Upload not sent");
    return true;
}

FileTransferClient::State FileTransferClient::receive(const TLV_CLASS& record)
{
    if (record.tag() != TAG_FILE_XFER || record.length() == 0 || finished() || state_ == State::Idle)
        return state_;
    switch (record.value()[0]) {
    case FILE_XFER_ERROR: {
        const char* text = record.text() + FILE_XFER_OFFSET_TEXT;
        fail(std::string(text, strnlen(text, record.length() - FILE_XFER_OFFSET_TEXT)));
        break;
    }
    case FILE_XFER_BEGIN:
        onBegin(record);
        break;
    case FILE_XFER_DATA:
        onData(record);
        break;
    case FILE_XFER_END:
        onEnd(record);
        break;
    default:
        break;
    }
    return state_;
}

void FileTransferClient::onBegin(const TLV_CLASS& record)
{
    // Halvane sends begin records only to answer a request.
    if (state_ != State::Requested)
        return;
    if (record.length() < FILE_XFER_OFFSET_NAME) {
        fail("Begin record too short");
        return;
    }
    const std::uint8_t* value = record.value();
    announcedSize_ = (std::uint32_t{value[1]} << 24) | (std::uint32_t{value[2]} << 16) |
                     (std::uint32_t{value[3]} << 8) | std::uint32_t{value[4]};
    const char* name = record.text() + FILE_XFER_OFFSET_NAME;
    remoteName_.assign(name, strnlen(name, record.length() - FILE_XFER_OFFSET_NAME));
    if (urlRequest_ && announcedSize_ == 0) {
        url_ = true;
        state_ = State::Done;
        return;
    }
    // A begin record's claim reserves at most 16 MiB; beyond that memory
    // grows only with what arrives.
    content_.reserve(std::min(announcedSize_, FILE_XFER_MAX_SIZE));
    state_ = State::Receiving;
}

void FileTransferClient::onData(const TLV_CLASS& record)
{
    if (state_ == State::Requested) {
        fail("Data before the begin record");
        return;
    }
    if (state_ != State::Receiving)
        return;
    const std::size_t size = record.length() - 1u;
    if (content_.size() + size > announcedSize_) {
        fail("More data than announced");
        return;
    }
    content_.insert(content_.end(), record.value() + 1, record.value() + 1 + size);
    ++dataRecords_;
}

void FileTransferClient::onEnd(const TLV_CLASS& record)
{
    if (state_ == State::Requested) {
        fail("End before the begin record");
        return;
    }
    if (state_ != State::Receiving)
        return;
    if (content_.size() != announcedSize_) {
        fail("Received " + std::to_string(content_.size()) + " of " + std::to_string(announcedSize_) + " bytes");
        return;
    }
    const std::string_view claimed =
        record.length() >= FILE_XFER_END_LENGTH
            ? std::string_view(record.text() + FILE_XFER_OFFSET_DIGEST, FILE_XFER_DIGEST_CHARS)
            : std::string_view();
    const std::string digest = Md5Digest::hex(content_);
    if (digest.empty() || digest != claimed) {
        fail(FILE_XFER_MD5_MISMATCH);
        return;
    }
    state_ = State::Done;
}

} // namespace halvane

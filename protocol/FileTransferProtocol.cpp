#include "FileTransferProtocol.h"

#include <algorithm>
#include <vector>

namespace halvane {

namespace {

// Sub-command, then `text` and its NUL, cut to fit the length byte.
TLV_CLASS textRecord(std::uint8_t command, std::string_view text)
{
    std::vector<std::uint8_t> value;
    value.push_back(command);
    text = text.substr(0, TLV_MAX_VALUE - 2);
    value.insert(value.end(), text.begin(), text.end());
    value.push_back(0);
    return TLV_CLASS(TAG_FILE_XFER, value);
}

} // namespace

TLV_CLASS fileBeginRecord(std::uint32_t size, std::string_view name)
{
    std::vector<std::uint8_t> value = {FILE_XFER_BEGIN, static_cast<std::uint8_t>(size >> 24),
                                       static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 8),
                                       static_cast<std::uint8_t>(size)};
    name = name.substr(0, TLV_MAX_VALUE - FILE_XFER_OFFSET_NAME - 1);
    value.insert(value.end(), name.begin(), name.end());
    value.push_back(0);
    return TLV_CLASS(TAG_FILE_XFER, value);
}

TLV_CLASS fileDataRecord(std::span<const std::uint8_t> bytes)
{
    std::vector<std::uint8_t> value = {FILE_XFER_DATA};
    bytes = bytes.first(std::min(bytes.size(), TLV_MAX_VALUE - 1));
    value.insert(value.end(), bytes.begin(), bytes.end());
    return TLV_CLASS(TAG_FILE_XFER, value);
}

TLV_CLASS fileUploadRecord(std::uint16_t sequence, std::span<const std::uint8_t> chunk)
{
    std::vector<std::uint8_t> value = {FILE_XFER_DATA, static_cast<std::uint8_t>(sequence >> 8),
                                       static_cast<std::uint8_t>(sequence)};
    chunk = chunk.first(std::min(chunk.size(), FILE_XFER_UPLOAD_CHUNK_MAX));
    value.insert(value.end(), chunk.begin(), chunk.end());
    return TLV_CLASS(TAG_FILE_XFER, value);
}

TLV_CLASS fileEndRecord(std::string_view digestHex)
{
    std::vector<std::uint8_t> value = {FILE_XFER_END};
    digestHex = digestHex.substr(0, FILE_XFER_DIGEST_CHARS);
    value.insert(value.end(), digestHex.begin(), digestHex.end());
    return TLV_CLASS(TAG_FILE_XFER, value);
}

TLV_CLASS fileRequestRecord(std::string_view text)
{
    return textRecord(FILE_XFER_REQUEST, text);
}

TLV_CLASS fileErrorRecord(std::string_view text)
{
    return textRecord(FILE_XFER_ERROR, text);
}

} // namespace halvane

#include "SavedCall.h"

#include "Hex.h"
#include "TlvMessage.h"
#include "TlvProtocol.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <system_error>

namespace halvane {

std::optional<CallRecord> SavedCall::callRecord() const
{
    for (const TLV_CLASS& record : records_) {
        if (record.tag() == TAG_BEGIN_TX)
            return parseCallRecord(record);
    }
    return std::nullopt;
}

bool SavedCall::ended() const
{
    return !records_.empty() && records_.back().tag() == TAG_END_TX;
}

int SavedCall::voiceRecords() const
{
    int count = 0;
    for (const TLV_CLASS& record : records_)
        count += isVoiceTag(record.tag()) ? 1 : 0;
    return count;
}

int SavedCall::voiceFrames() const
{
    int count = 0;
    for (const TLV_CLASS& record : records_)
        count += halvane::voiceFrames(record);
    return count;
}

std::string SavedCall::toText() const
{
    std::string text = std::string(FILE_HEADER) + "\n";
    for (const TLV_CLASS& record : records_) {
        text += hexText(std::span<const std::uint8_t>(record.data(), record.size()));
        text += '\n';
    }
    return text;
}

bool SavedCall::fromText(std::string_view text, SavedCall& call, std::string& error)
{
    SavedCall parsed;
    int lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#')
            continue;

        std::vector<std::uint8_t> bytes;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (!parseHexBytes(line, bytes)) {
            error = where + "not a record in hexadecimal";
            return false;
        }
        std::unique_ptr<TLV_CLASS> record = TLV_CLASS::fromDatagram(bytes);
        if (!record) {
            error = where + (bytes.size() < TLV_HEADER_SIZE
                                 ? std::string("a record needs at least a tag and a length byte")
                                 : "the length byte says " + std::to_string(bytes[TLV_OFFSET_LENGTH]) + " but " +
                                       std::to_string(bytes.size() - TLV_HEADER_SIZE) + " value bytes follow");
            return false;
        }
        parsed.add(std::move(*record));
    }
    call = std::move(parsed);
    return true;
}

bool SavedCall::save(const std::string& path, std::string& error) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create " + path + ": " + std::system_category().message(errno);
        return false;
    }
    out << toText();
    out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool SavedCall::load(const std::string& path, SavedCall& call, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + std::system_category().message(errno);
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    if (!fromText(text, call, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace halvane

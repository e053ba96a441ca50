#include "TLV_CLASS.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace halvane {

TLV_CLASS::TLV_CLASS(std::uint8_t tag, std::uint8_t length) : bytes_(TLV_HEADER_SIZE + length + 1, 0)
{
    bytes_[TLV_OFFSET_TAG] = tag;
    bytes_[TLV_OFFSET_LENGTH] = length;
}

TLV_CLASS::TLV_CLASS(std::uint8_t tag, std::span<const std::uint8_t> value)
    : TLV_CLASS(tag, static_cast<std::uint8_t>(std::min(value.size(), TLV_MAX_VALUE)))
{
    if (length() > 0)
        std::memcpy(bytes_.data() + TLV_HEADER_SIZE, value.data(), length());
}

TLV_CLASS::TLV_CLASS(std::uint8_t tag, std::string_view text)
    : TLV_CLASS(tag, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))
{
}

std::unique_ptr<TLV_CLASS> TLV_CLASS::fromDatagram(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() < TLV_HEADER_SIZE || datagram[TLV_OFFSET_LENGTH] != datagram.size() - TLV_HEADER_SIZE)
        return nullptr;
    return std::make_unique<TLV_CLASS>(datagram[TLV_OFFSET_TAG], datagram.subspan(TLV_HEADER_SIZE));
}

std::unique_ptr<TLV_CLASS> TLV_CLASS::fromRecord(std::span<const std::uint8_t> area)
{
    const std::uint8_t tag = area.size() > TLV_OFFSET_TAG ? area[TLV_OFFSET_TAG] : 0;
    const std::uint8_t length = area.size() > TLV_OFFSET_LENGTH ? area[TLV_OFFSET_LENGTH] : 0;
    std::array<std::uint8_t, TLV_MAX_VALUE> value{};
    if (area.size() > TLV_HEADER_SIZE) {
        const std::size_t present = std::min<std::size_t>(length, area.size() - TLV_HEADER_SIZE);
        std::memcpy(value.data(), area.data() + TLV_HEADER_SIZE, present);
    }
    return std::make_unique<TLV_CLASS>(tag, std::span<const std::uint8_t>(value.data(), length));
}

} // namespace halvane

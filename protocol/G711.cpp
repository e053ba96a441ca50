#include "G711.h"

#include <algorithm>

namespace halvane {

void ulawEncode(std::span<const std::int16_t> pcm, std::span<std::uint8_t> codes)
{
    const std::size_t count = std::min(pcm.size(), codes.size());
    for (std::size_t i = 0; i < count; ++i)
        codes[i] = linearToUlaw(pcm[i]);
}

void ulawDecode(std::span<const std::uint8_t> codes, std::span<std::int16_t> pcm)
{
    const std::size_t count = std::min(codes.size(), pcm.size());
    for (std::size_t i = 0; i < count; ++i)
        pcm[i] = u2l[codes[i]];
}

} // namespace halvane

#include "VoiceFrames.h"

#include "AmbeFrame.h"

namespace halvane {

namespace {

constexpr std::array<int, IMBE_CODE_WORDS> IMBE_WORD_BITS{12, 12, 12, 12, 11, 11, 11, 7};

} // namespace

ImbeFrame packImbe(const ImbeCodeWords& words)
{
    ImbeFrame frame;
    std::size_t bit = 0;
    for (std::size_t w = 0; w < words.size(); ++w) {
        for (int b = IMBE_WORD_BITS[w] - 1; b >= 0; --b, ++bit) {
            if ((words[w] >> b) & 1U)
                frame.bytes[bit / 8] |= static_cast<std::uint8_t>(0x80U >> (bit % 8));
        }
    }
    return frame;
}

Ambe72Frame toAmbe72(const Ambe49Frame& frame)
{
    Ambe72Frame out;
    convert49BitAmbeTo72Bit(frame.bytes, out.bytes);
    return out;
}

Ambe49Frame toAmbe49(const Ambe72Frame& frame)
{
    Ambe49Frame out;
    convert72BitAmbeTo49Bit(frame.bytes, out.bytes);
    return out;
}

} // namespace halvane

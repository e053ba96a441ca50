#include "imbe/imbe_vocoder.h"

#include <cstdio>
#include <mutex>

namespace halvane {

imbe_vocoder::imbe_vocoder()
{
    static std::once_flag banner;
    std::call_once(banner, [] { std::fputs("Project 25 IMBE Encoder/Decoder Fixed-Point implementation\n", stderr); });
}

} // namespace halvane

#include "fixedpoint/Elementary.h"

namespace halvane::fxp {

constexpr std::array<Word16, 16385> cos_fxp_quadrant = [] {
    std::array<Word16, 16385> t{};
    for (int a = 0; a <= 16384; ++a)
        t[a] = cos_fxp(static_cast<Word16>(a));
    return t;
}();

} // namespace halvane::fxp

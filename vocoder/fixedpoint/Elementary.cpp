#include "fixedpoint/Elementary.h"

namespace halvane::fxp {

constexpr std::array<Word16, 65536> cos_fxp_tbl = [] {
    std::array<Word16, 65536> t{};
    for (int x = 0; x < 65536; ++x)
        t[x] = cos_fxp(static_cast<Word16>(x));
    return t;
}();

} // namespace halvane::fxp

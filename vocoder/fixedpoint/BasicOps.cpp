#include "fixedpoint/BasicOps.h"

#include <cstdio>
#include <cstdlib>

namespace halvane::fxp {

void div_s_fault(Word16 var1, Word16 var2)
{
    if (var1 > var2 || var1 < 0 || var2 < 0)
        std::printf("Division Error var1=%d  var2=%d\n", var1, var2);
    else
        std::printf("Division by 0, Fatal error \n");
    std::fflush(stdout);
    std::abort();
}

} // namespace halvane::fxp

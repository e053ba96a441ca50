#include "MbeVersion.h"

#include <cstdio>

namespace halvane {

void mbe_printVersion(char* out, std::size_t size)
{
    std::snprintf(out, size, "%s", MBE_VERSION);
}

} // namespace halvane

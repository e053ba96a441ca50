// Macro texts: a peer's text handed to an operator's command in every shell
// context the macro tests know (tests/support/MacroOracle.h), run by the
// real /bin/sh in a directory of its own. A finding is a text that made a
// file there (it ran something), a command that received other words than
// were sent, or a context that should have been refused and was not. The
// first input byte picks the context; the rest, up to a NUL, is the text as
// an event record would carry it.
#include "../tests/support/MacroOracle.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

using namespace halvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::vector<MacroContext>& contexts = macroContexts();
    const MacroContext& context = contexts[data[0] % contexts.size()];
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::string_view peerText(text, strnlen(text, size - 1));
    const std::string failure = checkMacroContext(context, peerText);
    if (!failure.empty()) {
        std::fprintf(stderr, "macro context \"%s\": %s\n", context.name, failure.c_str());
        std::abort();
    }
    return 0;
}

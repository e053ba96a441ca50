#include "MacroRunner.h"

std::string MacroRunner::getInfoAsJson()
{
    return "INFO:{}";
}

int MacroRunner::executeSystemCommand(const std::string&)
{
    return 0;
}

bool MacroRunner::executeMacroCommand(const char*, bool)
{
    return false;
}

void MacroRunner::executeMacroCommand(const char*, const char*) {}

#include "ProcessExit.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace halvane {

namespace {

void first()
{
    std::fputs("first;", stderr);
}

void second()
{
    std::fputs("second;", stderr);
}

} // namespace

// Whoever ends the process, the actions run, newest first, and the status is
// the one asked for.
TEST(ProcessExit, RunsTheExitActionsNewestFirst)
{
    EXPECT_EXIT(
        {
            addExitAction(first);
            addExitAction(second);
            endProcess(7);
        },
        ::testing::ExitedWithCode(7), "second;first;");
}

} // namespace halvane

#include "Shell.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>
#include <sys/wait.h>

namespace halvane {

TEST(Shell, ReplaceExpandsLikeDoubleQuotes)
{
    setenv("HALVANE_SHELL_TEST", "value", 1);
    EXPECT_EQ(shellReplace("a $HALVANE_SHELL_TEST $(echo b) 'c'"), "a value b 'c'");
    EXPECT_EQ(shellReplace(""), "");
    // Error output of the expansion is part of the result.
    EXPECT_NE(shellReplace("$(nonexistent-command-for-test)").find("not found"), std::string::npos);
}

TEST(Shell, ReplaceCutsLongOutputAndRefusesLongInput)
{
    EXPECT_EQ(shellReplace("$(seq 1 2000)").size(), 1023u);
    EXPECT_EQ(shellReplace(std::string(2000, 'y').c_str()), "");
}

TEST(Shell, CommandsRunWithSignalsUnblocked)
{
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    // The child kills itself: with SIGTERM blocked it would go on and exit 0.
    int status = runShellCommand("kill -TERM $$; sleep 5; exit 0");
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(WEXITSTATUS(runShellCommand("exit 3")), 3);
}

} // namespace halvane

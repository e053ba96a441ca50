#include "CommandArguments.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace halvane {

// A list file named by a peer is read only when every user may read it.
TEST(CommandArguments, MacroListFilesMustBeWorldReadable)
{
    TempDir dir;
    std::string menu = dir.write("menu.txt", "x\ny\n");
    chmod(menu.c_str(), 0644);
    auto list = buildMacroList("INFO:MACRO:", menu.c_str());
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, "INFO:MACRO:x|y");

    std::string secret = dir.write("secret", "root:hash\n");
    chmod(secret.c_str(), 0600);
    EXPECT_FALSE(buildMacroList("INFO:MACRO:", secret.c_str()));
    EXPECT_FALSE(buildMacroList("INFO:MENU:", dir.path().c_str()));
    EXPECT_EQ(*buildMacroList("INFO:MENU:", "a,b"), "INFO:MENU:a,b");
}

} // namespace halvane

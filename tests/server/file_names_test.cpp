#include "file_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(FileNames, AcceptsPlainNames)
{
    for (const std::string& name : std::vector<std::string>{"a", "a.txt", "A-Z_0.9", "x..y", "con1", "console", "com10", "nulx.txt",
             "lpt", "report-2024.tar.gz", std::string(maxFileNameLength, 'n')})
        EXPECT_TRUE(isValidFileName(name)) << name;
}

TEST(FileNames, RefusesNamesThatLeaveTheFolderHideOrAlias)
{
    for (const std::string& name : std::vector<std::string>{"", ".", "..", ".x", ".upload-1-2.tmp", "a.", "a/b", "a\\b", "../x", "..\\x",
             "a b", "a:b", "a*", "a?", "a%2fb", "\xC3\xA9", "tab\t", std::string(maxFileNameLength + 1, 'n'), "CON",
             "con", "nul.txt", "Com1", "LPT9.log", "aux.tar.gz", "prn", "COM0"})
        EXPECT_FALSE(isValidFileName(name)) << name;
    EXPECT_FALSE(isValidFileName(std::string("a\0b", 3))) << "embedded NUL";
}

} // namespace

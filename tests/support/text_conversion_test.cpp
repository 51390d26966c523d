#include "TextConversion.h"

#include <gtest/gtest.h>

TEST(TextConversion, RoundTripsSupplementaryPlaneAndEmbeddedNul)
{
    const std::wstring text{L"a\0b\xD83D\xDE00z\x00E9", 7};
    const std::string utf8 = toUtf8(text);
    EXPECT_EQ(std::string("a\0b\xF0\x9F\x98\x80z\xC3\xA9", 10), utf8);
    EXPECT_EQ(text, toWide(utf8));
}

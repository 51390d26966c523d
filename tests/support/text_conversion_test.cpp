#include "TextConversion.h"

#include <gtest/gtest.h>

TEST(TextConversion, RoundTripsSupplementaryPlaneAndEmbeddedNul)
{
    const std::wstring text{L"a\0b\xD83D\xDE00z\x00E9", 7};
    const std::string utf8 = toUtf8(text);
    EXPECT_EQ(std::string("a\0b\xF0\x9F\x98\x80z\xC3\xA9", 10), utf8);
    EXPECT_EQ(text, toWide(utf8));
    EXPECT_EQ(std::string(3, '\0'), toUtf8(std::wstring(3, L'\0')));
}

// Malformed input gives an empty result, never a partly converted or
// replaced one, wherever the fault sits.
TEST(TextConversion, MalformedUtf16GivesEmpty)
{
    const std::wstring malformed[] = {
        {L"\xD83D", 1},          // lone high surrogate
        {L"ab\xDE00", 3},        // lone low surrogate at the end
        {L"a\xD83Dz", 3},        // high surrogate not followed by a low one
        {L"\xDE00\xD83D ok", 5}, // pair in the wrong order
    };
    for (const std::wstring& text : malformed)
        EXPECT_EQ("", toUtf8(text)) << "length " << text.size();
}

TEST(TextConversion, MalformedUtf8GivesEmpty)
{
    const char* malformed[] = {
        "\xFF",                // never valid
        "valid prefix \x80",   // stray continuation byte
        "\xC3",                // truncated sequence
        "\xC0\x80",            // overlong NUL
        "\xED\xA0\x80",        // encoded surrogate
        "\xF4\x90\x80\x80",    // beyond U+10FFFF
        "ok \xE2\x82 then ok", // truncated in the middle
    };
    for (const char* text : malformed)
        EXPECT_EQ(L"", toWide(text)) << text;
}

TEST(TextConversion, EmptyInputNeedsNoText)
{
    EXPECT_EQ("", toUtf8(nullptr, 0));
    EXPECT_EQ(L"", toWide(nullptr, 0));
}

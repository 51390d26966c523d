// Command-line quoting against the parsers that read it: CommandLineToArgvW
// in-process for many random argument vectors, and the C runtime of real
// test_child processes for a sample of them.
#include "CommandLine.h"
#include "Process.h"
#include "TextConversion.h"
#include "WinApi.h"
#include "test_child.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

// Failure messages show wide texts with escapes, NULs and controls included.
template <typename Text>
std::string shown(const Text& text)
{
    return ::testing::PrintToString(text);
}

// What the child is meant to see of one argument list: the non-empty
// arguments, with control characters other than the five white-space ones
// (U+0000-U+0008, U+000E-U+001F, U+007F-U+009F) as blanks.
std::vector<std::wstring> childView(const std::vector<std::wstring>& arguments)
{
    std::vector<std::wstring> view;
    for (std::wstring argument : arguments) {
        for (wchar_t& c : argument) {
            if ((c < 0x20 && !(c >= 0x09 && c <= 0x0D)) || (c >= 0x7F && c <= 0x9F))
                c = L' ';
        }
        if (!argument.empty())
            view.push_back(argument);
    }
    return view;
}

std::vector<std::string> utf8(const std::vector<std::wstring>& arguments)
{
    std::vector<std::string> out;
    for (const std::wstring& argument : arguments)
        out.push_back(toUtf8(argument));
    return out;
}

// Random argument vectors, weighted towards what quoting gets wrong: quotes,
// backslash runs, blanks, tabs, control characters, and non-ASCII text with
// supplementary-plane pairs and format characters.
class ArgumentGenerator {
public:
    explicit ArgumentGenerator(unsigned seed) : mRandom(seed) {}

    std::vector<std::wstring> vector()
    {
        std::vector<std::wstring> arguments(pick(7));
        for (std::wstring& argument : arguments) {
            const unsigned length = pick(4) == 0 ? 0 : pick(12) + 1;
            while (argument.size() < length)
                append(argument);
        }
        return arguments;
    }

private:
    void append(std::wstring& text)
    {
        static const wchar_t others[] = {0x00E9, 0x4E2D, 0x05D0, 0x200D, 0x200F, 0xFEFF, 0x00A0, 0x3000};
        static const wchar_t ascii[] = L"aZ09*?%^&|<>()!=;,.-/:'";
        const unsigned codePoint = 0x10000 + pick(0x100000);
        switch (pick(12)) {
        case 0:
        case 1: text.push_back(L'"'); break;
        case 2:
        case 3: text.append(pick(4) + 1, L'\\'); break;
        case 4: text.push_back(L' '); break;
        case 5: text.push_back(L'\t'); break;
        case 6: text.push_back(static_cast<wchar_t>(pick(0x20))); break;        // C0, NUL included
        case 7: text.push_back(static_cast<wchar_t>(0x7F + pick(0x21))); break; // DEL, C1
        case 8: text.push_back(others[pick(std::size(others))]); break;
        case 9: // a supplementary-plane character as its surrogate pair
            text.push_back(static_cast<wchar_t>(0xD800 + (codePoint - 0x10000) / 0x400));
            text.push_back(static_cast<wchar_t>(0xDC00 + (codePoint - 0x10000) % 0x400));
            break;
        default: text.push_back(ascii[pick(std::size(ascii) - 1)]); break;
        }
    }

    unsigned pick(std::size_t count)
    {
        return std::uniform_int_distribution<unsigned>(0, static_cast<unsigned>(count) - 1)(mRandom);
    }

    std::mt19937 mRandom;
};

constexpr unsigned RandomSeed = 20240617;

struct QuoteCase {
    std::wstring argument;
    std::wstring quoted;
};

TEST(QuoteArgument, FollowsTheRuntimeParserRules)
{
    const QuoteCase cases[] = {
        {L"abc", L"\"abc\""},
        {L"a b", L"\"a b\""},
        {L"", L""},
        {L"a\"b", L"\"a\\\"b\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"a\\\\\"b", L"\"a\\\\\\\\\\\"b\""},
        {L"a\\b", L"\"a\\b\""},
        {L"a\\", L"\"a\\\\\""},
        {L"\\\\server\\share", L"\"\\\\server\\share\""},
        {L"\\\\", L"\"\\\\\\\\\""},
        {L"\"", L"\"\\\"\""},
        {L"a\tb", L"\"a\tb\""},
        {L"a\n\r\v\fb", L"\"a\n\r\v\fb\""},
        {L"a\x01" L"b", L"\"a b\""},
        {std::wstring(L"a\0b", 3), L"\"a b\""},
        {L"\x7F\x85\x9F", L"\"   \""},
        // Text beyond the C1 controls is passed on untouched.
        {L"\xD83D\xDC68\x200D\xD83D\xDC69 \x200F\xFEFF\x00A0", L"\"\xD83D\xDC68\x200D\xD83D\xDC69 \x200F\xFEFF\x00A0\""},
    };
    for (const QuoteCase& c : cases)
        EXPECT_EQ(c.quoted, quoteArgument(std::wstring_view(c.argument))) << shown(c.argument);
}

TEST(QuoteArgument, Utf8FormDropsWhatIsNotUtf8)
{
    EXPECT_EQ(L"\"\x00E9\xD83D\xDE00\"", quoteArgument(std::string_view("\xC3\xA9\xF0\x9F\x98\x80")));
    EXPECT_EQ(L"", quoteArgument(std::string_view("")));
    EXPECT_EQ(L"", quoteArgument(std::string_view("ok\xFF")));
}

TEST(BuildCommandLine, JoinsQuotedArgumentsWithSingleBlanks)
{
    EXPECT_EQ(L"\"D:\\svc\\host.exe\" \"server\"", buildCommandLine(L"D:\\svc\\host.exe", {"server"}));
    EXPECT_EQ(L"\"D:\\s\\srv.exe\" \"--a\"  \"x y\"", buildCommandLine(std::string_view(), {"D:\\s\\srv.exe", "--a", "", "x y"}));
    EXPECT_EQ(L"\"x\"", buildCommandLine(std::string_view(), {"", "x"}));
    EXPECT_EQ(L"", buildCommandLine(std::string_view(), {}));
    // A trailing empty argument keeps its separator.
    EXPECT_EQ(L"\"p\" \"a\" ", buildCommandLine(std::string_view("p"), {"a", ""}));
    EXPECT_EQ(L"\"a\"", buildCommandLine(static_cast<const wchar_t*>(nullptr), {"a"}));
}

TEST(BuildCommandLine, RandomVectorsSurviveCommandLineToArgvW)
{
    std::printf("random seed %u\n", RandomSeed);
    ArgumentGenerator generator(RandomSeed);
    const std::wstring program = L"C:\\Program Files\\Quorvanta\\child.exe";
    int failures = 0;
    for (int i = 0; i < 10000 && failures < 5; ++i) {
        const std::vector<std::wstring> arguments = generator.vector();
        const std::wstring commandLine = buildCommandLine(program.c_str(), utf8(arguments));
        int count = 0;
        LPWSTR* parsed = CommandLineToArgvW(commandLine.c_str(), &count);
        ASSERT_NE(nullptr, parsed);
        const std::vector<std::wstring> seen(parsed, parsed + count);
        LocalFree(parsed);

        std::vector<std::wstring> expected = childView(arguments);
        expected.insert(expected.begin(), program);
        // No control character but the white-space ones may reach the line.
        const bool clean = std::none_of(commandLine.begin(), commandLine.end(),
                                        [](wchar_t c) { return c < 0x20 && !(c >= 0x09 && c <= 0x0D); });
        if (seen != expected || !clean) {
            ++failures;
            ADD_FAILURE() << "seed " << RandomSeed << ", vector " << i << ": " << shown(arguments)
                          << "\ncommand line: " << shown(commandLine) << "\nparsed:       " << shown(seen)
                          << "\nexpected:     " << shown(expected);
        }
    }
}

// Through Process::launch, which quotes as buildCommandLine does: texts that
// would be unsafe for a batch file reach an executable whole.
TEST(BuildCommandLine, RandomVectorsSurviveTheChildRuntime)
{
    std::printf("random seed %u\n", RandomSeed + 1);
    ArgumentGenerator generator(RandomSeed + 1);
    testChild::TempDirectory directory;
    const std::wstring output = directory.file(L"argv.txt");
    const std::vector<std::wstring> head{testChild::path(), L"echo-args", output};
    int failures = 0;
    for (int i = 0; i < 50 && failures < 3; ++i) {
        const std::vector<std::wstring> arguments = generator.vector();
        std::vector<std::wstring> list = head;
        list.insert(list.end(), arguments.begin(), arguments.end());
        DeleteFileW(output.c_str());
        Process child;
        ASSERT_TRUE(child.launch(utf8(list), {})) << "launch failed with " << GetLastError();
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.processHandle(), 10000));
        ASSERT_FALSE(child.isRunning());
        ASSERT_EQ(0u, child.exitCode());

        std::vector<std::wstring> expected = childView(arguments), seen;
        expected.insert(expected.begin(), head.begin(), head.end());
        for (const std::string& argument : testChild::readEchoedArguments(output).value_or(std::vector<std::string>{}))
            seen.push_back(toWide(argument));
        if (seen != expected) {
            ++failures;
            ADD_FAILURE() << "seed " << RandomSeed + 1 << ", vector " << i << ": " << shown(arguments)
                          << "\nchild saw: " << shown(seen);
        }
    }
}

} // namespace

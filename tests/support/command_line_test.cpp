// The child's command line built from hostile UTF-8 vectors, read back by CommandLineToArgvW and, for
// a sample, by real test_child processes; failures print the seed and the whole vector. Options:
// --vectors=N --seed=S.
#include "CommandLine.h"
#include "test_child.h"
#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <shellapi.h>

namespace {
unsigned long vectorCount = 100000, seed = 4051;

bool blanked(wchar_t c)
{
    return (c < 0x20 && (c < 0x09 || c > 0x0D)) || (c >= 0x7F && c <= 0x9F);
}

// What the child should see: each non-empty argument that the system's strict decoder takes, with
// the C0 and C1 controls but tab, LF, VT, FF and CR blanked; the others vanish.
std::vector<std::wstring> childView(const std::wstring& program, const std::vector<std::string>& arguments)
{
    std::vector<std::wstring> view{program};
    for (const std::string& bytes : arguments) {
        std::wstring text(bytes.size(), L'\0');
        text.resize(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), text.data(),
                                        int(text.size())));
        std::replace_if(text.begin(), text.end(), blanked, L' ');
        if (!text.empty())
            view.push_back(text);
    }
    return view;
}

// Quotes and backslashes, blanks, controls (C0 with NUL, DEL, C1), format characters that must
// stay (U+200D, U+200F, U+FEFF, U+00A0), text of every length, and ill-formed UTF-8: an encoded
// surrogate, an overlong quote, a cut sequence, a stray continuation, 0xFF, a value past U+10FFFF.
const std::string pieces[] = {"\"",
                              "\"",
                              "\\",
                              "\\\\\\",
                              " ",
                              "\t",
                              "\n\v\f\r",
                              std::string(1, '\0'),
                              "\x01",
                              "\x1F",
                              "\x7F",
                              "\xC2\x85",
                              "\xC2\x9F",
                              "\xE2\x80\x8D",
                              "\xE2\x80\x8F",
                              "\xEF\xBB\xBF",
                              "\xC2\xA0",
                              "\xC3\xA9",
                              "\xE4\xB8\xAD",
                              "\xF0\x9F\x98\x80",
                              "\xED\xA0\x80",
                              "\xC0\xA2",
                              "\xF0\x9F\x98",
                              "\x80",
                              "\xFF",
                              "\xF4\x90\x80\x80",
                              "a",
                              "Z",
                              "%",
                              "&",
                              "|",
                              "<",
                              "^",
                              "!"};

std::vector<std::string> randomVector(std::mt19937& random)
{
    std::vector<std::string> arguments(random() % 9);
    for (std::string& argument : arguments)
        for (unsigned count = random() % 6 == 0 ? 0 : random() % 10 + 1; count > 0; --count)
            argument += pieces[random() % std::size(pieces)];
    return arguments;
}

TEST(CommandLine, RandomVectorsSurviveCommandLineToArgvW)
{
    const std::wstring programs[]
        = {L"C:\\svc\\server.exe", L"C:\\Program Files\\Q\\server.exe", L"D:\\\x00E9t\x00E9\\\x4E2D.exe"};
    std::mt19937 random(seed);
    unsigned long failures = 0, arrived = 0, vanished = 0;
    for (unsigned long i = 0; i < vectorCount && failures < 5; ++i) {
        const std::wstring& program = programs[random() % std::size(programs)];
        const std::vector<std::string> arguments = randomVector(random);
        const std::wstring line = buildCommandLine(program.c_str(), arguments);
        int count = 0;
        LPWSTR* parsed = CommandLineToArgvW(line.c_str(), &count);
        const std::vector<std::wstring> seen(parsed, parsed + (parsed ? count : 0)),
            expected = childView(program, arguments);
        LocalFree(parsed);
        arrived += expected.size() - 1;
        vanished += arguments.size() + 1 - expected.size();
        if ((seen != expected || std::any_of(line.begin(), line.end(), blanked)) && ++failures)
            ADD_FAILURE() << "seed " << seed << ", vector " << i << ": " << testing::PrintToString(arguments)
                          << "\nline: " << testing::PrintToString(line) << "\nparsed: " << testing::PrintToString(seen);
    }
    std::printf("compared=%lu seed=%lu arguments_arrived=%lu arguments_vanished=%lu\n", vectorCount, seed, arrived,
                vanished);
    EXPECT_TRUE(arrived > vectorCount && vanished > vectorCount / 4)
        << "a generator that misses either road proves little";
}

// Through Process::launch and the C runtime of real children.
TEST(CommandLine, RandomVectorsReachARealChild)
{
    testChild::TempDirectory directory;
    const std::string output = directory.fileUtf8(L"argv.txt");
    std::mt19937 random(seed + 1);
    for (int i = 0; i < 20; ++i) {
        std::vector<std::string> arguments = randomVector(random), expected;
        arguments.insert(arguments.begin(), {"echo-args", output});
        for (const std::wstring& argument : childView(testChild::path(), arguments))
            expected.push_back(toUtf8(argument));
        arguments.insert(arguments.begin(), testChild::pathUtf8());
        Process child;
        EXPECT_TRUE(child.launch(arguments, {}) && testChild::ends(child) && child.exitCode() == 0) << GetLastError();
        EXPECT_EQ(expected, testChild::echoed(toWide(output)))
            << "seed " << seed + 1 << ": " << testing::PrintToString(arguments);
    }
}
} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::sscanf(argv[i], "--vectors=%lu", &vectorCount) != 1 && std::sscanf(argv[i], "--seed=%lu", &seed) != 1)
            return std::fprintf(stderr, "unknown argument %s\n", argv[i]), 64;
    return RUN_ALL_TESTS();
}

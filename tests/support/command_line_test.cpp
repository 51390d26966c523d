// The child's command line built from hostile UTF-8 argument vectors, read
// back by CommandLineToArgvW (many vectors) and by real test_child processes
// (a sample). Any failure prints the seed and the whole vector.
//   command_line_fuzz_tests [gtest options] [--vectors=N] [--seed=S]
#include "CommandLine.h"
#include "test_child.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

unsigned long vectorCount = 100000;
unsigned long seed = 4051;

bool blanked(wchar_t c)
{
    return (c < 0x20 && (c < 0x09 || c > 0x0D)) || (c >= 0x7F && c <= 0x9F);
}

// What the child is meant to see: every argument that is non-empty,
// well-formed UTF-8 (the system's strict decoder judges), with the C0 and C1
// controls other than tab, LF, VT, FF and CR blanked; the rest vanish.
std::vector<std::wstring> childView(const std::wstring& program, const std::vector<std::string>& arguments)
{
    std::vector<std::wstring> view{program};
    for (const std::string& argument : arguments) {
        const int length = static_cast<int>(argument.size());
        std::wstring text(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, argument.data(), length, nullptr, 0), L'\0');
        if (!text.empty() && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, argument.data(), length, text.data(),
                                                 static_cast<int>(text.size())) > 0) {
            std::replace_if(text.begin(), text.end(), blanked, L' ');
            view.push_back(text);
        }
    }
    return view;
}

// Empty when CommandLineToArgvW reads the built line as the child's view and
// no control character but the white-space ones reached the line.
std::string mismatch(const std::wstring& program, const std::vector<std::string>& arguments)
{
    const std::wstring line = buildCommandLine(program.c_str(), arguments);
    int count = 0;
    LPWSTR* parsed = CommandLineToArgvW(line.c_str(), &count);
    const std::vector<std::wstring> seen(parsed, parsed + (parsed ? count : 0));
    LocalFree(parsed);
    const std::vector<std::wstring> expected = childView(program, arguments);
    if (seen == expected && std::none_of(line.begin(), line.end(), blanked))
        return {};
    using testing::PrintToString;
    return PrintToString(arguments) + "\ncommand line: " + PrintToString(line) + "\nparsed:   " + PrintToString(seen)
        + "\nexpected: " + PrintToString(expected);
}

// UTF-8's bit layout for any value, surrogates and values past U+10FFFF too.
std::string encode(std::uint32_t c)
{
    if (c < 0x80)
        return std::string(1, static_cast<char>(c));
    const int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    std::string bytes(1, static_cast<char>(((0xFF00 >> (tail + 1)) & 0xFF) | (c >> (6 * tail))));
    for (int i = tail - 1; i >= 0; --i)
        bytes.push_back(static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F)));
    return bytes;
}

// Vectors weighted towards what quoting and conversion get wrong; about one
// piece in sixteen is ill-formed, so most vectors mix arguments that arrive
// with arguments that vanish.
class Generator {
public:
    explicit Generator(unsigned long seed) : mRandom(static_cast<std::mt19937::result_type>(seed)) {}

    unsigned pick(unsigned count) { return std::uniform_int_distribution<unsigned>(0, count - 1)(mRandom); }

    std::vector<std::string> vector()
    {
        std::vector<std::string> arguments(pick(9));
        for (std::string& argument : arguments) {
            for (unsigned pieces = pick(6) == 0 ? 0 : pick(10) + 1; pieces > 0; --pieces)
                argument += piece();
        }
        return arguments;
    }

private:
    std::string piece()
    {
        switch (pick(16)) {
        case 0: case 1: return "\"";
        case 2: case 3: return std::string(pick(5) + 1, '\\');
        case 4: return " ";
        case 5: return std::string(1, "\t\n\v\f\r"[pick(5)]);
        case 6: return std::string(1, static_cast<char>(pick(0x20))); // C0, NUL included
        case 7: return encode(0x7F + pick(0x21));                        // DEL and C1
        case 8: return encode(formatCharacters[pick(5)]); // not controls: they must arrive as they are
        case 9: return encode(0xA0 + pick(0xFF60)); // the BMP, an encoded surrogate now and then
        case 10: return encode(0x10000 + pick(0x100000));
        case 11:
            switch (pick(5)) {
            case 0: return "\xC0\xA2"; // an overlong quote
            case 1: return encode(0x10000 + pick(0x100000)).substr(0, pick(3) + 1);
            case 2: return std::string(1, static_cast<char>(0x80 + pick(0x40)));
            case 3: return std::string(1, static_cast<char>(0xF5 + pick(11)));
            default: return encode(0x110000 + pick(0xEFFFF));
            }
        default: return std::string(1, "aZ09*?%^&|<>()!=;,.-/:'"[pick(23)]);
        }
    }

    static constexpr std::uint32_t formatCharacters[] = {0x200D, 0x200F, 0xFEFF, 0xA0, 0x3000};
    std::mt19937 mRandom;
};

const std::wstring programs[] = {L"C:\\svc\\quorvanta-embedded-server.exe", L"C:\\Program Files\\Q\\server.exe",
                                 L"D:\\\x00E9t\x00E9\\\x4E2D\\server.exe", L"\\\\host\\share\\a b\\server.exe"};

TEST(CommandLine, ChosenAndRandomVectorsSurviveCommandLineToArgvW)
{
    const std::vector<std::string> chosen[] = {
        {"a\\\"b", "a\\", "\\\\server\\share", "\\\\", "\"", "a b\tc"}, // backslashes before a quote and at the end
        {"", "x", ""},                                                  // empty arguments vanish
        {std::string("a\0b", 3), "\x01\x7F", "\xC2\x85\xC2\x9F"},        // controls become blanks
        {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9 \xE2\x80\x8F\xEF\xBB\xBF\xC2\xA0"}, // U+200D and friends stay
        {"ok\xFF", "\xED\xA0\x80", "\xC0\xA2", "\xF4\x90\x80\x80", "fine"},               // ill-formed vanish
    };
    for (const auto& arguments : chosen)
        EXPECT_EQ("", mismatch(programs[0], arguments));

    std::printf("vectors=%lu seed=%lu\n", vectorCount, seed);
    const auto began = std::chrono::steady_clock::now();
    Generator generator(seed);
    unsigned long failures = 0, arrived = 0, vanished = 0;
    for (unsigned long i = 0; i < vectorCount; ++i) {
        const std::wstring& program = programs[generator.pick(4)];
        const std::vector<std::string> arguments = generator.vector();
        const std::size_t seen = childView(program, arguments).size() - 1;
        arrived += seen;
        vanished += arguments.size() - seen;
        const std::string fault = mismatch(program, arguments);
        if (!fault.empty() && ++failures <= 5)
            ADD_FAILURE() << "seed " << seed << ", vector " << i << ": " << fault;
    }
    std::printf("compared=%lu mismatches=%lu arguments_arrived=%lu arguments_vanished=%lu seconds=%.1f\n", vectorCount,
                failures, arrived, vanished,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    // A generator that missed either road would prove little.
    EXPECT_GT(arrived, vectorCount);
    EXPECT_GT(vanished, vectorCount / 4);
}

// Through Process::launch and the C runtime of real children.
TEST(CommandLine, RandomVectorsReachARealChild)
{
    testChild::TempDirectory directory;
    const std::wstring output = directory.file(L"argv.txt");
    Generator generator(seed + 1);
    for (int i = 0; i < 20; ++i) {
        std::vector<std::string> arguments = generator.vector();
        arguments.insert(arguments.begin(), {"echo-args", toUtf8(output)});
        std::vector<std::string> expected;
        for (const std::wstring& argument : childView(testChild::path(), arguments))
            expected.push_back(toUtf8(argument));
        arguments.insert(arguments.begin(), testChild::pathUtf8());
        DeleteFileW(output.c_str());
        Process child;
        ASSERT_TRUE(child.launch(arguments, {}) && testChild::ends(child)) << GetLastError();
        EXPECT_EQ(expected, testChild::echoed(output)) << "seed " << seed + 1 << ": " << testing::PrintToString(arguments);
    }
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const bool isCount = std::strncmp(argv[i], "--vectors=", 10) == 0;
        if (!isCount && std::strncmp(argv[i], "--seed=", 7) != 0) {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 64;
        }
        const char* value = std::strchr(argv[i], '=') + 1;
        std::from_chars(value, value + std::strlen(value), isCount ? vectorCount : seed);
    }
    return RUN_ALL_TESTS();
}

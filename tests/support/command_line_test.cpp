// The child's command line built from hostile UTF-8 vectors and read back by CommandLineToArgvW; failures print the
// seed and the whole vector. Options: --vectors=N --seed=S. Real children parse hostile arguments in the Wine
// harness, where the shipped server reads back what the SCM and the host passed it.
#include "CommandLine.h"
#include "WinApi.h"
#include <algorithm>
#include <charconv>
#include <gtest/gtest.h>
#include <random>
#include <shellapi.h>

using namespace std::string_view_literals;

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

// The order is part of the seeds' meaning: a vector is the same for a seed on every run.
const std::string_view pieces[] = {
    // Quotes (twice as likely) and backslashes; blanks.
    "\""sv, "\""sv, "\\"sv, "\\\\\\"sv, " "sv, "\t"sv, "\n\v\f\r"sv,
    // Controls (C0 with NUL, DEL, C1), then format characters that must stay.
    "\0"sv, "\x01"sv, "\x1F"sv, "\x7F"sv, "\xC2\x85"sv, "\xC2\x9F"sv, "\xE2\x80\x8D"sv, "\xE2\x80\x8F"sv,
    "\xEF\xBB\xBF"sv, "\xC2\xA0"sv,
    // Text of two, three and four bytes; ill-formed UTF-8: an encoded surrogate, an overlong quote, a cut
    // sequence, a stray continuation byte, 0xFF, a value past U+10FFFF.
    "\xC3\xA9"sv, "\xE4\xB8\xAD"sv, "\xF0\x9F\x98\x80"sv, "\xED\xA0\x80"sv, "\xC0\xA2"sv, "\xF0\x9F\x98"sv, "\x80"sv,
    "\xFF"sv, "\xF4\x90\x80\x80"sv,
    // ASCII, the interpreter's special characters too.
    "a"sv, "Z"sv, "%"sv, "&"sv, "|"sv, "<"sv, "^"sv, "!"sv};

// Up to eight arguments; one in six is empty, the others hold one to ten pieces.
std::vector<std::string> randomVector(std::mt19937& random)
{
    std::vector<std::string> arguments(random() % 9);
    for (std::string& argument : arguments) {
        unsigned pieceCount = 0;
        if (random() % 6 != 0)
            pieceCount = random() % 10 + 1;
        for (; pieceCount > 0; --pieceCount)
            argument += pieces[random() % std::size(pieces)];
    }
    return arguments;
}

std::vector<std::wstring> parsedByTheSystem(const std::wstring& commandLine)
{
    int count = 0;
    LPWSTR* parsed = CommandLineToArgvW(commandLine.c_str(), &count);
    if (parsed == nullptr)
        return {};
    std::vector<std::wstring> arguments(parsed, parsed + count);
    LocalFree(parsed);
    return arguments;
}

TEST(CommandLine, RandomVectorsComeBackFromCommandLineToArgvWAsTheChildShouldSeeThem)
{
    const std::wstring programs[]
        = {L"C:\\svc\\server.exe", L"C:\\Program Files\\Q\\server.exe", L"D:\\\x00E9t\x00E9\\\x4E2D.exe"};
    std::mt19937 random(seed);
    unsigned long failures = 0, arrived = 0, vanished = 0;
    for (unsigned long i = 0; i < vectorCount && failures < 5; ++i) {
        const std::wstring& program = programs[random() % std::size(programs)];
        const std::vector<std::string> arguments = randomVector(random);
        const std::wstring line = buildCommandLine(program.c_str(), arguments);
        const std::vector<std::wstring> seen = parsedByTheSystem(line);
        const std::vector<std::wstring> expected = childView(program, arguments);
        arrived += expected.size() - 1;
        vanished += arguments.size() + 1 - expected.size();
        if (seen != expected || std::any_of(line.begin(), line.end(), blanked)) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << ", vector " << i << ": " << testing::PrintToString(arguments)
                          << "\nline: " << testing::PrintToString(line) << "\nparsed: " << testing::PrintToString(seen);
        }
    }
    std::printf("compared=%lu seed=%lu arguments_arrived=%lu arguments_vanished=%lu\n", vectorCount, seed, arrived,
                vanished);
    EXPECT_TRUE(arrived > vectorCount && vanished > vectorCount / 4)
        << "a generator that misses either road proves little";
}

} // namespace

// True when the argument is "<option><number>" and the number went into value.
bool readOption(std::string_view argument, std::string_view option, unsigned long& value)
{
    if (!argument.starts_with(option))
        return false;
    argument.remove_prefix(option.size());
    const auto [end, error] = std::from_chars(argument.data(), argument.data() + argument.size(), value);
    return error == std::errc() && end == argument.data() + argument.size();
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (!readOption(argv[i], "--vectors=", vectorCount) && !readOption(argv[i], "--seed=", seed)) {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 64;
        }
    }
    return RUN_ALL_TESTS();
}

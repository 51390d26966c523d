// The child's command line built from hostile UTF-8 argument vectors, read
// back with CommandLineToArgvW. The vectors are raw bytes: valid text of every
// length class, controls, quotes and backslash runs, and the ill-formed UTF-8
// that start arguments can turn into (encoded surrogates, truncated and
// overlong sequences, stray continuation bytes, bytes that never occur).
//
//   command_line_fuzz_tests [gtest options] [--vectors=N] [--seed=S]
//
// The count and the seed are printed, so any failure can be replayed.
#include "CommandLine.h"
#include "WinApi.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

unsigned long vectorCount = 100000;
unsigned long fuzzSeed = 4051;

// Strict UTF-8 to UTF-16, written out rule by rule so that it does not lean on
// the conversion under test: no overlong forms, no surrogates, nothing past
// U+10FFFF, no truncated or stray sequences.
std::optional<std::wstring> decodeStrictly(const std::string& bytes)
{
    std::wstring text;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        unsigned length = 0;
        std::uint32_t codePoint = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80) {
            text.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, codePoint = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, codePoint = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, codePoint = lead & 0x07, minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + length > bytes.size())
            return std::nullopt;
        for (unsigned k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            codePoint = codePoint << 6 | (next & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return std::nullopt;
        if (codePoint >= 0x10000) {
            text.push_back(static_cast<wchar_t>(0xD800 + ((codePoint - 0x10000) >> 10)));
            text.push_back(static_cast<wchar_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF)));
        } else {
            text.push_back(static_cast<wchar_t>(codePoint));
        }
        i += length;
    }
    return text;
}

bool blanked(wchar_t c)
{
    const bool whiteSpaceControl = c >= 0x09 && c <= 0x0D;
    return (c < 0x20 && !whiteSpaceControl) || (c >= 0x7F && c <= 0x9F);
}

// What the child is meant to see: each argument that is valid, non-empty
// UTF-8, with the C0 and C1 controls other than tab, LF, VT, FF and CR
// blanked; everything else vanishes.
std::vector<std::wstring> childView(const std::wstring& program, const std::vector<std::string>& arguments)
{
    std::vector<std::wstring> view{program};
    for (const std::string& argument : arguments) {
        std::optional<std::wstring> text = decodeStrictly(argument);
        if (!text || text->empty())
            continue;
        for (wchar_t& c : *text) {
            if (blanked(c))
                c = L' ';
        }
        view.push_back(*text);
    }
    return view;
}

std::string shown(const std::string& bytes)
{
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
            out.push_back(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

std::string shown(const std::wstring& text)
{
    std::string out;
    for (const wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != L'\\' && c != L'"') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[12];
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out;
}

template <typename Text> std::string shownList(const std::vector<Text>& list)
{
    std::string out = "[";
    for (std::size_t i = 0; i < list.size(); ++i)
        out += (i == 0 ? "\"" : ", \"") + shown(list[i]) + "\"";
    return out + "]";
}

// Argument vectors as raw bytes. Each argument is a run of pieces; about one
// in eight pieces is ill-formed, so that most vectors mix arguments that must
// vanish with ones that must arrive.
class ByteVectorGenerator {
public:
    explicit ByteVectorGenerator(unsigned long seed) : mRandom(static_cast<std::mt19937::result_type>(seed)) {}

    std::vector<std::string> vector()
    {
        std::vector<std::string> arguments(pick(9));
        for (std::string& argument : arguments)
            argument = this->argument();
        return arguments;
    }

    std::wstring program()
    {
        // The first token is read without escapes, so the program text never
        // holds a quote and never ends in a backslash, as no executable path does.
        static const wchar_t* const programs[] = {
            L"C:\\svc\\quorvanta-embedded-server.exe",
            L"C:\\Program Files\\Quorvanta\\quorvanta-embedded-server.exe",
            L"D:\\\x00E9t\x00E9\\\x4E2D\x6587\\server.exe",
            L"\\\\host\\share\\a b\\server.exe",
        };
        return programs[pick(sizeof programs / sizeof programs[0])];
    }

private:
    std::string argument()
    {
        std::string bytes;
        if (pick(6) == 0)
            return bytes;
        const unsigned pieces = pick(10) + 1;
        for (unsigned i = 0; i < pieces; ++i)
            appendPiece(bytes);
        return bytes;
    }

    void appendPiece(std::string& bytes)
    {
        switch (pick(16)) {
        case 0:
        case 1: bytes.push_back('"'); break;
        case 2:
        case 3: bytes.append(pick(5) + 1, '\\'); break;
        case 4: bytes.push_back(' '); break;
        case 5: bytes.push_back("\t\n\v\f\r"[pick(5)]); break;
        case 6: bytes.push_back(static_cast<char>(pick(0x20))); break;          // C0, NUL included
        case 7: appendCodePoint(bytes, 0x7F + pick(0x21)); break;               // DEL and C1
        case 8: appendCodePoint(bytes, 0xA0 + pick(0x800 - 0xA0)); break;       // two bytes
        case 9: appendCodePoint(bytes, randomBmpNonSurrogate()); break;         // three bytes
        case 10: appendCodePoint(bytes, 0x10000 + pick(0x100000)); break;       // four bytes
        case 11: appendIllFormed(bytes); break;
        default: bytes.push_back("aZ09*?%^&|<>()!=;,.-/:'"[pick(23)]); break;
        }
    }

    std::uint32_t randomBmpNonSurrogate()
    {
        for (;;) {
            const std::uint32_t c = 0x800 + pick(0x10000 - 0x800);
            if (c < 0xD800 || c > 0xDFFF)
                return c;
        }
    }

    void appendIllFormed(std::string& bytes)
    {
        switch (pick(7)) {
        case 0: // an unpaired surrogate, encoded as if it were a character
            appendRaw(bytes, 0xD800 + pick(0x800), 3);
            break;
        case 1: // a surrogate pair encoded half by half
            appendRaw(bytes, 0xD800 + pick(0x400), 3);
            appendRaw(bytes, 0xDC00 + pick(0x400), 3);
            break;
        case 2: // an overlong form of an ASCII character, such as a quote
            bytes.push_back(static_cast<char>(0xC0 | ('"' >> 6)));
            bytes.push_back(static_cast<char>(0x80 | ('"' & 0x3F)));
            break;
        case 3: { // a lead byte cut short
            std::string whole;
            appendCodePoint(whole, 0x10000 + pick(0x100000));
            bytes.append(whole, 0, 1 + pick(3));
            break;
        }
        case 4: // a stray continuation byte
            bytes.push_back(static_cast<char>(0x80 + pick(0x40)));
            break;
        case 5: // bytes that never occur in UTF-8
            bytes.push_back(static_cast<char>(0xF5 + pick(11)));
            break;
        default: // past U+10FFFF
            bytes.append("\xF4\x90\x80\x80");
            break;
        }
    }

    static void appendRaw(std::string& bytes, std::uint32_t c, unsigned length)
    {
        if (length == 3) {
            bytes.push_back(static_cast<char>(0xE0 | (c >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }

    static void appendCodePoint(std::string& bytes, std::uint32_t c)
    {
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (c >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            appendRaw(bytes, c, 3);
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (c >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }

    unsigned pick(unsigned count) { return std::uniform_int_distribution<unsigned>(0, count - 1)(mRandom); }

    std::mt19937 mRandom;
};

// The model itself, on cases whose answer is known: a model that let
// everything through, or dropped too much, would make the comparison below
// worthless.
TEST(ChildViewModel, KnowsWhichArgumentsArriveAndHow)
{
    const std::wstring program = L"C:\\p.exe";
    struct Case {
        std::string argument;
        std::optional<std::wstring> arrives;
    };
    const Case cases[] = {
        {"plain", L"plain"},
        {"", std::nullopt},
        {"a\"b\\", L"a\"b\\"},
        {std::string("a\0b", 3), L"a b"},
        {"\x01\x1F\x7F", L"   "},
        {"\xC2\x85\xC2\x9F\xC2\xA0", L"  \x00A0"},
        {"\t\n\v\f\r", L"\t\n\v\f\r"},
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
        {"\xED\xA0\x80", std::nullopt},               // U+D800 encoded alone
        {"\xED\xA0\xBD\xED\xB8\x80", std::nullopt},   // a pair encoded half by half
        {"\xC0\xA2", std::nullopt},                   // overlong quote
        {"\xE0\x80\xA2", std::nullopt},               // overlong quote, three bytes
        {"\xF0\x9F\x98", std::nullopt},               // cut short
        {"ok\x80", std::nullopt},                     // stray continuation
        {"\xF5\x80\x80\x80", std::nullopt},
        {"\xF4\x90\x80\x80", std::nullopt},           // past U+10FFFF
        {"\xF4\x8F\xBF\xBF", L"\xDBFF\xDFFF"},        // U+10FFFF itself
        {"\xEF\xBF\xBF", L"\xFFFF"},
    };
    for (const Case& c : cases) {
        const std::vector<std::wstring> view = childView(program, {c.argument});
        if (c.arrives) {
            ASSERT_EQ(2u, view.size()) << shown(c.argument);
            EXPECT_EQ(*c.arrives, view[1]) << shown(c.argument);
        } else {
            EXPECT_EQ(1u, view.size()) << shown(c.argument) << " should vanish";
        }
    }
}

TEST(RandomCommandLines, CommandLineToArgvWSeesTheChildView)
{
    std::printf("vectors=%lu seed=%lu\n", vectorCount, fuzzSeed);
    std::fflush(stdout);
    ByteVectorGenerator generator(fuzzSeed);
    const auto began = std::chrono::steady_clock::now();
    unsigned long failures = 0;
    unsigned long vanished = 0;
    unsigned long arrived = 0;
    for (unsigned long i = 0; i < vectorCount; ++i) {
        const std::wstring program = generator.program();
        const std::vector<std::string> arguments = generator.vector();
        const std::wstring commandLine = buildCommandLine(program.c_str(), arguments);

        int count = 0;
        LPWSTR* parsed = CommandLineToArgvW(commandLine.c_str(), &count);
        ASSERT_NE(nullptr, parsed) << "vector " << i;
        const std::vector<std::wstring> seen(parsed, parsed + count);
        LocalFree(parsed);

        const std::vector<std::wstring> expected = childView(program, arguments);
        arrived += expected.size() - 1;
        vanished += arguments.size() - (expected.size() - 1);
        bool controlLeft = false;
        for (const wchar_t c : commandLine)
            controlLeft = controlLeft || blanked(c);
        if (seen != expected || controlLeft) {
            if (++failures <= 5)
                ADD_FAILURE() << "seed " << fuzzSeed << ", vector " << i << ": " << shownList(arguments)
                              << "\ncommand line: " << shown(commandLine) << "\nparsed:   " << shownList(seen)
                              << "\nexpected: " << shownList(expected);
        }
    }
    const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("compared=%lu mismatches=%lu arguments_arrived=%lu arguments_vanished=%lu seconds=%.1f\n", vectorCount,
                failures, arrived, vanished, took);
    EXPECT_EQ(0ul, failures);
    // The generator must exercise both roads, or the comparison proves little.
    EXPECT_GT(arrived, vectorCount);
    EXPECT_GT(vanished, vectorCount / 4);
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--vectors=", 10) == 0) {
            vectorCount = std::strtoul(argv[i] + 10, nullptr, 10);
        } else if (std::strncmp(argv[i], "--seed=", 7) == 0) {
            fuzzSeed = std::strtoul(argv[i] + 7, nullptr, 10);
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 64;
        }
    }
    return RUN_ALL_TESTS();
}

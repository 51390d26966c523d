// The verbs of test_child. Each verb lives in a source file of this folder and
// registers itself with a static ChildVerb, so a test area that needs a verb of
// its own adds a file here (and to CMakeLists.txt) without touching the others.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// arguments holds what follows the verb on the child's command line. The result
// is the process exit code.
using ChildVerbFunction = int (*)(const std::vector<std::wstring>& arguments);

struct ChildVerb {
    ChildVerb(const wchar_t* name, ChildVerbFunction function);
};

// Decimal or 0x-prefixed hexadecimal, the whole 64-bit range; false for
// anything else (trailing text included).
bool parseChildNumber(const std::wstring& text, std::uint64_t& value);

// UTF-8 for a child's output files. Lenient: a lone surrogate shows up as
// U+FFFD instead of hiding the whole text.
std::string childUtf8(const std::wstring& text);

// Writes bytes to a file, replacing it; false when the file cannot be written.
bool writeChildFile(const std::wstring& path, const std::string& bytes);

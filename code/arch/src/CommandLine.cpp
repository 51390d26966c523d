#include "CommandLine.h"

#include "TextConversion.h"

#include <cwctype>

namespace {

// A NUL would end the command line early; the other control characters are
// blanked with it so that the child never sees one. Only the C0 and C1
// controls (up to U+009F) count: the runtime also calls format characters
// such as U+200D (joiner in emoji sequences), U+200F (right-to-left mark) and
// U+FEFF controls, and blanking those would alter names written in
// right-to-left scripts and emoji, which the child must get as they are.
bool isBlankedControl(wchar_t character)
{
    return character < 0xA0 && std::iswcntrl(character) && !std::iswspace(character);
}

} // namespace

std::wstring quoteArgument(std::wstring_view argument)
{
    if (argument.empty())
        return {};
    std::wstring quoted;
    // Every unit yields at most two, so this never reallocates.
    quoted.reserve(argument.size() * 2 + 2);
    quoted.push_back(L'"');
    std::size_t position = 0;
    for (;;) {
        std::size_t backslashes = 0;
        while (position < argument.size() && argument[position] == L'\\') {
            ++backslashes;
            ++position;
        }
        if (position == argument.size()) {
            // Doubled, so that the closing quote stays a quote.
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        const wchar_t character = argument[position];
        if (character == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
            quoted.push_back(L'"');
        } else {
            quoted.append(backslashes, L'\\');
            quoted.push_back(isBlankedControl(character) ? L' ' : character);
        }
        ++position;
    }
    quoted.push_back(L'"');
    return quoted;
}

std::wstring quoteArgument(std::string_view utf8Argument)
{
    if (utf8Argument.empty())
        return {};
    return quoteArgument(std::wstring_view(toWide(utf8Argument)));
}

namespace {

std::wstring appendArguments(std::wstring commandLine, const std::vector<std::string>& utf8Arguments)
{
    for (const std::string& argument : utf8Arguments) {
        if (!commandLine.empty())
            commandLine.push_back(L' ');
        commandLine += quoteArgument(std::string_view(argument));
    }
    return commandLine;
}

} // namespace

std::wstring buildCommandLine(std::string_view utf8Program, const std::vector<std::string>& utf8Arguments)
{
    return appendArguments(quoteArgument(utf8Program), utf8Arguments);
}

std::wstring buildCommandLine(const wchar_t* program, const std::vector<std::string>& utf8Arguments)
{
    return appendArguments(quoteArgument(std::wstring_view(program != nullptr ? program : L"")), utf8Arguments);
}

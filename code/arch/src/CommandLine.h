// Windows command-line quoting: every non-empty argument is enclosed in double
// quotes and escaped by the rules of the runtime's argument parser, so that the
// child's CommandLineToArgvW gives it back exactly (the C0 and C1 control
// characters other than tab, LF, VT, FF and CR become blanks). Empty
// arguments vanish from the child's view.
#pragma once

#include <string>
#include <string_view>
#include <vector>

std::wstring quoteArgument(std::wstring_view argument);
std::wstring quoteArgument(std::string_view utf8Argument);

std::wstring buildCommandLine(std::string_view utf8Program, const std::vector<std::string>& utf8Arguments);
std::wstring buildCommandLine(const wchar_t* program, const std::vector<std::string>& utf8Arguments);

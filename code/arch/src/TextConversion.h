// UTF-16 <-> UTF-8. Malformed input in either direction gives an empty string,
// never a partly replaced one; embedded NULs are ordinary characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

std::string toUtf8(const wchar_t* text, std::size_t count);
std::wstring toWide(const char* text, std::size_t count);

inline std::string toUtf8(std::wstring_view text)
{
    return toUtf8(text.data(), text.size());
}
inline std::wstring toWide(std::string_view text)
{
    return toWide(text.data(), text.size());
}

#include "TextConversion.h"

#include "WinApi.h"

#include <climits>

std::string toUtf8(const wchar_t* text, std::size_t count)
{
    if (count == 0 || count > static_cast<std::size_t>(INT_MAX))
        return {};
    const int length = static_cast<int>(count);
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size == 0)
        return {};
    std::string result(static_cast<std::size_t>(size) + 1, '\0');
    // The sizing pass replaces unpaired surrogates; only the strict pass rejects them.
    const int written
        = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, length, result.data(), size, nullptr, nullptr);
    if (written == 0)
        return {};
    result.resize(static_cast<std::size_t>(written));
    return result;
}

std::wstring toWide(const char* text, std::size_t count)
{
    if (count == 0 || count > static_cast<std::size_t>(INT_MAX))
        return {};
    const int length = static_cast<int>(count);
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    if (size == 0)
        return {};
    std::wstring result(static_cast<std::size_t>(size) + 1, L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text, length, result.data(), size) == 0)
        return {};
    result.resize(static_cast<std::size_t>(size));
    return result;
}

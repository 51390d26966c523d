#include "file_names.h"

#include <array>

namespace {

// b is in lower case.
bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i])
            return false;
    }
    return true;
}

// Windows opens the device for these whatever extension follows ("nul.txt").
bool isDeviceName(std::string_view name)
{
    const std::string_view stem = name.substr(0, name.find('.'));
    static constexpr std::array<std::string_view, 4> plain{"con", "prn", "aux", "nul"};
    for (std::string_view device : plain)
        if (equalsIgnoringCase(stem, device))
            return true;
    if (stem.size() == 4 && stem[3] >= '0' && stem[3] <= '9')
        return equalsIgnoringCase(stem.substr(0, 3), "com") || equalsIgnoringCase(stem.substr(0, 3), "lpt");
    return false;
}

} // namespace

bool isValidFileName(std::string_view name)
{
    if (name.empty() || name.size() > maxFileNameLength)
        return false;
    // A leading dot would reach "." and ".." and the server's own temporary
    // files; Windows drops a trailing dot, so "a." would alias "a".
    if (name.front() == '.' || name.back() == '.')
        return false;
    for (char c : name) {
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.'
            || c == '_' || c == '-';
        if (!safe)
            return false;
    }
    return !isDeviceName(name);
}


// The data folder. A stored file only ever appears under its name complete:
// uploads go to ".upload-<pid>-<n>.tmp" (the leading dot keeps them out of
// the stored names) and are renamed once written, so a stop or crash leaves
// at most a temporary file, which the next start clears away.
#include "server.h"

#include "TextConversion.h"
#include "UniqueHandle.h"

#include <boost/beast/core/string.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace {

bool processIsRunning(DWORD processId)
{
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process)
        return GetLastError() != ERROR_INVALID_PARAMETER; // denied still proves it exists
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// A temporary file of this process's number or of a run that has ended.
bool isLeftover(std::string_view name)
{
    constexpr std::string_view prefix = ".upload-";
    constexpr std::string_view suffix = ".tmp";
    if (!name.starts_with(prefix) || !name.ends_with(suffix))
        return false;
    const std::string_view middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    DWORD owner = 0;
    std::uint64_t counter = 0;
    const auto [dash, error] = std::from_chars(middle.data(), middle.data() + middle.size(), owner);
    if (error != std::errc() || dash == middle.data() + middle.size() || *dash != '-')
        return false;
    const auto [end, counterError] = std::from_chars(dash + 1, middle.data() + middle.size(), counter);
    if (counterError != std::errc() || end != middle.data() + middle.size())
        return false;
    return owner == GetCurrentProcessId() || !processIsRunning(owner);
}

} // namespace

bool isValidFileName(std::string_view name)
{
    // A leading dot would reach "." and ".." and the temporary files; Windows
    // drops a trailing dot, so "a." would alias "a".
    if (name.empty() || name.size() > 128 || name.front() == '.' || name.back() == '.')
        return false;
    const auto unsafe = [](char c) { return !std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-'; };
    if (std::any_of(name.begin(), name.end(), unsafe))
        return false;
    // Windows opens the device for these whatever extension follows ("nul.txt").
    const std::string_view stem = name.substr(0, name.find('.'));
    using boost::beast::iequals;
    constexpr std::array<std::string_view, 4> devices{"con", "prn", "aux", "nul"};
    if (std::any_of(devices.begin(), devices.end(), [&](std::string_view device) { return iequals(stem, device); }))
        return false;
    const bool numbered = stem.size() == 4 && stem[3] >= '0' && stem[3] <= '9';
    return !(numbered && (iequals(stem.substr(0, 3), "com") || iequals(stem.substr(0, 3), "lpt")));
}

bool openDataFolder(fs::path& folder, std::string& problem)
{
    std::error_code error;
    // Fixed once, so that the store does not move if the current folder does.
    folder = fs::absolute(folder, error);
    if (!error)
        fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
        problem = "cannot create the data folder " + toUtf8(folder.wstring()) + ": " + error.message();
        return false;
    }
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (isLeftover(toUtf8(it->path().filename().wstring())))
            fs::remove(it->path(), ignored);
    }
    return true;
}

bool listFiles(const fs::path& folder, std::string& body)
{
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        const std::string name = toUtf8(it->path().filename().wstring());
        if (it->is_regular_file(ignored) && isValidFileName(name))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    body.clear();
    for (const std::string& name : names)
        body += name + "\n";
    return !error;
}

fs::path newTemporaryPath(const fs::path& folder)
{
    static unsigned counter = 0;
    return folder / (L".upload-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++) + L".tmp");
}

std::string percentEncode(std::string_view bytes)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~')
            encoded += c;
        else
            encoded.append({'%', hex[u >> 4], hex[u & 0xF]});
    }
    return encoded;
}

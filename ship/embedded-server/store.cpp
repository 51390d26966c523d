// The data folder. A stored file only ever appears under its name complete:
// uploads go to ".upload-<pid>-<n>.tmp" (the leading dot keeps them out of
// the stored names) and are renamed once written, so a stop or crash leaves
// at most a temporary file, which the next start clears away.
#include "server.h"

#include "TextConversion.h"
#include "UniqueHandle.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <regex>

namespace {

bool processIsRunning(DWORD processId)
{
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process)
        return GetLastError() != ERROR_INVALID_PARAMETER; // denied still proves it exists
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// A temporary file of this process's number or of a run that has ended.
bool isLeftover(const std::string& name)
{
    static const std::regex temporary(R"(\.upload-(\d+)-\d+\.tmp)");
    std::smatch match;
    DWORD owner = 0;
    if (!std::regex_match(name, match, temporary)
        || std::from_chars(&*match[1].first, &*match[1].first + match[1].length(), owner).ec != std::errc())
        return false;
    return owner == GetCurrentProcessId() || !processIsRunning(owner);
}

} // namespace

bool isValidFileName(std::string_view name)
{
    // A leading dot would reach "." and ".." and the temporary files; Windows
    // drops a trailing dot, so "a." would alias "a"; and it opens the device
    // for a device name whatever extension follows ("nul.txt").
    static const std::regex safe(R"([A-Za-z0-9_-]([A-Za-z0-9._-]*[A-Za-z0-9_-])?)");
    static const std::regex device(R"((con|prn|aux|nul|com[0-9]|lpt[0-9])(\..*)?)", std::regex::icase);
    return name.size() <= 128 && std::regex_match(name.begin(), name.end(), safe)
        && !std::regex_match(name.begin(), name.end(), device);
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
    return folder
        / (L".upload-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++) + L".tmp");
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

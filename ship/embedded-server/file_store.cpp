#include "file_store.h"

#include "file_names.h"
#include "TextConversion.h"

#include <algorithm>
#include <limits>

namespace {

// Uploads cache in blocks rather than one growing string, so a large upload
// never needs twice its size while the buffer is moved.
constexpr std::size_t cacheBlockSize = 1024 * 1024;

std::atomic<unsigned> uploadCounter{0};

constexpr DWORD replaceRetryMs = 50;

std::wstring widen(std::string_view ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

bool isDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool createDirectories(const std::wstring& path)
{
    if (CreateDirectoryW(path.c_str(), nullptr))
        return true;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || (error == ERROR_ACCESS_DENIED && isDirectory(path))) {
        if (isDirectory(path))
            return true;
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    if (error != ERROR_PATH_NOT_FOUND)
        return false;
    const std::size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut == 0 || !createDirectories(path.substr(0, cut)))
        return false;
    if (CreateDirectoryW(path.c_str(), nullptr))
        return true;
    error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && isDirectory(path))
        return true;
    SetLastError(error);
    return false;
}

bool processIsRunning(DWORD processId)
{
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) {
        const DWORD error = GetLastError();
        // Access denied still proves that a process of that id exists.
        return error != ERROR_INVALID_PARAMETER;
    }
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

} // namespace

bool WriteCacheBudget::take(std::uint64_t bytes)
{
    std::uint64_t available = mAvailable.load();
    do {
        if (available < bytes)
            return false;
    } while (!mAvailable.compare_exchange_weak(available, available - bytes));
    return true;
}

bool isTemporaryName(std::wstring_view fileName, DWORD& processId)
{
    constexpr std::wstring_view prefix = L".upload-";
    constexpr std::wstring_view suffix = L".tmp";
    if (!fileName.starts_with(prefix) || !fileName.ends_with(suffix))
        return false;
    const std::wstring_view middle
        = fileName.substr(prefix.size(), fileName.size() - prefix.size() - suffix.size());
    const std::size_t dash = middle.find(L'-');
    if (dash == 0 || dash == std::wstring_view::npos || dash + 1 == middle.size())
        return false;
    std::uint64_t id = 0;
    for (wchar_t c : middle.substr(0, dash)) {
        if (c < L'0' || c > L'9' || id > std::numeric_limits<DWORD>::max() / 10)
            return false;
        id = id * 10 + static_cast<unsigned>(c - L'0');
    }
    for (wchar_t c : middle.substr(dash + 1))
        if (c < L'0' || c > L'9')
            return false;
    if (id > std::numeric_limits<DWORD>::max())
        return false;
    processId = static_cast<DWORD>(id);
    return true;
}

FileUpload::~FileUpload()
{
    discard();
}

FileUpload::FileUpload(FileUpload&& other) noexcept
    : mBudget(other.mBudget)
    , mReplaceWaitMs(other.mReplaceWaitMs)
    , mFile(std::move(other.mFile))
    , mTemporaryPath(std::move(other.mTemporaryPath))
    , mFinalPath(std::move(other.mFinalPath))
    , mCache(std::move(other.mCache))
    , mCached(std::exchange(other.mCached, 0))
{
    other.mTemporaryPath.clear();
    other.mCache.clear();
}

FileUpload& FileUpload::operator=(FileUpload&& other) noexcept
{
    if (this != &other) {
        discard();
        mBudget = other.mBudget;
        mReplaceWaitMs = other.mReplaceWaitMs;
        mFile = std::move(other.mFile);
        mTemporaryPath = std::move(other.mTemporaryPath);
        mFinalPath = std::move(other.mFinalPath);
        mCache = std::move(other.mCache);
        mCached = std::exchange(other.mCached, 0);
        other.mTemporaryPath.clear();
        other.mCache.clear();
    }
    return *this;
}

bool FileUpload::append(const char* data, std::size_t size)
{
    if (!mFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (mBudget && mBudget->take(size)) {
        mCached += size;
        while (size > 0) {
            if (mCache.empty() || mCache.back().size() == cacheBlockSize) {
                mCache.emplace_back();
                mCache.back().reserve(cacheBlockSize);
            }
            std::string& block = mCache.back();
            const std::size_t part = std::min(size, cacheBlockSize - block.size());
            block.append(data, part);
            data += part;
            size -= part;
        }
        return true;
    }
    return flushCache() && writeAll(data, size);
}

bool FileUpload::writeAll(const char* data, std::size_t size)
{
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(mFile.get(), data, chunk, &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool FileUpload::flushCache()
{
    bool ok = true;
    DWORD error = ERROR_SUCCESS;
    for (const std::string& block : mCache) {
        if (!writeAll(block.data(), block.size())) {
            error = GetLastError();
            ok = false;
            break;
        }
    }
    mCache.clear();
    if (mBudget)
        mBudget->give(std::exchange(mCached, 0));
    if (!ok)
        SetLastError(error);
    return ok;
}

bool FileUpload::commit(bool& replaced)
{
    if (!mFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // The data must be on disk before the rename makes it visible; otherwise
    // a power loss could leave the name pointing at a hole.
    if (!flushCache() || !FlushFileBuffers(mFile.get())) {
        const DWORD error = GetLastError();
        discard();
        SetLastError(error);
        return false;
    }
    mFile.reset();
    replaced = GetFileAttributesW(mFinalPath.c_str()) != INVALID_FILE_ATTRIBUTES;
    const ULONGLONG deadline = GetTickCount64() + mReplaceWaitMs;
    for (;;) {
        if (MoveFileExW(mTemporaryPath.c_str(), mFinalPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            break;
        DWORD error = GetLastError();
        // An open reader blocks the replace until it closes the file. Moving
        // the old file aside instead would leave a moment without any file
        // under the name, and a crash then would lose both versions.
        const bool busy = (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && replaced
            && !isDirectory(mFinalPath);
        if (busy && GetTickCount64() < deadline) {
            Sleep(replaceRetryMs);
            continue;
        }
        if (busy)
            error = ERROR_SHARING_VIOLATION;
        discard();
        SetLastError(error);
        return false;
    }
    mTemporaryPath.clear();
    return true;
}

void FileUpload::discard()
{
    mCache.clear();
    if (mBudget)
        mBudget->give(std::exchange(mCached, 0));
    mFile.reset();
    if (!mTemporaryPath.empty()) {
        DeleteFileW(mTemporaryPath.c_str());
        mTemporaryPath.clear();
    }
}

FileStore::FileStore(std::wstring directory, WriteCacheBudget& budget, DWORD replaceWaitMs)
    : mDirectory(std::move(directory))
    , mBudget(budget)
    , mReplaceWaitMs(replaceWaitMs)
{
}

bool FileStore::open()
{
    // Fixed once, so that the store does not move if the current folder does.
    DWORD length = GetFullPathNameW(mDirectory.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return false;
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(mDirectory.c_str(), length, full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return false;
    full.resize(length);
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/'))
        full.pop_back();
    mDirectory = std::move(full);

    if (!createDirectories(mDirectory))
        return false;

    WIN32_FIND_DATAW found;
    const std::wstring pattern = mDirectory + L"\\.upload-*.tmp";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    const DWORD self = GetCurrentProcessId();
    do {
        DWORD owner = 0;
        if (isTemporaryName(found.cFileName, owner) && (owner == self || !processIsRunning(owner)))
            DeleteFileW((mDirectory + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

std::wstring FileStore::pathOf(std::string_view name) const
{
    return mDirectory + L"\\" + widen(name);
}

FileUpload FileStore::beginUpload(std::string_view name)
{
    FileUpload upload;
    upload.mBudget = &mBudget;
    upload.mReplaceWaitMs = mReplaceWaitMs;
    upload.mFinalPath = pathOf(name);
    const std::wstring temporary = mDirectory + L"\\.upload-" + std::to_wstring(GetCurrentProcessId()) + L"-"
        + std::to_wstring(uploadCounter.fetch_add(1)) + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return upload;
    upload.mFile.reset(file);
    upload.mTemporaryPath = temporary;
    return upload;
}

ScopedHandle FileStore::openForReading(std::string_view name, std::uint64_t& size)
{
    const std::wstring path = pathOf(name);
    // Sharing delete lets an upload replace the file while it is being sent.
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        // A folder of that name is not a stored file.
        SetLastError(error == ERROR_ACCESS_DENIED && isDirectory(path) ? ERROR_FILE_NOT_FOUND : error);
        return file;
    }
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file.get(), &fileSize)) {
        const DWORD error = GetLastError();
        file.reset();
        SetLastError(error);
        return file;
    }
    size = static_cast<std::uint64_t>(fileSize.QuadPart);
    return file;
}

bool FileStore::remove(std::string_view name)
{
    const std::wstring path = pathOf(name);
    if (DeleteFileW(path.c_str()))
        return true;
    const DWORD error = GetLastError();
    SetLastError(error == ERROR_ACCESS_DENIED && isDirectory(path) ? ERROR_FILE_NOT_FOUND : error);
    return false;
}

bool FileStore::list(std::vector<std::string>& names)
{
    names.clear();
    WIN32_FIND_DATAW found;
    const std::wstring pattern = mDirectory + L"\\*";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const std::string name = toUtf8(found.cFileName);
        if (isValidFileName(name))
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    std::sort(names.begin(), names.end());
    if (error != ERROR_NO_MORE_FILES) {
        SetLastError(error);
        return false;
    }
    return true;
}

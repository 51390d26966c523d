// The files the server keeps, in one folder. A stored file only ever appears
// under its name complete: uploads go to a temporary file that is flushed and
// then renamed over the name, so a stop or crash mid-upload leaves at most a
// temporary file, which the next start clears away.
#pragma once

#include "UniqueHandle.h"
#include "WinApi.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The memory all uploads together may hold before they write to disk.
class WriteCacheBudget {
public:
    explicit WriteCacheBudget(std::uint64_t total) : mAvailable(total) {}
    WriteCacheBudget(const WriteCacheBudget&) = delete;
    WriteCacheBudget& operator=(const WriteCacheBudget&) = delete;

    bool take(std::uint64_t bytes);
    void give(std::uint64_t bytes) { mAvailable.fetch_add(bytes); }
    std::uint64_t available() const { return mAvailable.load(); }

private:
    std::atomic<std::uint64_t> mAvailable;
};

class FileStore;

// One upload in progress. Dropping it before commit() removes its temporary
// file and leaves the stored name as it was.
class FileUpload {
public:
    FileUpload() = default;
    ~FileUpload();
    FileUpload(FileUpload&& other) noexcept;
    FileUpload& operator=(FileUpload&& other) noexcept;
    FileUpload(const FileUpload&) = delete;
    FileUpload& operator=(const FileUpload&) = delete;

    bool isOpen() const { return mFile.valid(); }
    // False with the reason in GetLastError; the upload is then useless.
    bool append(const char* data, std::size_t size);
    // Makes the contents durable and puts them under the name. replaced tells
    // whether a file of that name existed before. A file being read cannot be
    // replaced on Windows: the commit waits a while for the reader, then
    // fails with ERROR_SHARING_VIOLATION, leaving the old file as it was.
    bool commit(bool& replaced);
    const std::wstring& temporaryPath() const { return mTemporaryPath; }

private:
    friend class FileStore;
    bool writeAll(const char* data, std::size_t size);
    bool flushCache();
    void discard();

    WriteCacheBudget* mBudget = nullptr;
    DWORD mReplaceWaitMs = 0;
    ScopedHandle mFile;
    std::wstring mTemporaryPath;
    std::wstring mFinalPath;
    std::vector<std::string> mCache; // blocks of at most cacheBlockSize bytes
    std::uint64_t mCached = 0;
};

class FileStore {
public:
    // replaceWaitMs: how long a commit waits for readers of the file it replaces.
    FileStore(std::wstring directory, WriteCacheBudget& budget, DWORD replaceWaitMs = defaultReplaceWaitMs);
    static constexpr DWORD defaultReplaceWaitMs = 2000;

    // Creates the folder if needed and removes temporary files that earlier
    // runs left behind. False with the reason in GetLastError.
    bool open();

    // names are checked by the caller (isValidFileName); these trust them.
    FileUpload beginUpload(std::string_view name);
    // An open handle for reading and the size it had when opened; a file
    // replaced meanwhile keeps serving the old contents to this reader.
    ScopedHandle openForReading(std::string_view name, std::uint64_t& size);
    bool remove(std::string_view name);
    bool list(std::vector<std::string>& names);

    const std::wstring& directory() const { return mDirectory; }
    std::wstring pathOf(std::string_view name) const;

private:
    std::wstring mDirectory;
    WriteCacheBudget& mBudget;
    DWORD mReplaceWaitMs;
};

// Temporary uploads are named ".upload-<pid>-<n>.tmp": the leading dot keeps
// them out of the name space of stored files.
bool isTemporaryName(std::wstring_view fileName, DWORD& processId);

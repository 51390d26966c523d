#include "file_store.h"

#include "Process.h"
#include "test_child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every entry of the folder, hidden and temporary ones included.
std::vector<std::wstring> folderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> entries;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        entries.push_back(entry.path().filename().wstring());
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::string readStored(FileStore& store, std::string_view name)
{
    std::uint64_t size = 0;
    ScopedHandle file = store.openForReading(name, size);
    if (!file)
        return "<missing>";
    std::string bytes(static_cast<std::size_t>(size), '\0');
    DWORD read = 0;
    if (size > 0 && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(size), &read, nullptr) || read != size))
        return "<unreadable>";
    return bytes;
}

bool store(FileStore& fileStore, std::string_view name, std::string_view bytes, bool& replaced)
{
    FileUpload upload = fileStore.beginUpload(name);
    return upload.isOpen() && upload.append(bytes.data(), bytes.size()) && upload.commit(replaced);
}

class FileStoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(mFolder.path().empty());
        ASSERT_TRUE(mStore.open()) << GetLastError();
    }

    testChild::TempDirectory mFolder;
    WriteCacheBudget mBudget{1 << 20};
    FileStore mStore{mFolder.file(L"data"), mBudget};
};

TEST_F(FileStoreTest, StoresReplacesListsAndRemoves)
{
    bool replaced = true;
    ASSERT_TRUE(store(mStore, "b.txt", "first", replaced));
    EXPECT_FALSE(replaced);
    ASSERT_TRUE(store(mStore, "a.bin", std::string("\0\1\2", 3), replaced));
    EXPECT_EQ("first", readStored(mStore, "b.txt"));
    EXPECT_EQ(std::string("\0\1\2", 3), readStored(mStore, "a.bin"));

    // Two uploads to one name at once: the one committed last wins whole.
    FileUpload early = mStore.beginUpload("b.txt");
    FileUpload late = mStore.beginUpload("b.txt");
    ASSERT_TRUE(early.append("early, longer", 13) && late.append("late", 4));
    ASSERT_TRUE(early.commit(replaced));
    EXPECT_TRUE(replaced);
    ASSERT_TRUE(late.commit(replaced));
    EXPECT_EQ("late", readStored(mStore, "b.txt"));

    ASSERT_TRUE(store(mStore, "empty", "", replaced));
    EXPECT_EQ("", readStored(mStore, "empty"));

    std::vector<std::string> names;
    ASSERT_TRUE(mStore.list(names));
    EXPECT_EQ((std::vector<std::string>{"a.bin", "b.txt", "empty"}), names);
    // Nothing but the stored files: no temporary file survived a commit.
    EXPECT_EQ((std::vector<std::wstring>{L"a.bin", L"b.txt", L"empty"}), folderEntries(mStore.directory()));

    EXPECT_TRUE(mStore.remove("b.txt"));
    EXPECT_FALSE(mStore.remove("b.txt"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    ASSERT_TRUE(mStore.list(names));
    EXPECT_EQ((std::vector<std::string>{"a.bin", "empty"}), names);
}

TEST_F(FileStoreTest, AnUnfinishedUploadNeverReachesTheName)
{
    bool replaced = false;
    ASSERT_TRUE(store(mStore, "kept", "old contents", replaced));
    {
        FileUpload upload = mStore.beginUpload("kept");
        ASSERT_TRUE(upload.isOpen());
        ASSERT_TRUE(upload.append("new", 3));
        FileUpload fresh = mStore.beginUpload("fresh");
        ASSERT_TRUE(fresh.append("partial", 7));
        // Both in flight: the names still show only what was committed.
        EXPECT_EQ("old contents", readStored(mStore, "kept"));
        EXPECT_EQ("<missing>", readStored(mStore, "fresh"));
        std::vector<std::string> names;
        ASSERT_TRUE(mStore.list(names));
        EXPECT_EQ(std::vector<std::string>{"kept"}, names) << "temporary files are not stored names";
    }
    EXPECT_EQ("old contents", readStored(mStore, "kept"));
    EXPECT_EQ("<missing>", readStored(mStore, "fresh"));
    EXPECT_EQ(std::vector<std::wstring>{L"kept"}, folderEntries(mStore.directory()))
        << "dropped uploads remove their temporary files";
    EXPECT_EQ(1u << 20, mBudget.available()) << "dropped uploads return their cache";
}

TEST_F(FileStoreTest, AFailedRenameLeavesNothingBehind)
{
    // A folder under the name makes the final rename fail after all data
    // has been written.
    ASSERT_TRUE(CreateDirectoryW(mStore.pathOf("taken").c_str(), nullptr));
    FileUpload upload = mStore.beginUpload("taken");
    ASSERT_TRUE(upload.append("data", 4));
    const std::wstring temporary = upload.temporaryPath();
    ASSERT_FALSE(temporary.empty());
    bool replaced = false;
    EXPECT_FALSE(upload.commit(replaced));
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(std::vector<std::wstring>{L"taken"}, folderEntries(mStore.directory()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(temporary.c_str()));

    // The folder is not a stored file either.
    EXPECT_EQ("<missing>", readStored(mStore, "taken"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(mStore.remove("taken"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    std::vector<std::string> names{"stale"};
    ASSERT_TRUE(mStore.list(names));
    EXPECT_TRUE(names.empty());
}

TEST_F(FileStoreTest, UploadsShareTheCacheAndSpillToDiskInOrder)
{
    WriteCacheBudget small(10);
    FileStore store(mStore.directory(), small);
    ASSERT_TRUE(store.open());

    FileUpload first = store.beginUpload("one");
    FileUpload second = store.beginUpload("two");
    ASSERT_TRUE(first.append("12345678", 8));
    EXPECT_EQ(2u, small.available());
    // The second upload finds the cache nearly used up and writes through.
    ASSERT_TRUE(second.append("abcdef", 6));
    EXPECT_EQ(2u, small.available());
    // The first outgrows it: what it held goes to disk before the new part.
    ASSERT_TRUE(first.append("9ABC", 4));
    EXPECT_EQ(10u, small.available());

    WIN32_FILE_ATTRIBUTE_DATA attributes;
    ASSERT_TRUE(GetFileAttributesExW(first.temporaryPath().c_str(), GetFileExInfoStandard, &attributes));
    EXPECT_EQ(12u, attributes.nFileSizeLow) << "cached and direct parts are both on disk";

    ASSERT_TRUE(first.append("DE", 2));
    EXPECT_EQ(8u, small.available());
    bool replaced = false;
    ASSERT_TRUE(first.commit(replaced));
    ASSERT_TRUE(second.commit(replaced));
    EXPECT_EQ(10u, small.available()) << "a commit returns the cache it used";
    EXPECT_EQ("123456789ABCDE", readStored(store, "one"));
    EXPECT_EQ("abcdef", readStored(store, "two"));
}

TEST_F(FileStoreTest, AReplaceWaitsForAReaderAndNeverBreaksTheOldFile)
{
    WriteCacheBudget budget(0);
    FileStore patient(mStore.directory(), budget, 3000);
    FileStore hasty(mStore.directory(), budget, 200);
    bool replaced = false;
    ASSERT_TRUE(store(patient, "doc", "version one", replaced));

    std::uint64_t size = 0;
    ScopedHandle reader = patient.openForReading("doc", size);
    ASSERT_TRUE(reader);
    EXPECT_EQ(11u, size);

    // A reader that never lets go: the replace gives up, and the old file
    // and the reader are untouched.
    EXPECT_FALSE(store(hasty, "doc", "version two", replaced));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ((std::vector<std::wstring>{L"doc"}), folderEntries(mStore.directory()));

    // A reader that finishes soon: the replace waits for it.
    std::thread finisher([&reader] {
        Sleep(300);
        char bytes[16] = {};
        DWORD read = 0;
        ReadFile(reader.get(), bytes, sizeof bytes, &read, nullptr);
        reader.reset();
    });
    const bool committed = store(patient, "doc", "version two", replaced);
    finisher.join();
    EXPECT_TRUE(committed) << GetLastError();
    EXPECT_TRUE(replaced);
    EXPECT_EQ("version two", readStored(mStore, "doc"));
}

TEST(FileStoreOpen, CreatesMissingFoldersAndRefusesAFile)
{
    testChild::TempDirectory folder;
    WriteCacheBudget budget(0);
    FileStore nested(folder.file(L"a\\b\\c"), budget);
    ASSERT_TRUE(nested.open()) << GetLastError();
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.file(L"a\\b\\c").c_str()));
    bool replaced = false;
    EXPECT_TRUE(store(nested, "x", "no cache at all", replaced));
    EXPECT_EQ("no cache at all", readStored(nested, "x"));

    ASSERT_TRUE(testChild::writeFile(folder.file(L"plain"), "x"));
    FileStore onAFile(folder.file(L"plain"), budget);
    EXPECT_FALSE(onAFile.open());
}

TEST(FileStoreOpen, ClearsTemporaryFilesOfEndedRunsOnly)
{
    testChild::TempDirectory folder;
    const std::wstring data = folder.file(L"data");
    ASSERT_TRUE(CreateDirectoryW(data.c_str(), nullptr));

    // A process that is still running owns its temporary file.
    Process sleeper;
    ASSERT_TRUE(sleeper.launch({testChild::pathUtf8(), "sleep", "10000"}, {}));
    const std::wstring live = L".upload-" + std::to_wstring(GetProcessId(sleeper.processHandle())) + L"-1.tmp";
    Process ended;
    ASSERT_TRUE(ended.launch({testChild::pathUtf8(), "exit", "0"}, {}));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ended.processHandle(), 10000));
    // Held, so that no new process can take its number meanwhile.
    const std::wstring gone = L".upload-" + std::to_wstring(GetProcessId(ended.processHandle())) + L"-2.tmp";
    const std::wstring mine = L".upload-" + std::to_wstring(GetCurrentProcessId()) + L"-7.tmp";
    const std::wstring foreign = L".upload-notanumber-1.tmp";
    const std::wstring tooLarge = L".upload-4294967296-1.tmp";
    for (const std::wstring& name : {live, gone, mine, foreign, tooLarge})
        ASSERT_TRUE(testChild::writeFile(data + L"\\" + name, "partial"));

    WriteCacheBudget budget(0);
    FileStore store(data, budget);
    ASSERT_TRUE(store.open());
    // Names it did not make itself are left alone.
    std::vector<std::wstring> expected{live, foreign, tooLarge};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, folderEntries(data));
}

} // namespace

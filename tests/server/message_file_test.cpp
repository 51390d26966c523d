// The event viewer renders an entry by loading the registered message file
// as data and formatting the entry's identifier with its insertion strings.
// This does the same with the built quorvanta_errors.dll.
#include "TextConversion.h"
#include "WinApi.h"
#include "test_child.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

namespace {

// The message for id with one insertion string, or nothing (error in last error).
bool formatEvent(HMODULE module, DWORD id, const wchar_t* insertion, std::wstring& text)
{
    const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(insertion)};
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, module, id, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
    if (length == 0)
        return false;
    text.assign(buffer, length);
    LocalFree(buffer);
    return true;
}

TEST(MessageFile, FormatsEachEventWithExactlyItsInsertionStringAndNothingElse)
{
    const std::wstring path = testChild::windowsPath(QUORVANTA_MESSAGE_FILE);
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> module(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), &FreeLibrary);
    ASSERT_TRUE(module) << "cannot load " << QUORVANTA_MESSAGE_FILE << " (" << GetLastError() << ")";

    const struct {
        DWORD id;
        const wchar_t* text;
    } events[]{
        {0xC0020100, L"CreateEvent failed with 5"},
        {0xC0020101, L"Server terminated unexpectedly with code -1073741819"},
        {0x40020102, L"Launching server executable C:\\Program Files\\Quorvanta\\quorvanta-embedded-server.exe"},
        {0x40020102, L"Server terminated successfully"},
        {0xC0020101, L"text with %2 and 100% in it, and \u00E9"},
    };
    for (const auto& e : events) {
        std::wstring text;
        ASSERT_TRUE(formatEvent(module.get(), e.id, e.text, text)) << std::hex << e.id << " " << GetLastError();
        EXPECT_EQ(std::wstring(e.text), text) << std::hex << e.id;
    }

    // Neighbouring codes, and the right codes under the wrong severity or
    // facility, must not be found: the full 32-bit identifiers matter.
    for (DWORD id : {0xC00200FFu, 0xC0020102u, 0xC0020103u, 0x40020100u, 0x80020101u, 0x00020102u, 0xC0010100u,
                     0xE0020100u}) {
        std::wstring text;
        EXPECT_FALSE(formatEvent(module.get(), id, L"x", text)) << std::hex << id;
        EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError()) << std::hex << id;
    }
}

} // namespace

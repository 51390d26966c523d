// The event viewer loads the registered message file as data and formats an
// entry's identifier with its insertion string: the same with the built DLL.
#include "test_child.h"

#include <gtest/gtest.h>

TEST(MessageFile, FormatsEachEventWithExactlyItsInsertionString)
{
    const HMODULE dll = LoadLibraryExW(testChild::windowsPath(QUORVANTA_MESSAGE_FILE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(dll) << GetLastError();
    const auto format = [dll](DWORD id, const wchar_t* insertion) {
        const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(insertion)};
        wchar_t text[512];
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, dll, id, 0,
            text, 512, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
        const DWORD error = GetLastError();
        return length > 0 ? std::wstring(text, length) : L"error " + std::to_wstring(error);
    };
    for (const auto& [id, text] : {std::pair<DWORD, const wchar_t*>{0xC0020100, L"CreateEvent failed with 5"},
             {0xC0020101, L"Server terminated unexpectedly with code -1073741819"},
             {0x40020102, L"Launching server executable C:\\Program Files\\Quorvanta\\quorvanta-embedded-server.exe"},
             {0xC0020101, L"text with %2 and 100% in it, and \u00E9"}})
        EXPECT_EQ(text, format(id, text)) << std::hex << id;
    // Neighbouring codes, and the right codes under the wrong severity or
    // facility, must not be found: the full 32-bit identifiers matter.
    for (DWORD id : {0xC00200FFu, 0xC0020102u, 0xC0020103u, 0x40020100u, 0x80020101u, 0x00020102u, 0xC0010100u, 0xE0020100u})
        EXPECT_EQ(L"error " + std::to_wstring(ERROR_MR_MID_NOT_FOUND), format(id, L"x")) << std::hex << id;
    FreeLibrary(dll);
}

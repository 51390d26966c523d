// The process set-up the entry point makes before the dispatcher starts: the
// host's narrow paths are UTF-8 and Windows Sockets are started.
#include "WinApi.h"

#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include <codecvt>
#include <locale>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const std::locale utf8(std::locale(), new std::codecvt_utf8_utf16<wchar_t, 0x10FFFF>);
    boost::filesystem::path::imbue(utf8);
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fprintf(stderr, "WSAStartup failed\n");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}

// main for the test programs whose code expects Windows Sockets to be
// started, as the host's entry point starts them before anything else.
#include "WinApi.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    WSADATA data{};
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        std::fprintf(stderr, "WSAStartup failed with %d\n", started);
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}

// main for test programs whose code expects Windows Sockets started, as the
// host's entry point starts them before anything else.
#include "WinApi.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? RUN_ALL_TESTS() : 1;
}

// main for tests whose code expects Windows Sockets started, as the host's entry point does.
#include "WinApi.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? RUN_ALL_TESTS() : 1;
}

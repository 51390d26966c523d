// The one place that includes the Windows headers. Every other file includes
// this one, so the API version and the trimming macros are the same everywhere.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // Windows 7: handle lists for CreateProcessW, strict UTF-8 conversion
#endif

// winsock2.h before windows.h, which would otherwise pull in winsock 1.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

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
// Windows 7, the oldest version the host is released for. What it needs most, handle lists for
// CreateProcessW and strict UTF-8 conversion, came with Vista.
#define _WIN32_WINNT 0x0601
#endif

// winsock2.h before windows.h, which would otherwise pull in winsock 1.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

// Reports to an operator through the Application event log under the source
// Quorvanta-APIClient. Every operation is silent while the source is not open.
#pragma once

#include "WinApi.h"

constexpr DWORD EVENT_API_FAILURE = 0xC0020100;
constexpr DWORD EVENT_ERROR = 0xC0020101;
constexpr DWORD EVENT_INFO = 0x40020102;
constexpr WORD eventCategory = 1;

extern HANDLE eventSource;

void reportErrorEvent(const wchar_t* text);
void reportInfoEvent(const wchar_t* text);
// "<apiName> failed with <last error as signed decimal>", cut at 255 units.
void reportApiFailure(const wchar_t* apiName);

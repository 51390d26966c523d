#include "event_log.h"

#include "system_api.h"

#include <string>

HANDLE eventSource = nullptr;

namespace {

constexpr std::size_t apiFailureTextCapacity = 256; // code units, NUL included

void writeEvent(WORD type, DWORD identifier, const wchar_t* text)
{
    const wchar_t* strings[] = {text};
    systemApi.reportEvent(eventSource, type, eventCategory, identifier, nullptr, 1, 0, strings, nullptr);
}

} // namespace

void reportErrorEvent(const wchar_t* text)
{
    if (eventSource == nullptr)
        return;
    writeEvent(EVENTLOG_ERROR_TYPE, EVENT_ERROR, text);
}

void reportInfoEvent(const wchar_t* text)
{
    if (eventSource == nullptr)
        return;
    writeEvent(EVENTLOG_INFORMATION_TYPE, EVENT_INFO, text);
}

void reportApiFailure(const wchar_t* apiName)
{
    if (eventSource == nullptr)
        return;
    const DWORD error = GetLastError();
    // Signed, so that HRESULT-like codes read as the negative numbers people search for.
    std::wstring text = std::wstring(apiName) + L" failed with " + std::to_wstring(static_cast<int>(error));
    if (text.size() > apiFailureTextCapacity - 1)
        text.resize(apiFailureTextCapacity - 1);
    writeEvent(EVENTLOG_ERROR_TYPE, EVENT_API_FAILURE, text.c_str());
}

#include "service_recorder.h"

#include "TextConversion.h"
#include "event_log.h"
#include "server_command_line.h"
#include "server_supervision.h"
#include "service_status.h"

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <codecvt>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace recorder {

namespace {

std::mutex lock;
std::condition_variable changed;
std::vector<Entry> recorded;
std::function<void(const SERVICE_STATUS&)> statusHook;
LPHANDLER_FUNCTION handler = nullptr;
std::wstring handlerName;

std::string hex(DWORD value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(value));
    return buffer;
}

std::string statusText(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& s)
{
    return std::string("status") + (handle == fakeStatusHandle() ? "" : " handle=other") + " type="
        + hex(s.dwServiceType) + " state=" + std::to_string(s.dwCurrentState) + " accepts="
        + std::to_string(s.dwControlsAccepted) + " exit=" + std::to_string(s.dwWin32ExitCode) + "/"
        + std::to_string(s.dwServiceSpecificExitCode) + " checkpoint=" + std::to_string(s.dwCheckPoint)
        + " hint=" + std::to_string(s.dwWaitHint);
}

std::string eventText(HANDLE source, WORD type, WORD category, DWORD identifier, bool sid, WORD strings,
                      DWORD dataSize, bool data, const std::wstring& text)
{
    return std::string("event") + (source == fakeEventSource() ? "" : " source=other") + " type="
        + std::to_string(type) + " category=" + std::to_string(category) + " id=" + hex(identifier)
        + (sid ? " sid" : "") + " strings=" + std::to_string(strings) + " data=" + std::to_string(dataSize)
        + (data ? "+pointer" : "") + " \"" + toUtf8(text) + "\"";
}

BOOL WINAPI recordStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    std::function<void(const SERVICE_STATUS&)> hook;
    {
        std::lock_guard<std::mutex> guard(lock);
        recorded.push_back({true, *status, {}, statusText(handle, *status)});
        hook = statusHook;
    }
    changed.notify_all();
    if (hook)
        hook(*status);
    return TRUE;
}

BOOL WINAPI recordEvent(HANDLE source, WORD type, WORD category, DWORD identifier, PSID userSid, WORD stringCount,
                        DWORD dataSize, LPCWSTR* strings, LPVOID data)
{
    const std::wstring text = stringCount > 0 && strings != nullptr && strings[0] != nullptr ? strings[0] : L"";
    {
        std::lock_guard<std::mutex> guard(lock);
        recorded.push_back({false, {}, text,
                            eventText(source, type, category, identifier, userSid != nullptr, stringCount, dataSize,
                                      data != nullptr, text)});
    }
    changed.notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI recordRegistration(LPCWSTR name, LPHANDLER_FUNCTION function)
{
    std::lock_guard<std::mutex> guard(lock);
    handlerName = name != nullptr ? name : L"";
    handler = function;
    return fakeStatusHandle();
}

} // namespace

std::vector<Entry> entries()
{
    std::lock_guard<std::mutex> guard(lock);
    return recorded;
}

std::vector<std::string> log()
{
    std::vector<std::string> result;
    for (const Entry& entry : entries())
        result.push_back(entry.described);
    return result;
}

void clear()
{
    std::lock_guard<std::mutex> guard(lock);
    recorded.clear();
    statusHook = nullptr;
    handler = nullptr;
    handlerName.clear();
}

SERVICE_STATUS_HANDLE fakeStatusHandle()
{
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<std::uintptr_t>(0x5A17));
}

HANDLE fakeEventSource()
{
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0xE7E4));
}

void setStatusHook(std::function<void(const SERVICE_STATUS&)> hook)
{
    std::lock_guard<std::mutex> guard(lock);
    statusHook = std::move(hook);
}

bool waitForEntry(const std::string& expected, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&expected] {
        for (const Entry& entry : recorded) {
            if (entry.described == expected)
                return true;
        }
        return false;
    });
}

LPHANDLER_FUNCTION registeredHandler()
{
    std::lock_guard<std::mutex> guard(lock);
    return handler;
}

std::wstring registeredName()
{
    std::lock_guard<std::mutex> guard(lock);
    return handlerName;
}

std::string status(DWORD state, DWORD controlsAccepted, DWORD checkPoint, DWORD waitHint, DWORD win32ExitCode,
                   DWORD specificExitCode)
{
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, state, controlsAccepted, win32ExitCode, specificExitCode, checkPoint,
                     waitHint};
    return statusText(fakeStatusHandle(), s);
}

// Each with one string in category one, no user, no data.
std::string infoEvent(const std::wstring& text)
{
    return eventText(fakeEventSource(), EVENTLOG_INFORMATION_TYPE, 1, 0x40020102, false, 1, 0, false, text);
}

std::string errorEvent(const std::wstring& text)
{
    return eventText(fakeEventSource(), EVENTLOG_ERROR_TYPE, 1, 0xC0020101, false, 1, 0, false, text);
}

std::string apiFailureEvent(const std::wstring& text)
{
    return eventText(fakeEventSource(), EVENTLOG_ERROR_TYPE, 1, 0xC0020100, false, 1, 0, false, text);
}

std::vector<std::string> failedLaunch(const std::wstring& executable, DWORD error)
{
    return {
        status(SERVICE_START_PENDING, 0, 1, 6000),
        infoEvent(L"Launching server executable " + executable),
        status(SERVICE_START_PENDING, 0, 2, 3000),
        status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, error),
        errorEvent(L"Could not start server process"),
    };
}

} // namespace recorder

namespace {

class NoConversion : public std::codecvt<wchar_t, char, std::mbstate_t> {
protected:
    result do_in(std::mbstate_t&, const char*, const char*, const char*&, wchar_t*, wchar_t*, wchar_t*&) const override
    {
        return error;
    }
    result do_out(std::mbstate_t&, const wchar_t*, const wchar_t*, const wchar_t*&, char*, char*,
                  char*&) const override
    {
        return error;
    }
};

void resetState()
{
    recorder::clear();
    serviceStatus = SERVICE_STATUS{};
    nextCheckPoint = 1;
    statusHandle = nullptr;
    if (stopEvent != nullptr)
        CloseHandle(stopEvent);
    stopEvent = nullptr;
    eventSource = nullptr;
    ProcessArguments.clear();
}

} // namespace

ScopedFailingPathConversion::ScopedFailingPathConversion()
    : previous(boost::filesystem::path::imbue(std::locale(std::locale(), new NoConversion)))
{
}

ScopedFailingPathConversion::~ScopedFailingPathConversion()
{
    boost::filesystem::path::imbue(previous);
}

void runServiceMain(std::vector<std::wstring> startArguments)
{
    startArguments.insert(startArguments.begin(), L"Quorvanta-APIClient");
    std::vector<LPWSTR> argv;
    for (std::wstring& argument : startArguments)
        argv.push_back(argument.data());
    serviceMain(static_cast<DWORD>(argv.size()), argv.data());
}

void ServiceStateTest::SetUp()
{
    // The host's narrow paths are UTF-8: the entry point sets this up before
    // the dispatcher starts.
    boost::filesystem::path::imbue(std::locale(std::locale(), new std::codecvt_utf8_utf16<wchar_t, 0x10FFFF>));
    restartService();
    systemApi.setServiceStatus = recorder::recordStatus;
    systemApi.reportEvent = recorder::recordEvent;
    systemApi.registerServiceCtrlHandler = recorder::recordRegistration;
}

void ServiceStateTest::restartService()
{
    resetState();
    eventSource = recorder::fakeEventSource();
}

void ServiceStateTest::TearDown()
{
    resetState();
}

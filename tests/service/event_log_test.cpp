#include "service_recorder.h"

#include "Process.h"
#include "event_log.h"
#include "server_supervision.h"

namespace {

std::wstring reportedApiFailure(const std::wstring& apiName, DWORD lastError)
{
    recorder::clear();
    SetLastError(lastError);
    reportApiFailure(apiName.c_str());
    const std::vector<recorder::Entry> log = recorder::entries();
    if (log.size() != 1) {
        ADD_FAILURE() << "expected one event, got " << log.size();
        return {};
    }
    EXPECT_EQ(recorder::apiFailureEvent(log[0].text), log[0].described);
    return log[0].text;
}

} // namespace

class EventLogTest : public ServiceStateTest {};

TEST_F(EventLogTest, EachOperationWritesItsTypeAndIdentifierWithOneStringInCategoryOne)
{
    reportInfoEvent(L"Server started");
    reportErrorEvent(L"Could not start server process");
    SetLastError(ERROR_ACCESS_DENIED);
    reportApiFailure(L"CreateEvent");

    EXPECT_EQ((std::vector<std::string>{
                  recorder::infoEvent(L"Server started"),
                  recorder::errorEvent(L"Could not start server process"),
                  recorder::apiFailureEvent(L"CreateEvent failed with 5"),
              }),
              recorder::log());
}

TEST_F(EventLogTest, ApiFailureWritesTheLastErrorAsSignedDecimalCutAt255Units)
{
    EXPECT_EQ(L"CreateEvent failed with 0", reportedApiFailure(L"CreateEvent", 0));
    EXPECT_EQ(L"StartServiceCtrlDispatcher failed with 1063", reportedApiFailure(L"StartServiceCtrlDispatcher", 1063));
    EXPECT_EQ(L"X failed with 2147483647", reportedApiFailure(L"X", 0x7FFFFFFF));
    EXPECT_EQ(L"X failed with -2147483648", reportedApiFailure(L"X", 0x80000000));
    EXPECT_EQ(L"X failed with -1", reportedApiFailure(L"X", 0xFFFFFFFF));
    EXPECT_EQ(L"\x00C4pi\xD83D\xDE00 failed with 7", reportedApiFailure(L"\x00C4pi\xD83D\xDE00", 7));

    const std::wstring suffix = L" failed with 5";
    const std::wstring fits(255 - suffix.size(), L'a');
    EXPECT_EQ(fits + suffix, reportedApiFailure(fits, 5));
    EXPECT_EQ((fits + L"b" + suffix).substr(0, 255), reportedApiFailure(fits + L"b", 5));
    const std::wstring name(300, L'n');
    EXPECT_EQ(name.substr(0, 255), reportedApiFailure(name, 5));
    // A negative code near the cut loses its tail, not its sign.
    const std::wstring nearCut(255 - std::wstring(L" failed with -").size(), L'c');
    EXPECT_EQ(nearCut + L" failed with -", reportedApiFailure(nearCut, 0xFFFFFFFF));
}

TEST_F(EventLogTest, NothingIsWrittenOrReadWithoutAnOpenSource)
{
    eventSource = nullptr;
    reportInfoEvent(L"Server started");
    reportErrorEvent(L"Could not start server process");
    SetLastError(1234);
    reportApiFailure(L"CreateEvent");

    EXPECT_EQ(1234u, GetLastError());
    EXPECT_TRUE(recorder::entries().empty());
}

TEST(ExitCodeReport, EveryExitCodeHasItsEntry)
{
    const struct {
        DWORD code;
        bool information;
        const wchar_t* text;
    } rows[] = {
        {0, true, L"Server terminated successfully"},
        {1, false, L"Server terminated: invalid argument"},
        {2, false, L"Server terminated: unsupported hardware"},
        {4, false, L"Server terminated: could not open response file"},
        {5, false, L"Server terminated: could not parse response file"},
        {6, false, L"Server terminated: could not open log file"},
        {7, false, L"Server terminated: error running the server"},
        {8, false, L"Server terminated: exit code 8"},
        {3, false, L"Server terminated unexpectedly with code 3"},
        {9, false, L"Server terminated unexpectedly with code 9"},
        {255, false, L"Server terminated unexpectedly with code 255"}, // terminated by the host
        {0xC0000005, false, L"Server terminated unexpectedly with code -1073741819"},
        {Process::ExitCodeUnavailable, false, L"Server terminated unexpectedly with code -2147483644"},
        {0xFFFFFFFF, false, L"Server terminated unexpectedly with code -1"},
    };
    for (const auto& row : rows) {
        const ExitCodeReport report = describeExitCode(row.code);
        EXPECT_EQ(row.information ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE, report.eventType) << row.code;
        EXPECT_EQ(row.text, report.text) << row.code;
    }
}

#include "service_recorder.h"

#include "event_log.h"

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
    EXPECT_EQ(recorder::apiFailureEvent(log[0].text), recorder::describe(log[0]));
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
              recorder::describeAll(recorder::entries()));
    // Spelled out once: the helpers above must mean these exact values.
    const std::vector<recorder::Entry> log = recorder::entries();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(std::make_pair(WORD{4}, DWORD{0x40020102}), std::make_pair(log[0].type, log[0].identifier));
    EXPECT_EQ(std::make_pair(WORD{1}, DWORD{0xC0020101}), std::make_pair(log[1].type, log[1].identifier));
    EXPECT_EQ(std::make_pair(WORD{1}, DWORD{0xC0020100}), std::make_pair(log[2].type, log[2].identifier));
}

TEST_F(EventLogTest, ApiFailureWritesTheLastErrorAsSignedDecimal)
{
    EXPECT_EQ(L"CreateEvent failed with 0", reportedApiFailure(L"CreateEvent", 0));
    EXPECT_EQ(L"StartServiceCtrlDispatcher failed with 1063", reportedApiFailure(L"StartServiceCtrlDispatcher", 1063));
    EXPECT_EQ(L"X failed with 2147483647", reportedApiFailure(L"X", 0x7FFFFFFF));
    EXPECT_EQ(L"X failed with -2147483648", reportedApiFailure(L"X", 0x80000000));
    EXPECT_EQ(L"X failed with -2147024891", reportedApiFailure(L"X", 0x80070005));
    EXPECT_EQ(L"X failed with -1", reportedApiFailure(L"X", 0xFFFFFFFF));
    EXPECT_EQ(L"\x00C4pi\xD83D\xDE00 failed with 7", reportedApiFailure(L"\x00C4pi\xD83D\xDE00", 7));
}

TEST_F(EventLogTest, ApiFailureTextIsCutAt255CodeUnits)
{
    const std::wstring suffix = L" failed with 5";
    const std::wstring fits(255 - suffix.size(), L'a');
    EXPECT_EQ(fits + suffix, reportedApiFailure(fits, 5));

    const std::wstring oneTooLong = fits + L"b";
    EXPECT_EQ((oneTooLong + suffix).substr(0, 255), reportedApiFailure(oneTooLong, 5));

    const std::wstring name(300, L'n');
    const std::wstring text = reportedApiFailure(name, 5);
    EXPECT_EQ(255u, text.size());
    EXPECT_EQ(name.substr(0, 255), text);

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

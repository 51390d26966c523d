#include "service_recorder.h"

#include "service_status.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using recorder::status;

namespace {

bool isSignalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

} // namespace

class ServiceStatusTest : public ServiceStateTest {};

TEST_F(ServiceStatusTest, StartRegistersTheFixedNameAndReportsTheFirstStartPending)
{
    ASSERT_TRUE(startServiceControl());

    EXPECT_EQ(std::wstring(L"Quorvanta-APIClient"), recorder::registeredName());
    EXPECT_EQ(&serviceControlHandler, recorder::registeredHandler());
    EXPECT_EQ(recorder::fakeStatusHandle(), statusHandle);
    EXPECT_EQ((std::vector<std::string>{status(SERVICE_START_PENDING, 0, 1, 6000)}), recorder::log());

    // The stop signal: not signalled yet, and manual-reset, so every waiter sees it.
    ASSERT_NE(nullptr, stopEvent);
    EXPECT_FALSE(isSignalled(stopEvent));
    SetEvent(stopEvent);
    EXPECT_TRUE(isSignalled(stopEvent));
    EXPECT_TRUE(isSignalled(stopEvent));
}

TEST_F(ServiceStatusTest, FailedStartStepsAreLoggedWithoutAnyStatus)
{
    {
        ScopedSystemApi restore;
        systemApi.createEvent = [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        };
        EXPECT_FALSE(startServiceControl());
        // The handler must never be registered without an event to signal.
        EXPECT_EQ(nullptr, recorder::registeredHandler());
    }
    {
        ScopedSystemApi restore;
        systemApi.registerServiceCtrlHandler = [](LPCWSTR, LPHANDLER_FUNCTION) -> SERVICE_STATUS_HANDLE {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        };
        EXPECT_FALSE(startServiceControl());
    }
    EXPECT_EQ((std::vector<std::string>{recorder::apiFailureEvent(L"CreateEvent failed with 5"),
                                        recorder::apiFailureEvent(L"RegisterServiceCtrlHandler failed with 1060")}),
              recorder::log());
}

TEST_F(ServiceStatusTest, CheckpointsAdvanceOnlyWithPendingStatesAndControlsFollowTheState)
{
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    statusHandle = recorder::fakeStatusHandle();
    serviceStatus.dwWin32ExitCode = ERROR_ACCESS_DENIED; // never sent on

    reportServiceStatus(SERVICE_START_PENDING, 6000);
    reportServiceStatus(SERVICE_START_PENDING, 5100, ERROR_ACCESS_DENIED, 1); // only STOPPED carries codes
    reportServiceStatus(SERVICE_RUNNING, 0);
    reportServiceStatus(SERVICE_STOP_PENDING, 0);
    reportServiceStatus(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, 7); // a stop asked for: NO_ERROR
    reportServiceStatus(SERVICE_STOP_PENDING, 250);

    EXPECT_EQ((std::vector<std::string>{
                  status(SERVICE_START_PENDING, 0, 1, 6000),
                  status(SERVICE_START_PENDING, 0, 2, 5100),
                  status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0),
                  status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 3, 0),
                  status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0),
                  status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 4, 250),
              }),
              recorder::log());
    EXPECT_EQ(5u, nextCheckPoint);
}

TEST_F(ServiceStatusTest, OnlyStopActsAndItReportsTwoStopPendingAroundTheSignal)
{
    ASSERT_TRUE(startServiceControl());
    reportServiceStatus(SERVICE_RUNNING, 0);
    for (DWORD control : std::initializer_list<DWORD>{SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE,
                                                      SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_PARAMCHANGE, 0, 0xFFFFFFFF})
        serviceControlHandler(control);
    EXPECT_EQ(2u, recorder::entries().size());
    EXPECT_FALSE(isSignalled(stopEvent));

    std::vector<bool> signalledAtReport;
    recorder::setStatusHook([&](const SERVICE_STATUS&) { signalledAtReport.push_back(isSignalled(stopEvent)); });
    serviceControlHandler(SERVICE_CONTROL_STOP);
    const std::vector<std::string> log = recorder::log();
    ASSERT_EQ(4u, log.size());
    EXPECT_EQ(status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 2, 0), log[2]);
    EXPECT_EQ(status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 3, 0), log[3]);
    EXPECT_EQ((std::vector<bool>{false, true}), signalledAtReport);
}

TEST_F(ServiceStatusTest, StopAfterTheServiceStoppedRepeatsStoppedInBothReports)
{
    ASSERT_TRUE(startServiceControl());
    reportServiceStatus(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, 7);
    const DWORD counter = nextCheckPoint;

    serviceControlHandler(SERVICE_CONTROL_STOP);

    // With the final report's exit codes, which a stop control cannot undo.
    const std::vector<std::string> log = recorder::log();
    ASSERT_EQ(4u, log.size());
    for (std::size_t i = 1; i < log.size(); ++i)
        EXPECT_EQ(status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, 7), log[i]);
    EXPECT_EQ(counter, nextCheckPoint);
    EXPECT_TRUE(isSignalled(stopEvent));
}

// The SCM may deliver stop controls while the service thread sends its final
// report. Once SERVICE_STOPPED has gone out, a pending state sent after it
// would show a stopped service as stopping for good.
TEST_F(ServiceStatusTest, NoPendingReportFollowsTheFinalStoppedUnderRacingStopControls)
{
    ASSERT_TRUE(startServiceControl());
    for (int round = 0; round < 20; ++round) {
        recorder::clear();
        reportServiceStatus(SERVICE_RUNNING, 0);
        // Slow reports keep the others waiting for their turn.
        recorder::setStatusHook([](const SERVICE_STATUS& reported) {
            if (reported.dwCurrentState == SERVICE_STOP_PENDING)
                Sleep(1);
        });

        // Two callers: one of them is always waiting for its turn with what it
        // read before, which is when an unguarded handler decides wrongly.
        std::atomic<int> handled{0};
        auto stopControls = [&] {
            for (int i = 0; i < 6; ++i) {
                serviceControlHandler(SERVICE_CONTROL_STOP);
                handled.fetch_add(1);
            }
        };
        std::thread controls(stopControls);
        std::thread moreControls(stopControls);
        std::thread service([&] {
            // Lands somewhere among the handler calls.
            while (handled.load() < round % 8)
                std::this_thread::yield();
            reportServiceStatus(SERVICE_STOPPED, 0);
        });
        controls.join();
        moreControls.join();
        service.join();

        bool stopped = false;
        int pendingAfterStopped = 0;
        for (const recorder::Entry& entry : recorder::entries()) {
            ASSERT_TRUE(entry.isStatus);
            if (entry.status.dwCurrentState == SERVICE_STOPPED) {
                stopped = true;
                EXPECT_EQ(0u, entry.status.dwCheckPoint);
            } else if (stopped) {
                ++pendingAfterStopped;
            }
        }
        ASSERT_TRUE(stopped);
        ASSERT_EQ(0, pendingAfterStopped) << "round " << round;
    }
}

// Wine's dispatcher holds a lock of its own while it runs the handler, and
// takes that lock again when a SERVICE_STOPPED report comes in. The final
// report must therefore not be sent while the status lock is held: a stop
// control arriving at that moment left the two waiting for each other, the
// stop control unanswered and the host process running for good.
TEST_F(ServiceStatusTest, FinalStoppedDoesNotWaitForAHandlerTheDispatcherIsRunning)
{
    ASSERT_TRUE(startServiceControl());
    reportServiceStatus(SERVICE_RUNNING, 0);

    std::recursive_timed_mutex dispatcherLock;
    HANDLE stoppedBeingSent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, stoppedBeingSent);
    std::atomic<bool> deadlocked{false};
    recorder::setStatusHook([&](const SERVICE_STATUS& reported) {
        if (reported.dwCurrentState != SERVICE_STOPPED)
            return;
        SetEvent(stoppedBeingSent);
        Sleep(50); // the dispatcher is inside the handler by now
        if (!dispatcherLock.try_lock_for(std::chrono::seconds(2))) {
            deadlocked = true;
            return;
        }
        dispatcherLock.unlock();
    });
    std::thread dispatcher([&] {
        WaitForSingleObject(stoppedBeingSent, 5000);
        std::lock_guard<std::recursive_timed_mutex> running(dispatcherLock);
        serviceControlHandler(SERVICE_CONTROL_STOP);
    });
    reportServiceStatus(SERVICE_STOPPED, 0);
    dispatcher.join();
    CloseHandle(stoppedBeingSent);

    EXPECT_FALSE(deadlocked.load());
    const std::vector<std::string> log = recorder::log();
    // RUNNING, then three times STOPPED: the service's and the handler's two.
    ASSERT_EQ(5u, log.size());
    for (std::size_t i = 2; i < log.size(); ++i)
        EXPECT_EQ(status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0), log[i]);
}

#include "fake_system.h"
#include "TextConversion.h"
#include "install.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const Calls installCalls = {
    "GetModuleFileName",           "RegCreateKeyEx", "RegSetValueEx:EventMessageFile", "RegSetValueEx:TypesSupported",
    "RegCloseKey",                 "OpenSCManager",  "CreateService",                  "ChangeServiceConfig2",
    "CloseServiceHandle:service", "CloseServiceHandle:manager",
};

Calls firstCalls(std::size_t count, Calls tail = {})
{
    Calls calls(installCalls.begin(), installCalls.begin() + count);
    calls.insert(calls.end(), tail.begin(), tail.end());
    return calls;
}

// A real folder with an empty host.exe in it: the install resolves the path
// it is given, so the file has to exist.
class HostFolder {
public:
    HostFolder()
    {
        wchar_t temp[MAX_PATH];
        wchar_t longTemp[MAX_PATH];
        if (GetTempPathW(MAX_PATH, temp) == 0 || GetLongPathNameW(temp, longTemp, MAX_PATH) == 0)
            return;
        mFolder = std::wstring(longTemp) + L"qv-install-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(mFolder.c_str(), nullptr);
        CreateDirectoryW((mFolder + L"\\sub").c_str(), nullptr);
        HANDLE file = CreateFileW(host().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            mReady = true;
        }
    }
    ~HostFolder()
    {
        DeleteFileW(host().c_str());
        RemoveDirectoryW((mFolder + L"\\sub").c_str());
        RemoveDirectoryW(mFolder.c_str());
    }
    HostFolder(const HostFolder&) = delete;
    HostFolder& operator=(const HostFolder&) = delete;

    bool ready() const { return mReady; }
    const std::wstring& folder() const { return mFolder; }
    std::wstring host() const { return mFolder + L"\\host.exe"; }

private:
    std::wstring mFolder;
    bool mReady = false;
};

std::string runInstall(FakeSystem& fake)
{
    FakeSystemScope scope(fake);
    StdoutCapture capture;
    EXPECT_TRUE(capture.started());
    installService();
    return capture.text();
}

std::string runUninstall(FakeSystem& fake)
{
    FakeSystemScope scope(fake);
    StdoutCapture capture;
    EXPECT_TRUE(capture.started());
    uninstallService();
    return capture.text();
}

std::wstring storedText(const RegistryValueWrite& write)
{
    std::wstring text(write.data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), write.data.data(), text.size() * sizeof(wchar_t));
    return text;
}

// One road through a console command: what the system does, what the
// command prints, and which calls it makes in which order.
struct CommandRow {
    const char* name;
    void (*script)(FakeSystem&);
    const char* output;
    Calls calls;
};
using InstallRow = CommandRow;
using UninstallRow = CommandRow;

// Failure messages name the row, not its bytes.
void PrintTo(const CommandRow& row, std::ostream* out)
{
    *out << row.name;
}

std::string rowName(const ::testing::TestParamInfo<CommandRow>& info)
{
    return info.param.name;
}

class InstallRoads : public ::testing::TestWithParam<CommandRow> {};

TEST_P(InstallRoads, PrintsOneOutcomeAndStopsAtTheFirstFailure)
{
    HostFolder folder;
    ASSERT_TRUE(folder.ready());
    FakeSystem fake;
    fake.modulePath = folder.host();
    GetParam().script(fake);

    EXPECT_EQ(runInstall(fake), GetParam().output);
    EXPECT_EQ(fake.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallRoads,
    ::testing::Values(
        InstallRow{"Succeeds", [](FakeSystem&) {}, "Service installed successfully\n", installCalls},
        InstallRow{"NoModuleFileName", [](FakeSystem& f) { f.moduleFileNameError = ERROR_ACCESS_DENIED; },
                   "Cannot install service (5)\n", firstCalls(1)},
        InstallRow{"ModuleFileNameCut", [](FakeSystem& f) { f.moduleFileNameFillsBuffer = true; },
                   "Cannot install service (122)\n", firstCalls(1)},
        InstallRow{"RegistryKeyDenied", [](FakeSystem& f) { f.regCreateKeyStatus = ERROR_ACCESS_DENIED; },
                   "Failed to create registry key (5)\n", firstCalls(2)},
        InstallRow{"MessageFileValueFails", [](FakeSystem& f) { f.eventMessageFileStatus = ERROR_INVALID_FUNCTION; },
                   "Failed to create registry key (1)\n", firstCalls(3, {"RegCloseKey"})},
        InstallRow{"TypesValueFails", [](FakeSystem& f) { f.typesSupportedStatus = ERROR_BADDB; },
                   "Failed to create registry key (1009)\n", firstCalls(4, {"RegCloseKey"})},
        InstallRow{"NoServiceManager", [](FakeSystem& f) { f.openSCManagerError = ERROR_ACCESS_DENIED; },
                   "OpenSCManager failed (5)\n", firstCalls(6)},
        InstallRow{"ServiceExists", [](FakeSystem& f) { f.createServiceError = ERROR_SERVICE_EXISTS; },
                   "CreateService failed (1073)\n", firstCalls(7, {"CloseServiceHandle:manager"})},
        InstallRow{"ErrorPrintedSigned", [](FakeSystem& f) { f.createServiceError = 0x80070005; },
                   "CreateService failed (-2147024891)\n", firstCalls(7, {"CloseServiceHandle:manager"})},
        InstallRow{"DescriptionFails", [](FakeSystem& f) { f.changeConfigError = ERROR_ACCESS_DENIED; },
                   "Service installed successfully\nFailed to set service description (5)\n", installCalls}),
    rowName);

TEST(Install, RegistersTheEventSourceBesideTheExecutable)
{
    HostFolder folder;
    ASSERT_TRUE(folder.ready());
    FakeSystem fake;
    fake.modulePath = folder.host();
    runInstall(fake);

    EXPECT_EQ(fake.regParent, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(fake.regSubKey, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvanta-APIClient");
    EXPECT_EQ(fake.regReserved, 0u);
    EXPECT_TRUE(fake.regClassNull);
    EXPECT_EQ(fake.regOptions, static_cast<DWORD>(REG_OPTION_NON_VOLATILE));
    EXPECT_EQ(fake.regAccess, static_cast<REGSAM>(KEY_ALL_ACCESS));
    EXPECT_TRUE(fake.regSecurityNull);
    EXPECT_TRUE(fake.regDispositionNull);

    ASSERT_EQ(fake.valueWrites.size(), 2u);
    const RegistryValueWrite& messageFile = fake.valueWrites[0];
    EXPECT_EQ(messageFile.key, FakeSystem::registryKey());
    EXPECT_EQ(messageFile.type, static_cast<DWORD>(REG_SZ));
    const std::wstring expected = folder.folder() + L"\\quorvanta_errors.dll";
    // The stored text carries its terminating NUL, and the size counts it.
    EXPECT_EQ(messageFile.data.size(), (expected.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(storedText(messageFile), expected + L'\0');

    const RegistryValueWrite& types = fake.valueWrites[1];
    EXPECT_EQ(types.key, FakeSystem::registryKey());
    EXPECT_EQ(types.type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(types.data.size(), sizeof(DWORD));
    DWORD typesValue = 0;
    std::memcpy(&typesValue, types.data.data(), sizeof(DWORD));
    EXPECT_EQ(typesValue, 7u);

    EXPECT_EQ(fake.closedKeys, std::vector<HKEY>{FakeSystem::registryKey()});
}

TEST(Install, CreatesADemandStartOwnProcessServiceRunningAsLocalSystem)
{
    HostFolder folder;
    ASSERT_TRUE(folder.ready());
    FakeSystem fake;
    fake.modulePath = folder.host();
    runInstall(fake);

    EXPECT_TRUE(fake.managerMachineNull);
    EXPECT_TRUE(fake.managerDatabaseNull);
    EXPECT_EQ(fake.managerAccess, static_cast<DWORD>(SC_MANAGER_ALL_ACCESS));

    ASSERT_EQ(fake.createdServices.size(), 1u);
    const CreatedService& created = fake.createdServices[0];
    EXPECT_EQ(created.manager, FakeSystem::manager());
    EXPECT_EQ(created.name, L"Quorvanta-APIClient");
    EXPECT_EQ(created.displayName, L"Quorvanta-APIClient");
    EXPECT_EQ(created.access, static_cast<DWORD>(SERVICE_ALL_ACCESS));
    EXPECT_EQ(created.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(created.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(created.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(created.commandLine, L"\"" + folder.host() + L"\" \"server\"");
    EXPECT_TRUE(created.loadOrderGroupNull);
    EXPECT_TRUE(created.tagIdNull);
    EXPECT_TRUE(created.dependenciesNull);
    EXPECT_TRUE(created.accountNull);
    EXPECT_TRUE(created.passwordNull);

    EXPECT_EQ(fake.describedService, FakeSystem::service());
    EXPECT_EQ(fake.describeLevel, static_cast<DWORD>(SERVICE_CONFIG_DESCRIPTION));
    EXPECT_EQ(fake.description, L"Provides a persistent Quorvanta server to send and receive files.");
}

// The service runs the file exactly as it was started; the message file is
// looked for in the resolved folder.
TEST(Install, KeepsTheModulePathForTheServiceAndResolvesItForTheMessageFile)
{
    HostFolder folder;
    ASSERT_TRUE(folder.ready());
    FakeSystem fake;
    fake.modulePath = folder.folder() + L"\\sub\\..\\.\\host.exe";
    EXPECT_EQ(runInstall(fake), "Service installed successfully\n");

    ASSERT_EQ(fake.createdServices.size(), 1u);
    EXPECT_EQ(fake.createdServices[0].commandLine, L"\"" + fake.modulePath + L"\" \"server\"");
    ASSERT_FALSE(fake.valueWrites.empty());
    EXPECT_EQ(storedText(fake.valueWrites[0]), folder.folder() + L"\\quorvanta_errors.dll" + L'\0');
}

TEST(Install, AHostInARootFolderGetsOneSeparatorBeforeTheMessageFile)
{
    wchar_t windows[MAX_PATH];
    ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring root = std::wstring(windows, 3); // "C:\"
    const std::wstring host = root + L"qv-install-root-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    HANDLE file = CreateFileW(host.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "cannot create a file in " << toUtf8(root) << " (error " << GetLastError() << ")";
    CloseHandle(file);

    FakeSystem fake;
    fake.modulePath = host;
    const std::string output = runInstall(fake);
    DeleteFileW(host.c_str());

    EXPECT_EQ(output, "Service installed successfully\n");
    ASSERT_FALSE(fake.valueWrites.empty());
    EXPECT_EQ(storedText(fake.valueWrites[0]), root + L"quorvanta_errors.dll" + L'\0');
}

// A path that names no file cannot be resolved: nothing may be registered
// under it.
TEST(Install, AnUnresolvablePathWritesNothing)
{
    HostFolder folder;
    ASSERT_TRUE(folder.ready());
    FakeSystem fake;
    fake.modulePath = folder.folder() + L"\\missing\\host.exe";
    const std::string output = runInstall(fake);

    EXPECT_EQ(fake.calls, Calls{"GetModuleFileName"});
    const std::string prefix = "Cannot install service (";
    ASSERT_EQ(output.compare(0, prefix.size(), prefix), 0) << output;
    EXPECT_NE(output, "Cannot install service (0)\n");
    EXPECT_EQ(output.back(), '\n');
}

const Calls uninstallCalls = {"OpenSCManager", "OpenService", "DeleteService", "CloseServiceHandle:service",
                              "CloseServiceHandle:manager"};

class UninstallRoads : public ::testing::TestWithParam<CommandRow> {};

TEST_P(UninstallRoads, PrintsOneOutcomeAndTouchesNoRegistryKey)
{
    FakeSystem fake;
    GetParam().script(fake);
    EXPECT_EQ(runUninstall(fake), GetParam().output);
    EXPECT_EQ(fake.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Uninstall, UninstallRoads,
    ::testing::Values(
        UninstallRow{"Succeeds", [](FakeSystem&) {}, "Service deleted successfully\n", uninstallCalls},
        UninstallRow{"NoServiceManager", [](FakeSystem& f) { f.openSCManagerError = ERROR_ACCESS_DENIED; },
                     "OpenSCManager failed (5)\n", Calls{"OpenSCManager"}},
        UninstallRow{"NoSuchService", [](FakeSystem& f) { f.openServiceError = ERROR_SERVICE_DOES_NOT_EXIST; },
                     "OpenService failed (1060)\n",
                     Calls{"OpenSCManager", "OpenService", "CloseServiceHandle:manager"}},
        UninstallRow{"AlreadyMarked", [](FakeSystem& f) { f.deleteServiceError = ERROR_SERVICE_MARKED_FOR_DELETE; },
                     "DeleteService failed (1072)\n", uninstallCalls}),
    rowName);

TEST(Uninstall, OpensTheServiceWithDeleteAccessOnly)
{
    FakeSystem fake;
    runUninstall(fake);
    EXPECT_TRUE(fake.managerMachineNull);
    EXPECT_TRUE(fake.managerDatabaseNull);
    EXPECT_EQ(fake.managerAccess, static_cast<DWORD>(SC_MANAGER_ALL_ACCESS));
    EXPECT_EQ(fake.openedServiceManager, FakeSystem::manager());
    EXPECT_EQ(fake.openedServiceName, L"Quorvanta-APIClient");
    EXPECT_EQ(fake.openedServiceAccess, static_cast<DWORD>(DELETE));
    EXPECT_EQ(fake.deletedService, FakeSystem::service());
}

} // namespace

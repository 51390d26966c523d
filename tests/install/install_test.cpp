#include "fake_system.h"
#include "install.h"
#include "test_child.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const Calls installCalls = {
    "GetModuleFileName",          "RegCreateKeyEx", "RegSetValueEx:EventMessageFile", "RegSetValueEx:TypesSupported",
    "RegCloseKey",                "OpenSCManager",  "CreateService",                  "ChangeServiceConfig2",
    "CloseServiceHandle:service", "CloseServiceHandle:manager",
};
const Calls uninstallCalls = {"OpenSCManager", "OpenService", "DeleteService", "CloseServiceHandle:service",
                              "CloseServiceHandle:manager"};

Calls firstCalls(std::size_t count, Calls tail = {})
{
    Calls calls(installCalls.begin(), installCalls.begin() + count);
    calls.insert(calls.end(), tail.begin(), tail.end());
    return calls;
}

// A real folder with a host.exe in it: the install resolves the path it is
// given, so the file has to exist.
struct HostFolder {
    HostFolder() : ready(CreateDirectoryW(folder.file(L"sub").c_str(), nullptr) && testChild::writeFile(host(), "")) {}
    std::wstring host() const { return folder.file(L"host.exe"); }

    testChild::TempDirectory folder;
    bool ready;
};

// What the command prints on its console. It succeeds exactly when all it
// printed is its one success line.
std::string run(FakeSystem& fake, bool (*command)())
{
    FakeSystemScope scope(fake);
    testing::internal::CaptureStdout();
    const bool succeeded = command();
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output == "Service installed successfully\n" || output == "Service deleted successfully\n", succeeded)
        << output;
    return output;
}

std::string quoted(const std::wstring& text)
{
    return "\"" + toUtf8(text) + "\"";
}

// One road through a console command: what the system does, what the
// command prints, and which calls it makes in which order.
struct CommandRow {
    const char* name;
    bool (*command)();
    void (*script)(FakeSystem&);
    const char* output;
    Calls calls;
};

// Failure messages name the row, not its bytes.
void PrintTo(const CommandRow& row, std::ostream* out)
{
    *out << row.name;
}

class CommandRoads : public ::testing::TestWithParam<CommandRow> {};

TEST_P(CommandRoads, PrintOneOutcomeAndStopAtTheFirstFailure)
{
    HostFolder host;
    ASSERT_TRUE(host.ready);
    FakeSystem fake;
    fake.modulePath = host.host();
    GetParam().script(fake);
    EXPECT_EQ(GetParam().output, run(fake, GetParam().command));
    EXPECT_EQ(GetParam().calls, fake.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Console, CommandRoads,
    ::testing::Values(
        CommandRow{"InstallSucceeds", installService, [](FakeSystem&) {}, "Service installed successfully\n",
                   installCalls},
        CommandRow{"NoModuleFileName", installService,
                   [](FakeSystem& f) { f.failures["GetModuleFileName"] = ERROR_ACCESS_DENIED; },
                   "Cannot install service (5)\n", firstCalls(1)},
        CommandRow{"ModuleFileNameCut", installService, [](FakeSystem& f) { f.moduleFileNameFillsBuffer = true; },
                   "Cannot install service (122)\n", firstCalls(1)},
        CommandRow{"RegistryKeyDenied", installService,
                   [](FakeSystem& f) { f.failures["RegCreateKeyEx"] = ERROR_ACCESS_DENIED; },
                   "Failed to create registry key (5)\n", firstCalls(2)},
        CommandRow{"MessageFileValueFails", installService,
                   [](FakeSystem& f) { f.failures["RegSetValueEx:EventMessageFile"] = ERROR_INVALID_FUNCTION; },
                   "Failed to create registry key (1)\n", firstCalls(3, {"RegCloseKey"})},
        CommandRow{"TypesValueFails", installService,
                   [](FakeSystem& f) { f.failures["RegSetValueEx:TypesSupported"] = ERROR_BADDB; },
                   "Failed to create registry key (1009)\n", firstCalls(4, {"RegCloseKey"})},
        CommandRow{"InstallWithoutServiceManager", installService,
                   [](FakeSystem& f) { f.failures["OpenSCManager"] = ERROR_ACCESS_DENIED; },
                   "OpenSCManager failed (5)\n", firstCalls(6)},
        CommandRow{"ServiceExists", installService,
                   [](FakeSystem& f) { f.failures["CreateService"] = ERROR_SERVICE_EXISTS; },
                   "CreateService failed (1073)\n", firstCalls(7, {"CloseServiceHandle:manager"})},
        CommandRow{"ErrorPrintedSigned", installService,
                   [](FakeSystem& f) { f.failures["CreateService"] = 0x80070005; },
                   "CreateService failed (-2147024891)\n", firstCalls(7, {"CloseServiceHandle:manager"})},
        CommandRow{"DescriptionFails", installService,
                   [](FakeSystem& f) { f.failures["ChangeServiceConfig2"] = ERROR_ACCESS_DENIED; },
                   "Service installed successfully\nFailed to set service description (5)\n", installCalls},
        // Uninstall touches no registry key.
        CommandRow{"UninstallSucceeds", uninstallService, [](FakeSystem&) {}, "Service deleted successfully\n",
                   uninstallCalls},
        CommandRow{"UninstallWithoutServiceManager", uninstallService,
                   [](FakeSystem& f) { f.failures["OpenSCManager"] = ERROR_ACCESS_DENIED; },
                   "OpenSCManager failed (5)\n", Calls{"OpenSCManager"}},
        CommandRow{"NoSuchService", uninstallService,
                   [](FakeSystem& f) { f.failures["OpenService"] = ERROR_SERVICE_DOES_NOT_EXIST; },
                   "OpenService failed (1060)\n", Calls{"OpenSCManager", "OpenService", "CloseServiceHandle:manager"}},
        CommandRow{"AlreadyMarked", uninstallService,
                   [](FakeSystem& f) { f.failures["DeleteService"] = ERROR_SERVICE_MARKED_FOR_DELETE; },
                   "DeleteService failed (1072)\n", uninstallCalls}),
    [](const ::testing::TestParamInfo<CommandRow>& info) { return std::string(info.param.name); });

// The service runs the file exactly as it was started; the message file is
// looked for in the resolved folder.
TEST(Install, RegistersTheEventSourceAndTheServiceWithTheExactArguments)
{
    HostFolder host;
    ASSERT_TRUE(host.ready);
    FakeSystem fake;
    fake.modulePath = host.folder.path() + L"\\sub\\..\\.\\host.exe";
    testing::internal::CaptureStderr();
    EXPECT_EQ("Service installed successfully\n", run(fake, installService));
    EXPECT_EQ("Warning: quorvanta-embedded-server.exe is missing beside the host; the service cannot start until it "
              "is there.\nWarning: quorvanta_errors.dll is missing beside the host; Event Viewer cannot show this "
              "service's event texts until it is there.\n",
              testing::internal::GetCapturedStderr());
    // Both files present: no warning.
    ASSERT_TRUE(testChild::writeFile(host.folder.file(L"quorvanta-embedded-server.exe"), "")
                && testChild::writeFile(host.folder.file(L"quorvanta_errors.dll"), ""));
    FakeSystem again;
    again.modulePath = fake.modulePath;
    testing::internal::CaptureStderr();
    run(again, installService);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());

    const std::string n = ", ";
    const std::string expected[][2] = {
        {"GetModuleFileName", "null" + n + std::to_string(MAX_PATH)},
        {"RegCreateKeyEx", "HKLM, \"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvanta-APIClient\""
                               + n + "0, null, " + std::to_string(REG_OPTION_NON_VOLATILE) + n
                               + std::to_string(KEY_ALL_ACCESS) + ", null, null"},
        // The stored text carries its terminating NUL, and the size counts it.
        {"RegSetValueEx:EventMessageFile", "key, \"EventMessageFile\", 0, " + std::to_string(REG_SZ) + ", \""
                                               + toUtf8(host.folder.file(L"quorvanta_errors.dll")) + "\\0\""},
        {"RegSetValueEx:TypesSupported", "key, \"TypesSupported\", 0, " + std::to_string(REG_DWORD) + ", 7"},
        {"RegCloseKey", "key"},
        {"OpenSCManager", "null, null, " + std::to_string(SC_MANAGER_ALL_ACCESS)},
        {"CreateService", "manager, \"Quorvanta-APIClient\", \"Quorvanta-APIClient\", "
                              + std::to_string(SERVICE_ALL_ACCESS) + n + std::to_string(SERVICE_WIN32_OWN_PROCESS) + n
                              + std::to_string(SERVICE_DEMAND_START) + n + std::to_string(SERVICE_ERROR_NORMAL) + n
                              + quoted(L"\"" + fake.modulePath + L"\" \"server\"") + ", null, null, null, null, null"},
        {"ChangeServiceConfig2", "service, " + std::to_string(SERVICE_CONFIG_DESCRIPTION)
                                     + ", \"Provides a persistent Quorvanta server to send and receive files.\""},
    };
    for (const auto& [call, arguments] : expected)
        EXPECT_EQ(arguments, fake.arguments[call]) << call;
}

TEST(Install, AHostInARootFolderGetsOneSeparatorBeforeTheMessageFile)
{
    wchar_t windows[MAX_PATH];
    ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring root(windows, 3); // "C:\"
    const std::wstring host = root + L"qv-install-root-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    if (!testChild::writeFile(host, ""))
        GTEST_SKIP() << "cannot create a file in " << toUtf8(root) << " (error " << GetLastError() << ")";
    FakeSystem fake;
    fake.modulePath = host;
    const std::string output = run(fake, installService);
    DeleteFileW(host.c_str());
    EXPECT_EQ("Service installed successfully\n", output);
    EXPECT_EQ("key, \"EventMessageFile\", 0, 1, \"" + toUtf8(root) + "quorvanta_errors.dll\\0\"",
              fake.arguments["RegSetValueEx:EventMessageFile"]);
}

// A path that names no file cannot be resolved: nothing may be registered
// under it.
TEST(Install, AnUnresolvablePathWritesNothing)
{
    HostFolder host;
    ASSERT_TRUE(host.ready);
    FakeSystem fake;
    fake.modulePath = host.folder.file(L"missing\\host.exe");
    const std::string output = run(fake, installService);
    EXPECT_EQ(Calls{"GetModuleFileName"}, fake.calls);
    ASSERT_EQ(0u, output.rfind("Cannot install service (", 0)) << output;
    EXPECT_NE("Cannot install service (0)\n", output);
    EXPECT_EQ('\n', output.back());
}

TEST(Uninstall, OpensTheServiceWithDeleteAccessOnly)
{
    FakeSystem fake;
    run(fake, uninstallService);
    EXPECT_EQ("null, null, " + std::to_string(SC_MANAGER_ALL_ACCESS), fake.arguments["OpenSCManager"]);
    EXPECT_EQ("manager, \"Quorvanta-APIClient\", " + std::to_string(DELETE), fake.arguments["OpenService"]);
    EXPECT_EQ("service", fake.arguments["DeleteService"]);
}

} // namespace

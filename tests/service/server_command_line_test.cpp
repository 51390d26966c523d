#include "service_recorder.h"

#include "TextConversion.h"
#include "server_command_line.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

// What the stubbed GetModuleFileNameW reports as the host's own file.
std::wstring fakeModuleName;
int moduleNameCalls = 0;

DWORD WINAPI reportFakeModuleName(HMODULE module, LPWSTR buffer, DWORD size)
{
    ++moduleNameCalls;
    if (module != nullptr || size == 0)
        return 0;
    // As the system does: a name that does not fit is cut, terminated, and
    // the full buffer size returned.
    const std::size_t copied = std::min<std::size_t>(fakeModuleName.size(), size - 1);
    fakeModuleName.copy(buffer, copied);
    buffer[copied] = L'\0';
    if (fakeModuleName.size() >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return static_cast<DWORD>(copied);
}

DWORD WINAPI failModuleName(HMODULE, LPWSTR, DWORD)
{
    ++moduleNameCalls;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

std::wstring realModuleName()
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

std::wstring parentOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

struct Assembled {
    bool succeeded = false;
    ServerArguments arguments;
    bool serverMode = false;
};

// startArguments are what the SCM passes after the service name.
Assembled assemble(std::vector<std::wstring> startArguments)
{
    startArguments.insert(startArguments.begin(), L"Quorvanta-APIClient");
    std::vector<LPWSTR> argv;
    for (std::wstring& argument : startArguments)
        argv.push_back(argument.data());
    Assembled result;
    result.succeeded =
        assembleServerArguments(static_cast<DWORD>(argv.size()), argv.data(), result.arguments, result.serverMode);
    return result;
}

class ServerCommandLineTest : public ServiceStateTest {
protected:
    void SetUp() override
    {
        ServiceStateTest::SetUp();
        moduleNameCalls = 0;
        fakeModuleName.clear();
        systemApi.getModuleFileName = reportFakeModuleName;
    }

    // The default child for a host that lives in the test program's folder.
    static std::string besideTestProgram()
    {
        return toUtf8(parentOf(realModuleName()) + L"\\quorvanta-embedded-server.exe");
    }
};

using Strings = std::vector<std::string>;

} // namespace

TEST_F(ServerCommandLineTest, DefaultChildSitsInTheCanonicalFolderOfTheHostAsUtf8)
{
    const std::wstring name = L"quorvanta-h\x00F6st-\x4E2D-" + std::to_wstring(GetCurrentProcessId());
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(folder / L"sub");
    std::ofstream(folder / L"host.exe").put('x');
    // "." and ".." and a detour through a sub-folder must all disappear.
    fakeModuleName = folder.wstring() + L"\\sub\\..\\.\\host.exe";

    const Assembled result = assemble({});
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    ASSERT_TRUE(result.succeeded);
    ASSERT_EQ(2u, result.arguments.size());
    const std::string suffix = toUtf8(L"\\" + name + L"\\quorvanta-embedded-server.exe");
    const std::string& child = result.arguments[0];
    EXPECT_TRUE(child.size() > suffix.size() && child.substr(child.size() - suffix.size()) == suffix) << child;
    EXPECT_EQ("server", result.arguments[1]);
    EXPECT_TRUE(result.serverMode);
    EXPECT_EQ(1, moduleNameCalls);
}

TEST_F(ServerCommandLineTest, UnresolvableHostPathFailsWithoutAList)
{
    Assembled result;
    result.arguments = {"untouched"};

    systemApi.getModuleFileName = failModuleName;
    result.succeeded = assembleServerArguments(0, nullptr, result.arguments, result.serverMode);
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(Strings{"untouched"}, result.arguments);

    systemApi.getModuleFileName = reportFakeModuleName;
    fakeModuleName = parentOf(realModuleName()) + L"\\no-such-host-program.exe";
    EXPECT_FALSE(assemble({}).succeeded) << "a path that names no file has no canonical form";

    fakeModuleName = realModuleName();
    ScopedFailingPathConversion noConversion;
    EXPECT_FALSE(assemble({}).succeeded) << "a path that cannot be made narrow text";
}

// A module name that fills the whole 260-unit buffer was cut; even when the
// cut name happens to name an existing file, it is not the host.
TEST_F(ServerCommandLineTest, ModuleNameCutAtTheBufferIsNotUsed)
{
    const std::filesystem::path base = std::filesystem::temp_directory_path()
        / (L"quorvanta-cut-" + std::to_wstring(GetCurrentProcessId()));
    std::filesystem::create_directories(base);
    const std::wstring prefix = base.wstring() + L"\\";
    ASSERT_LT(prefix.size() + 10, 259u);
    // The full host name has 300 units; its first 259 name an existing file.
    const std::wstring cut = prefix + std::wstring(259 - prefix.size(), L'x');
    const std::filesystem::path existing(cut);
    ASSERT_TRUE(std::ofstream(existing).put('x')) << "cannot create the cut name";
    fakeModuleName = cut + std::wstring(41, L'y');

    const Assembled result = assemble({L"-v"});
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
    EXPECT_FALSE(result.succeeded);

    // The real name fits the buffer and is used.
    fakeModuleName = realModuleName();
    EXPECT_TRUE(assemble({}).succeeded);
}

TEST_F(ServerCommandLineTest, OverrideRules)
{
    struct Case {
        std::wstring first;
        std::string executable; // empty: the default beside the host
        Strings rest;
    };
    const std::string beside = besideTestProgram();
    fakeModuleName = realModuleName();
    const std::vector<Case> cases = {
        {L"--executable=C:\\srv\\server.exe", "C:\\srv\\server.exe", {"server"}},
        {L"--executable=\"C:\\Program Files\\Q\\server.exe\"", "C:\\Program Files\\Q\\server.exe", {"server"}},
        {L"--executable=\"\"", "", {"server"}},
        {L"--executable=\"", "\"", {"server"}},
        {L"--executable=\"a", "\"a", {"server"}},
        {L"--executable=a\"", "a\"", {"server"}},
        {L"--executable=\"a\"b\"", "a\"b", {"server"}},
        {L"--executable=", "", {"server"}},
        {L"--executable=\x00E9t\x00E9.exe", "\xC3\xA9t\xC3\xA9.exe", {"server"}},
        // Not overrides: passed on, and the default child is used.
        {L"--Executable=C:\\x.exe", beside, {"--Executable=C:\\x.exe"}},
        {L"--EXECUTABLE=C:\\x.exe", beside, {"--EXECUTABLE=C:\\x.exe"}},
        {L"--executable", beside, {"--executable"}},
        {L"--executable:C:\\x.exe", beside, {"--executable:C:\\x.exe"}},
        {L" --executable=C:\\x.exe", beside, {" --executable=C:\\x.exe"}},
        {L"-executable=C:\\x.exe", beside, {"-executable=C:\\x.exe"}},
    };
    for (const Case& c : cases) {
        const Assembled result = assemble({c.first});
        ASSERT_TRUE(result.succeeded) << toUtf8(c.first);
        Strings expected{c.executable};
        expected.insert(expected.end(), c.rest.begin(), c.rest.end());
        EXPECT_EQ(expected, result.arguments) << toUtf8(c.first);
    }

    // An override in any later position is an ordinary argument.
    const Assembled later = assemble({L"-v", L"--executable=C:\\x.exe"});
    EXPECT_EQ((Strings{beside, "-v", "--executable=C:\\x.exe"}), later.arguments);
    // Only the first is taken; a second one goes to the child.
    const Assembled twice = assemble({L"--executable=a.exe", L"--executable=b.exe"});
    EXPECT_EQ((Strings{"a.exe", "--executable=b.exe"}), twice.arguments);

    // An override does not even look at the host's own path.
    systemApi.getModuleFileName = failModuleName;
    moduleNameCalls = 0;
    const Assembled overridden = assemble({L"--executable=C:\\srv\\server.exe", L"server", L"-v"});
    ASSERT_TRUE(overridden.succeeded);
    EXPECT_EQ((Strings{"C:\\srv\\server.exe", "server", "-v"}), overridden.arguments);
    EXPECT_TRUE(overridden.serverMode);
    EXPECT_EQ(0, moduleNameCalls);
}

TEST_F(ServerCommandLineTest, HostArgumentsComeBeforeStartArgumentsAndServerOnlyWhenNothingFollows)
{
    fakeModuleName = realModuleName();
    const std::string beside = besideTestProgram();
    EXPECT_EQ((Strings{beside, "server"}), assemble({}).arguments);
    EXPECT_EQ((Strings{"x.exe", "server"}), assemble({L"--executable=x.exe"}).arguments);
    // An empty argument is an argument: nothing is appended for it.
    const Assembled empty = assemble({L""});
    EXPECT_EQ((Strings{beside, ""}), empty.arguments);
    EXPECT_FALSE(empty.serverMode);

    ProcessArguments = {L"server"};
    EXPECT_EQ((Strings{beside, "server"}), assemble({}).arguments);
    EXPECT_EQ((Strings{beside, "server", "-v"}), assemble({L"-v"}).arguments);
    ProcessArguments = {L"a", L"b"};
    EXPECT_EQ((Strings{beside, "a", "b", "c", "d"}), assemble({L"c", L"d"}).arguments);
    EXPECT_EQ((Strings{"x.exe", "a", "b", "c"}), assemble({L"--executable=x.exe", L"c"}).arguments);
    // A host argument that looks like the override is only ever an argument.
    ProcessArguments = {L"--executable=x.exe"};
    EXPECT_EQ((Strings{beside, "--executable=x.exe"}), assemble({}).arguments);
}

TEST_F(ServerCommandLineTest, UnconvertibleTextsKeepTheirPlaceAsEmptyElements)
{
    fakeModuleName = realModuleName();
    ProcessArguments = {std::wstring(L"a\xD800"), L"b"};
    const Assembled result = assemble({std::wstring(L"\xDC00z"), L"c"});
    EXPECT_EQ((Strings{besideTestProgram(), "", "b", "", "c"}), result.arguments);

    const Assembled executable = assemble({std::wstring(L"--executable=\xD800.exe"), L"server"});
    EXPECT_EQ((Strings{"", "", "b", "server"}), executable.arguments);
    EXPECT_FALSE(executable.serverMode);
}

TEST_F(ServerCommandLineTest, ServerModeNeedsExactlyServerAsElementOne)
{
    fakeModuleName = realModuleName();
    const std::vector<std::pair<std::wstring, bool>> cases = {
        {L"server", true},   {L"Server", false}, {L"SERVER", false},  {L"server ", false},
        {L" server", false}, {L"servers", false}, {L"serve", false},  {L"server\t", false},
        {L"-server", false}, {L"", false},
    };
    for (const auto& [first, expected] : cases) {
        EXPECT_EQ(expected, assemble({first}).serverMode) << '"' << toUtf8(first) << '"';
        EXPECT_EQ(expected, assemble({L"--executable=x.exe", first}).serverMode) << '"' << toUtf8(first) << '"';
    }
    // Only element 1 counts.
    EXPECT_FALSE(assemble({L"-v", L"server"}).serverMode);
    ProcessArguments = {L"server"};
    EXPECT_TRUE(assemble({L"-v"}).serverMode);
}

TEST_F(ServerCommandLineTest, ServerModeOptionsAreTheLastSixElements)
{
    ServerArguments arguments{"C:\\srv\\server.exe", "server"};
    appendServerModeOptions(arguments, 520, 524);
    EXPECT_EQ((Strings{"C:\\srv\\server.exe", "server", "--pre-established-listener", "520",
                       "--pre-established-connection", "524", "--max-file-write-cache-size", "1073741824"}),
              arguments);

    ServerArguments extremes;
    appendServerModeOptions(extremes, 0, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ((Strings{"--pre-established-listener", "0", "--pre-established-connection", "18446744073709551615",
                       "--max-file-write-cache-size", "1073741824"}),
              extremes);
}

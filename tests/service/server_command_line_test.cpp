#include "service_recorder.h"

#include "TextConversion.h"
#include "server_command_line.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

using Strings = std::vector<std::string>;

namespace {

// What the stubbed GetModuleFileNameW reports as the host's own file.
std::wstring fakeModuleName;
int moduleNameCalls = 0;

// As the system does: a name that does not fit is cut, terminated, and the
// full buffer size returned.
DWORD WINAPI reportFakeModuleName(HMODULE module, LPWSTR buffer, DWORD size)
{
    ++moduleNameCalls;
    if (module != nullptr || size == 0)
        return 0;
    const std::size_t copied = std::min<std::size_t>(fakeModuleName.size(), size - 1);
    fakeModuleName.copy(buffer, copied);
    buffer[copied] = L'\0';
    SetLastError(copied < fakeModuleName.size() ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
    return copied < fakeModuleName.size() ? size : static_cast<DWORD>(copied);
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

// A folder of its own under the temporary folder, removed with its contents.
struct Folder {
    explicit Folder(const std::wstring& name)
        : path(std::filesystem::temp_directory_path() / (name + std::to_wstring(GetCurrentProcessId())))
    {
        std::filesystem::create_directories(path / L"sub");
    }
    ~Folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

class ServerCommandLineTest : public ServiceStateTest {
protected:
    void SetUp() override
    {
        ServiceStateTest::SetUp();
        moduleNameCalls = 0;
        wchar_t buffer[MAX_PATH] = {};
        fakeModuleName.assign(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH));
        // The default child for a host that lives in the test program's folder.
        beside = toUtf8(fakeModuleName.substr(0, fakeModuleName.find_last_of(L'\\'))) + "\\quorvanta-embedded-server.exe";
        systemApi.getModuleFileName = reportFakeModuleName;
    }

    std::string beside;
};

} // namespace

TEST_F(ServerCommandLineTest, DefaultChildSitsInTheCanonicalFolderOfTheHostAsUtf8)
{
    const Folder folder(L"quorvanta-h\x00F6st-\x4E2D-");
    ASSERT_TRUE(std::ofstream(folder.path / L"host.exe").put('x'));
    // "." and ".." and a detour through a sub-folder must all disappear.
    fakeModuleName = folder.path.wstring() + L"\\sub\\..\\.\\host.exe";
    moduleNameCalls = 0;

    const Assembled result = assemble({});
    ASSERT_TRUE(result.succeeded);
    ASSERT_EQ(2u, result.arguments.size());
    const std::string suffix = toUtf8(L"\\" + folder.path.filename().wstring() + L"\\quorvanta-embedded-server.exe");
    const std::string& child = result.arguments[0];
    EXPECT_TRUE(child.size() > suffix.size() && child.substr(child.size() - suffix.size()) == suffix) << child;
    EXPECT_EQ("server", result.arguments[1]);
    EXPECT_TRUE(result.serverMode);
    EXPECT_EQ(1, moduleNameCalls);
}

TEST_F(ServerCommandLineTest, UnresolvableHostPathFailsWithoutAList)
{
    const std::wstring real = fakeModuleName;
    Assembled result;
    result.arguments = {"untouched"};
    systemApi.getModuleFileName = [](HMODULE, LPWSTR, DWORD) -> DWORD {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    };
    EXPECT_FALSE(assembleServerArguments(0, nullptr, result.arguments, result.serverMode));
    EXPECT_EQ(Strings{"untouched"}, result.arguments);
    systemApi.getModuleFileName = reportFakeModuleName;

    fakeModuleName = real.substr(0, real.find_last_of(L'\\')) + L"\\no-such-host-program.exe";
    EXPECT_FALSE(assemble({}).succeeded) << "a path that names no file has no canonical form";

    // A module name that fills the whole 260-unit buffer was cut: even when
    // the cut name happens to name an existing file, it is not the host.
    const Folder folder(L"quorvanta-cut-");
    const std::wstring prefix = folder.path.wstring() + L"\\";
    ASSERT_LT(prefix.size() + 10, 259u);
    const std::wstring cut = prefix + std::wstring(259 - prefix.size(), L'x');
    ASSERT_TRUE(std::ofstream(std::filesystem::path(cut)).put('x')) << "cannot create the cut name";
    fakeModuleName = cut + std::wstring(41, L'y');
    EXPECT_FALSE(assemble({L"-v"}).succeeded) << "a cut name";

    fakeModuleName = real;
    EXPECT_TRUE(assemble({}).succeeded);
    ScopedFailingPathConversion noConversion;
    EXPECT_FALSE(assemble({}).succeeded) << "a path that cannot be made narrow text";
}

TEST_F(ServerCommandLineTest, OverrideRules)
{
    // The executable an override names; nullopt: no override, the argument
    // is passed on and the default child is used.
    const std::vector<std::pair<std::wstring, std::optional<std::string>>> cases = {
        {L"--executable=C:\\srv\\server.exe", "C:\\srv\\server.exe"},
        {L"--executable=\"C:\\Program Files\\Q\\server.exe\"", "C:\\Program Files\\Q\\server.exe"},
        {L"--executable=\"\"", ""},
        {L"--executable=\"", "\""},
        {L"--executable=\"a", "\"a"},
        {L"--executable=a\"", "a\""},
        {L"--executable=\"a\"b\"", "a\"b"},
        {L"--executable=", ""},
        {L"--executable=\x00E9t\x00E9.exe", "\xC3\xA9t\xC3\xA9.exe"},
        {L"--Executable=C:\\x.exe", std::nullopt},
        {L"--EXECUTABLE=C:\\x.exe", std::nullopt},
        {L"--executable", std::nullopt},
        {L"--executable:C:\\x.exe", std::nullopt},
        {L" --executable=C:\\x.exe", std::nullopt},
        {L"-executable=C:\\x.exe", std::nullopt},
    };
    for (const auto& [first, executable] : cases) {
        const Assembled result = assemble({first});
        ASSERT_TRUE(result.succeeded) << toUtf8(first);
        const Strings expected = executable ? Strings{*executable, "server"} : Strings{beside, toUtf8(first)};
        EXPECT_EQ(expected, result.arguments) << toUtf8(first);
    }
    // An override in any later position is an ordinary argument, and only
    // the first is taken.
    EXPECT_EQ((Strings{beside, "-v", "--executable=C:\\x.exe"}),
              assemble({L"-v", L"--executable=C:\\x.exe"}).arguments);
    EXPECT_EQ((Strings{"a.exe", "--executable=b.exe"}),
              assemble({L"--executable=a.exe", L"--executable=b.exe"}).arguments);

    // An override does not even look at the host's own path.
    moduleNameCalls = 0;
    const Assembled overridden = assemble({L"--executable=C:\\srv\\server.exe", L"server", L"-v"});
    EXPECT_EQ((Strings{"C:\\srv\\server.exe", "server", "-v"}), overridden.arguments);
    EXPECT_TRUE(overridden.serverMode);
    EXPECT_EQ(0, moduleNameCalls);
}

TEST_F(ServerCommandLineTest, HostArgumentsComeBeforeStartArgumentsAndServerOnlyWhenNothingFollows)
{
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

    // Texts that cannot be converted keep their place as empty elements.
    ProcessArguments = {std::wstring(L"a\xD800"), L"b"};
    EXPECT_EQ((Strings{beside, "", "b", "", "c"}), assemble({std::wstring(L"\xDC00z"), L"c"}).arguments);
    const Assembled executable = assemble({std::wstring(L"--executable=\xD800.exe"), L"server"});
    EXPECT_EQ((Strings{"", "", "b", "server"}), executable.arguments);
    EXPECT_FALSE(executable.serverMode);
}

TEST_F(ServerCommandLineTest, ServerModeNeedsExactlyServerAsElementOne)
{
    const std::vector<std::pair<std::wstring, bool>> cases = {
        {L"server", true},   {L"Server", false},  {L"SERVER", false}, {L"server ", false}, {L" server", false},
        {L"servers", false}, {L"serve", false},   {L"server\t", false}, {L"-server", false}, {L"", false},
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

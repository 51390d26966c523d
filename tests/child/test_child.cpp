// test_child: the one helper program that tests launch when they need a real
// child. The first argument names a verb (tests/common/test_child.h lists
// them). Verbs ignore arguments beyond those they use, so a child launched by
// the service host may carry the host's server-mode options behind its own.
#include "verbs.h"

#include "WinApi.h"
#include "test_sockets.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <map>

// The runtime must hand over the arguments as its parser split them, without
// expanding wildcards: the quoting tests compare against exactly that.
extern "C" int _dowildcard;
int _dowildcard = 0;

namespace {

std::map<std::wstring, ChildVerbFunction>& verbs()
{
    static std::map<std::wstring, ChildVerbFunction> table;
    return table;
}

// echo-args needs argv[0] as well, so it bypasses the table.
int echoArgs(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    std::string out;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = childUtf8(argv[i]);
        out += std::to_string(argument.size()) + ":" + argument + "\n";
    }
    return writeChildFile(argv[2], out) ? 0 : 3;
}

int exitWith(const std::vector<std::wstring>& arguments)
{
    std::uint64_t code = 0;
    if (arguments.empty() || !parseChildNumber(arguments[0], code) || code > 0xFFFFFFFFull)
        return 2;
    // ExitProcess, not return: the runtime would narrow the code to int first.
    ExitProcess(static_cast<UINT>(code));
}

int sleepFor(const std::vector<std::wstring>& arguments)
{
    std::uint64_t milliseconds = 0;
    if (arguments.empty() || !parseChildNumber(arguments[0], milliseconds) || milliseconds >= INFINITE)
        return 2;
    Sleep(static_cast<DWORD>(milliseconds));
    return 0;
}

LONG WINAPI endWithExceptionCode(EXCEPTION_POINTERS* exception)
{
    // Ended here, before any frame handler runs, so that no debugger is
    // started (Wine starts winedbg for an unhandled fault) and the exit code is
    // the exception code, as for an unattended crash on Windows.
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

int crash(const std::vector<std::wstring>&)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    AddVectoredExceptionHandler(1, endWithExceptionCode);
    // Both volatile: the compiler may neither drop the store through a null
    // pointer nor turn it into a trap (an illegal instruction).
    volatile int* volatile target = nullptr;
    *target = 1;
    return 1;
}

bool isOption(const std::wstring& argument)
{
    return argument.size() >= 2 && argument[0] == L'-' && argument[1] == L'-';
}

// Each value that is not an open handle here is named on standard output.
int checkHandles(const std::vector<std::wstring>& arguments)
{
    int invalid = 0;
    for (const std::wstring& argument : arguments) {
        std::uint64_t value = 0;
        DWORD flags = 0;
        if (!isOption(argument)
            && (!parseChildNumber(argument, value)
                || !GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)), &flags))) {
            ++invalid;
            std::printf("invalid %ls\n", argument.c_str());
        }
    }
    std::fflush(stdout);
    return invalid;
}

int sockets(const std::vector<std::wstring>& arguments)
{
    WSADATA data{};
    if (arguments.empty() || WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 2;
    std::string out;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        std::uint64_t value = 0;
        if (isOption(arguments[i]))
            continue;
        WSASetLastError(0);
        const std::string name = parseChildNumber(arguments[i], value) ? testSockets::name(static_cast<SOCKET>(value)) : "";
        const std::string error = std::to_string(WSAGetLastError());
        out += childUtf8(arguments[i]) + (name.empty() ? " not-socket " + error : " socket " + name) + "\n";
    }
    WSACleanup();
    return writeChildFile(arguments[0], out) ? 0 : 3;
}

const ChildVerb exitVerb(L"exit", exitWith);
const ChildVerb sleepVerb(L"sleep", sleepFor);
const ChildVerb crashVerb(L"crash", crash);
const ChildVerb checkHandlesVerb(L"check-handles", checkHandles);
const ChildVerb socketsVerb(L"sockets", sockets);

int usage()
{
    std::fputs("usage: test_child <verb> [arguments]\nverbs: echo-args", stderr);
    for (const auto& verb : verbs())
        std::fprintf(stderr, " %ls", verb.first.c_str());
    std::fputs("\n", stderr);
    return 100;
}

} // namespace

ChildVerb::ChildVerb(const wchar_t* name, ChildVerbFunction function)
{
    verbs()[name] = function;
}

bool parseChildNumber(const std::wstring& text, std::uint64_t& value)
{
    // Base 16 only with the 0x prefix: a leading zero does not mean octal here.
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    // wcstoull would accept blanks and a sign in front of the digits.
    if (text.empty() || !(hex ? std::iswxdigit(text[2]) : std::iswdigit(text[0])))
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::wcstoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (errno != 0 || end != text.c_str() + text.size())
        return false;
    value = parsed;
    return true;
}

std::string childUtf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

bool writeChildFile(const std::wstring& path, const std::string& bytes)
{
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && std::wstring(argv[1]) == L"echo-args")
        return echoArgs(argc, argv);
    const auto found = argc < 2 ? verbs().end() : verbs().find(argv[1]);
    if (found == verbs().end())
        return usage();
    return found->second(std::vector<std::wstring>(argv + 2, argv + argc));
}

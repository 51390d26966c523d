// Verbs that raise diagnostics reports: a fatal report aborts, so the tests
// watch it from outside, through this child's output file and exit code. The
// callback and the output stream write to one file, so the file shows their
// order: callback texts are prefixed "callback <type>: ", the stream's bare.
#include "verbs.h"

#include "Debug.h"

#include <cstdio>

namespace {

void recordCallback(void* context, DebugMessageType type, const char* text)
{
    std::FILE* file = static_cast<std::FILE*>(context);
    std::fprintf(file, "callback %d: %s", type, text);
    std::fflush(file);
}

std::FILE* openLog(const std::wstring& path, bool abortOnError)
{
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    DebugConfig config;
    config.abortOnError = abortOnError;
    config.outputCallback = recordCallback;
    config.callbackContext = file;
    config.outputStream = file;
    if (file != nullptr)
        Debug::setConfig(config);
    return file;
}

// debug-report <fatal|error|error-abort> <outfile> <extrafile>: raises one
// report with the message "boom 7" from the source file "dir/sub/raise.cpp",
// line 42, with extrafile as its extra stream. Exit code 0 when the report
// returned false, 1 when it returned true; a fatal report aborts (exit code 3).
int debugReport(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() < 3)
        return 2;
    std::FILE* file = openLog(arguments[1], arguments[0] == L"error-abort");
    std::FILE* extra = _wfopen(arguments[2].c_str(), L"wb");
    if (file == nullptr || extra == nullptr)
        return 3;
    const DebugMessageType type = arguments[0] == L"fatal" ? Debug::Fatal : Debug::Error;
    const bool breakIn = Debug::report(type, "dir/sub/raise.cpp", 42, extra, nullptr, "boom %d", 7);
    std::fclose(extra);
    std::fclose(file);
    return breakIn ? 1 : 0;
}

// debug-assert <outfile>: a failing debugAssert; the file starts with the line
// "line <n>" naming the assertion's source line.
int debugAssertVerb(const std::vector<std::wstring>& arguments)
{
    std::FILE* file = arguments.empty() ? nullptr : openLog(arguments[0], false);
    if (file == nullptr)
        return 3;
    const int* volatile held = nullptr;
    std::fprintf(file, "line %d\n", __LINE__ + 2);
    std::fflush(file);
    debugAssert(nullptr != held);
    std::fclose(file);
    return 0;
}

const ChildVerb debugReportVerb(L"debug-report", debugReport);
const ChildVerb debugAssertVerbEntry(L"debug-assert", debugAssertVerb);

} // namespace

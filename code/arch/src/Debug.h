// Diagnostics channel of the support library: formats a report, hands it to a
// callback and to stdio streams, and ends the program on fatal reports unless
// a debugger is attached.
#pragma once

#include <cstdio>
#include <string>

using DebugMessageType = int;

using DebugOutputCallback = void (*)(void* context, DebugMessageType type, const char* text);

struct DebugConfig {
    bool abortOnError = false;
    DebugOutputCallback outputCallback = nullptr;
    void* callbackContext = nullptr;
    std::FILE* outputStream = stdout;
};

namespace Debug {

// The five plain kinds carry no location; nothing in the host raises them.
constexpr DebugMessageType Trace = 1;
constexpr DebugMessageType Info = 2;
constexpr DebugMessageType Notice = 4;
constexpr DebugMessageType Warning = 8;
constexpr DebugMessageType Verbose = 16;
constexpr DebugMessageType Error = 32; // fatal only when abortOnError is set
constexpr DebugMessageType Fatal = 64; // always fatal

constexpr std::size_t MessageCapacity = 8192; // caller's message, NUL included
constexpr std::size_t ReportCapacity = 10240; // whole report text, NUL included

void setConfig(const DebugConfig& config);
DebugConfig config();

// True only for a fatal report while a debugger is attached: the caller must
// then break into the debugger. A fatal report without a debugger aborts.
bool report(DebugMessageType type, const char* sourceFile, int line, std::FILE* extraStream, const char* condition,
            const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 6, 7)))
#endif
    ;

// The report text of the last fatal report, written just before abort().
const std::string& lastFatalMessage();

void breakIntoDebugger();

} // namespace Debug

// "(Error code 0x%x) " followed by the runtime library's text for errno.
std::string systemErrorText();
// The same form for a Windows error code, with the system's text for it.
std::string windowsErrorText(unsigned long error);

#define debugAssert(condition)                                                                                         \
    do {                                                                                                               \
        if (!(condition) && Debug::report(Debug::Fatal, __FILE__, __LINE__, nullptr, #condition, nullptr))             \
            Debug::breakIntoDebugger();                                                                                \
    } while (false)

#include "Debug.h"

#include "WinApi.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

DebugConfig gConfig;
std::string gLastFatalMessage;

const char* fileNameOf(const char* sourceFile)
{
    // Only '/' separates: a path the compiler spelled with '\' is shown whole.
    const char* slash = std::strrchr(sourceFile, '/');
    return slash != nullptr ? slash + 1 : sourceFile;
}

void deliver(const DebugConfig& config, DebugMessageType type, const char* text, std::FILE* extraStream)
{
    if (config.outputCallback != nullptr)
        config.outputCallback(config.callbackContext, type, text);
    if (config.outputStream != nullptr) {
        std::fputs(text, config.outputStream);
        std::fflush(config.outputStream);
    }
    if (extraStream != nullptr) {
        std::fputs(text, extraStream);
        std::fflush(extraStream);
    }
}

} // namespace

void Debug::setConfig(const DebugConfig& config)
{
    gConfig = config;
}

DebugConfig Debug::config()
{
    return gConfig;
}

bool Debug::report(DebugMessageType type, const char* sourceFile, int line, std::FILE* extraStream,
                   const char* condition, const char* format, ...)
{
    // Fixed stack buffers: a report must work when the heap is what failed.
    char message[MessageCapacity] = {};
    char text[ReportCapacity] = {};

    const char* fileName = fileNameOf(sourceFile);
    if (format != nullptr) {
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(message, sizeof message, format, arguments);
        va_end(arguments);
    }
    const std::size_t length = std::strlen(message);
    const char* terminator = (length > 0 && message[length - 1] == '\n') ? "" : "\n";

    if (condition != nullptr) {
        std::snprintf(text, sizeof text, "ASSERTION FAILED (%s, line %d): %s. %s%s", fileName, line, condition, message,
                      terminator);
    } else {
        switch (type) {
        case Trace:
        case Info:
        case Notice:
        case Warning:
        case Verbose:
            std::snprintf(text, sizeof text, "%s%s", message, terminator);
            break;
        case Error:
        case Fatal:
            std::snprintf(text, sizeof text, "(%s, line %d): %s%s", fileName, line, message, terminator);
            break;
        default:
            // Unknown kinds still reach every output, with an empty text.
            break;
        }
    }

    const DebugConfig& config = gConfig;
    deliver(config, type, text, extraStream);

    const bool fatal = type == Fatal || (type == Error && config.abortOnError);
    if (!fatal)
        return false;
    if (IsDebuggerPresent())
        return true;

    static const char notice[] = "Debug: Aborting due to error\n";
    // The extra stream belongs to this one report, the notice to the channel.
    deliver(config, type, notice, nullptr);
    gLastFatalMessage = text;
    std::abort();
}

const std::string& Debug::lastFatalMessage()
{
    return gLastFatalMessage;
}

void Debug::breakIntoDebugger()
{
    DebugBreak();
}

namespace {

std::string errorText(unsigned long code, const char* description)
{
    char prefix[32] = {};
    std::snprintf(prefix, sizeof prefix, "(Error code 0x%lx) ", code);
    return std::string(prefix) + description;
}

} // namespace

std::string systemErrorText()
{
    const int error = errno;
    char description[2048] = {};
    strerror_s(description, sizeof description, error);
    description[sizeof description - 1] = '\0';
    return errorText(static_cast<unsigned>(error), description);
}

std::string windowsErrorText(unsigned long error)
{
    char description[2048] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  description, sizeof description, nullptr);
    // The system's texts end with a line break; the report adds its own.
    while (length > 0 && (description[length - 1] == '\n' || description[length - 1] == '\r'))
        description[--length] = '\0';
    return errorText(error, description);
}

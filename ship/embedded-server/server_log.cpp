#include "server_log.h"

#include <cstdarg>
#include <cstdio>

void logLine(const char* format, ...)
{
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "quorvanta-embedded-server: %s\n", line);
    std::fflush(stderr);
}

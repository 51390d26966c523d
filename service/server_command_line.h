// What the child server is run with: executable, arguments, server mode, and
// the options that name its inherited sockets.
#pragma once

#include "WinApi.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr const wchar_t* executableOption = L"--executable=";
constexpr const char* serverExecutableName = "quorvanta-embedded-server.exe";
constexpr const char* serverModeArgument = "server";
constexpr const char* listenerOption = "--pre-established-listener";
constexpr const char* connectionOption = "--pre-established-connection";
constexpr const char* cacheOption = "--max-file-write-cache-size";
constexpr std::uint64_t fileWriteCacheSize = 1073741824; // 1 GiB

// The host's own arguments after the program name; filled once by the entry
// point before the dispatcher starts, read-only afterwards.
extern std::vector<std::wstring> ProcessArguments;

// UTF-8; element 0 is the child's executable path.
using ServerArguments = std::vector<std::string>;

// Fails only when the host's own path cannot be resolved; the last error tells why.
bool assembleServerArguments(DWORD argc, LPWSTR* argv, ServerArguments& arguments, bool& serverMode);
void appendServerModeOptions(ServerArguments& arguments, std::uint64_t listener, std::uint64_t connection);

std::string formatDecimal(std::uint64_t value);

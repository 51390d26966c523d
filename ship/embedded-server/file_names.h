// Which names the file store accepts. Names come straight from request paths,
// so anything that could leave the data folder, hit a device or alias another
// name is refused here.
#pragma once

#include <cstddef>
#include <string_view>

// With the data folder and the temporary name around it, paths stay well
// inside what the file API takes without long-path prefixes.
constexpr std::size_t maxFileNameLength = 128;

// [A-Za-z0-9._-], 1 to maxFileNameLength characters, no leading or trailing
// dot, and not one of the names Windows maps to a device (CON, NUL, COM1, ...,
// with or without an extension).
bool isValidFileName(std::string_view name);

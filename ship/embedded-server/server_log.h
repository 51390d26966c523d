// One-line diagnostics on standard error. Under the service host nobody reads
// them; run by hand or by a test they say why the server did what it did.
#pragma once

void logLine(const char* format, ...);

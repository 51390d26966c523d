// The host's whole run from its command line to its exit code. The program's
// wide entry point only forwards to it, so that tests can run it as a function.
#pragma once

// 0 on success. 1 when install or uninstall failed, or when the dispatcher
// could not start (a console start prints the usage text).
int hostMain(int argc, wchar_t* argv[]);

// The host's whole run from its command line to its exit code. The program's
// wide entry point only forwards to it, so that tests can run it as a function.
#pragma once

// Always 0: the outcome of a command is printed, that of a service run logged.
int hostMain(int argc, wchar_t* argv[]);

// The console commands "install" and "uninstall". Both report on standard
// output, stop at the first failing step and return false when any step
// failed. Advice that is not an outcome (run elevated; a file missing beside
// the host) goes to standard error.
#pragma once

bool installService();
bool uninstallService();

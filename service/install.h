// The console commands "install" and "uninstall". Both report on standard
// output only and stop at the first failing step.
#pragma once

void installService();
void uninstallService();

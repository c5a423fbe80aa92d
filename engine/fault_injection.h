// Named points at which a test can make the process end abruptly, to check
// that the file survives a crash there. The environment variable
// TORVIK_FAULT_POINT="<name>:<n>" makes the n-th passage of point <name> end
// the process with _exit(99); without it every point costs one branch.
#pragma once

void dbFaultPoint(const char* name);

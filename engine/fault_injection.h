// Crash injection for the crash-safety tests.
//
// With the environment variable TORVIK_FAULT_POINT set to "<name>:<count>",
// the count-th pass (counting from 1) through the point called <name> ends
// the process on the spot with _exit(dbFaultExitCode): nothing is flushed or
// unmapped, as if the power had failed there. Without the variable every
// point costs one comparison.
//
// Points: "commit.afterDataFlush", "commit.afterRootSwitch", "extend.afterRemap".
#pragma once

constexpr int dbFaultExitCode = 86;

void dbFaultPoint(const char* name);

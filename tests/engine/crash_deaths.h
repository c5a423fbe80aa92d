// How the crash tests end their child processes: at one of the engine's
// fault points (named by TORVIK_FAULT_POINT=<point>:<count> in the child's
// environment, which then exits with kFaultExitStatus), or by SIGKILL.
#pragma once

constexpr int kFaultExitStatus = 99;

enum class Death {
  beforeRootSwitch,  // ended between the data flush and the root switch
  afterRootSwitch,   // ended between the root switch and the second flush
  afterSecondFlush,  // ended once the commit was on the disk, before it returned
  duringGrowth,      // ended right after the file was remapped larger
  killed,            // SIGKILL at a moment the test chooses
};
constexpr int kDeaths = 5;

// The fault points, in the order of the deaths they cause.
const char* const kFaultPoints[] = {"commit.afterDataFlush", "commit.afterRootSwitch", "commit.afterSecondFlush",
                                    "extend.afterRemap"};

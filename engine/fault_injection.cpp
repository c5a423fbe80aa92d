#include "engine/fault_injection.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct dbFaultPlan {
  std::string point;  // empty: no fault planned
  long countdown = 0;
  std::atomic<long> passes{0};

  dbFaultPlan() {
    const char* spec = getenv("TORVIK_FAULT_POINT");
    if (!spec) return;
    const char* colon = strrchr(spec, ':');
    if (!colon) return;
    char* end;
    long count = strtol(colon + 1, &end, 10);
    if (*end != '\0' || count < 1) return;
    point.assign(spec, colon - spec);
    countdown = count;
  }
};

}  // namespace

void dbFaultPoint(const char* name) {
  static dbFaultPlan plan;
  if (plan.point.empty() || plan.point != name) return;
  if (plan.passes.fetch_add(1) + 1 == plan.countdown) _exit(dbFaultExitCode);
}

#include "engine/fault_injection.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct FaultPlan {
  std::string name;
  long count = 0;
  std::atomic<long> passed{0};

  FaultPlan() {
    const char* spec = getenv("TORVIK_FAULT_POINT");
    if (spec == nullptr) return;
    const char* colon = strrchr(spec, ':');
    if (colon == nullptr) return;
    name.assign(spec, colon - spec);
    count = atol(colon + 1);
  }
};

const FaultPlan& plan() {
  static FaultPlan instance;
  return instance;
}

}  // namespace

void dbFaultPoint(const char* name) {
  const FaultPlan& p = plan();
  if (p.count <= 0 || p.name != name) return;
  if (const_cast<FaultPlan&>(p).passed.fetch_add(1) + 1 == p.count) _exit(99);
}

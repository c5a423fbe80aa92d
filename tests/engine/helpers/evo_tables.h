// Two versions of one table, "Evo", for tests of schema evolution. Each is
// declared at run time, so that one program can use either.
#pragma once

#include "engine/describe.h"

struct EvoV1 {
  char const* a;
  int4 b;
  int4 gone;
  TYPE_DESCRIPTOR((FIELD(a), FIELD(b), FIELD(gone)));
};

// b became a real, gone is gone, c, d and e are new.
struct EvoV2 {
  char const* a;
  real8 b;
  char const* c;
  dbArray<int4> d;
  int2 e;
  TYPE_DESCRIPTOR((FIELD(a), FIELD(b), FIELD(c), FIELD(d), FIELD(e)));
};

// b became a string: not convertible.
struct EvoV3 {
  char const* a;
  char const* b;
  TYPE_DESCRIPTOR((FIELD(a), FIELD(b)));
};

inline dbTableDescriptor* newEvoV1() {
  return new dbTableDescriptor("Evo", nullptr, sizeof(EvoV1), &EvoV1::dbDescribeComponents<EvoV1>);
}
inline dbTableDescriptor* newEvoV2() {
  return new dbTableDescriptor("Evo", nullptr, sizeof(EvoV2), &EvoV2::dbDescribeComponents<EvoV2>);
}
inline dbTableDescriptor* newEvoV3() {
  return new dbTableDescriptor("Evo", nullptr, sizeof(EvoV3), &EvoV3::dbDescribeComponents<EvoV3>);
}

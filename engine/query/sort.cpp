#include "engine/query/sort.h"

#include <cstring>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "engine/field_descriptor.h"
#include "engine/query/cursor.h"
#include "engine/query/evaluator.h"
#include "engine/query/query.h"
#include "engine/sync.h"

namespace {

template <class T>
int sign(T a, T b) {
  return a < b ? -1 : a == b ? 0 : 1;
}

// Not-a-number sorts first and equals itself: the sort relies on a total order.
int compareReals(real8 a, real8 b) {
  bool nanA = a != a, nanB = b != b;
  if (nanA || nanB) return static_cast<int>(nanB) - static_cast<int>(nanA);
  return sign(a, b);
}

int compareFields(const dbFieldDescriptor* fd, const byte* a, const byte* b) {
  const byte* p = a + fd->storedOffset;
  const byte* q = b + fd->storedOffset;
  switch (fd->storedType) {
    case tpBool: return *p - *q;
    case tpInt1: return readAt<int1>(p) - readAt<int1>(q);
    case tpInt2: return readAt<int2>(p) - readAt<int2>(q);
    case tpInt4: return sign(readAt<int4>(p), readAt<int4>(q));
    case tpArray: return sign(readAt<int4>(p), readAt<int4>(q));  // element counts
    case tpInt8: return sign(readAt<int8>(p), readAt<int8>(q));
    case tpReal4: return compareReals(readAt<real4>(p), readAt<real4>(q));
    case tpReal8: return compareReals(readAt<real8>(p), readAt<real8>(q));
    case tpString:
      return strcmp(reinterpret_cast<const char*>(a + readAt<nat4>(p + 4)),
                    reinterpret_cast<const char*>(b + readAt<nat4>(q + 4)));
    case tpReference: return sign(readAt<oid_t>(p), readAt<oid_t>(q));
    case tpRawBinary: return fd->compare(p, q, fd->storedSize);
    default: dbThrowInternalError();
  }
}

int compareExpressions(dbExprNode* expr, oid_t a, oid_t b, const dbSortContext& c) {
  dbInheritedAttribute attrA(c.db, c.db->getRow(a), a, c.tableRow, c.parameterBase);
  dbInheritedAttribute attrB(c.db, c.db->getRow(b), b, c.tableRow, c.parameterBase);
  dbExprValue x, y;
  dbEvaluate(expr, attrA, x);
  dbEvaluate(expr, attrB, y);
  switch (expr->type) {
    case etInteger: return sign(x.ivalue, y.ivalue);
    case etBoolean: return static_cast<int>(x.bvalue != 0) - static_cast<int>(y.bvalue != 0);
    case etReal: return compareReals(x.fvalue, y.fvalue);
    case etString: return strcmp(x.str.base, y.str.base);
    default: return 0;  // references have no order
  }
}

// The context of the sort running on this thread: the comparison gets only
// two identifiers.
dbThreadContext<const dbSortContext>& sortContextSlot() {
  static dbThreadContext<const dbSortContext> slot;
  return slot;
}

int compareByContext(oid_t a, oid_t b) { return compareRecords(a, b, *sortContextSlot().get()); }

// ---- The introsort

constexpr size_t insertionSortLimit = 50;

// The pivot position of every partition: one step of the generator
// x * 69069 + 362437 from the seed 123456789.
constexpr nat4 pivotSeed = static_cast<nat4>(123456789u * 69069u + 362437u);
static_assert(pivotSeed == 1527239318u);

bool isAscending(const oid_t* a, size_t n, dbIdentifierCompare cmp) {
  for (size_t i = 1; i < n; i++) {
    if (cmp(a[i - 1], a[i]) > 0) return false;
  }
  return true;
}

bool isDescending(const oid_t* a, size_t n, dbIdentifierCompare cmp) {
  for (size_t i = 1; i < n; i++) {
    if (cmp(a[i - 1], a[i]) < 0) return false;
  }
  return true;
}

void insertionSort(oid_t* a, size_t n, dbIdentifierCompare cmp) {
  if (n < 2) return;
  // The least element goes first as a sentinel: the shifting loop needs no bound.
  size_t least = 0;
  for (size_t i = 1; i < n; i++) {
    if (cmp(a[i], a[least]) < 0) least = i;
  }
  std::swap(a[0], a[least]);
  for (size_t i = 2; i < n; i++) {
    oid_t v = a[i];
    size_t j = i;
    while (cmp(a[j - 1], v) > 0) {
      a[j] = a[j - 1];
      j--;
    }
    a[j] = v;
  }
}

void siftDown(oid_t* a, size_t root, size_t n, dbIdentifierCompare cmp) {
  for (;;) {
    size_t child = 2 * root + 1;
    if (child >= n) return;
    if (child + 1 < n && cmp(a[child], a[child + 1]) < 0) child++;
    if (cmp(a[root], a[child]) >= 0) return;
    std::swap(a[root], a[child]);
    root = child;
  }
}

void heapSort(oid_t* a, size_t n, dbIdentifierCompare cmp) {
  for (size_t i = n / 2; i-- > 0;) siftDown(a, i, n, cmp);
  for (size_t end = n; end-- > 1;) {
    std::swap(a[0], a[end]);
    siftDown(a, 0, end, cmp);
  }
}

void partitionSort(oid_t* a, size_t n, int budget, dbIdentifierCompare cmp) {
  while (n > insertionSortLimit) {
    if (isAscending(a, n, cmp)) return;
    if (budget == 0) {
      heapSort(a, n, cmp);
      return;
    }
    std::swap(a[0], a[pivotSeed % (n - 1)]);
    // Median of three: a[1] <= a[0] <= a[n - 1], which also bound both scans.
    if (cmp(a[1], a[0]) > 0) std::swap(a[0], a[1]);
    if (cmp(a[0], a[n - 1]) > 0) std::swap(a[0], a[n - 1]);
    if (cmp(a[1], a[0]) > 0) std::swap(a[0], a[1]);
    oid_t pivot = a[0];
    size_t i = 1, j = n - 1;
    for (;;) {
      do i++;
      while (cmp(pivot, a[i]) > 0);
      do j--;
      while (cmp(a[j], pivot) > 0);
      if (i >= j) break;
      std::swap(a[i], a[j]);
    }
    std::swap(a[0], a[j]);
    budget -= 1;
    partitionSort(a + j + 1, n - j - 1, budget, cmp);
    n = j;
  }
  insertionSort(a, n, cmp);
}

int significantBits(size_t v) {
  int bits = 0;
  for (; v != 0; v >>= 1) bits++;
  return bits;
}

}  // namespace

int compareRecords(oid_t a, oid_t b, const dbSortContext& context) {
  const byte* recA = context.db->getRow(a);
  const byte* recB = context.db->getRow(b);
  for (const dbOrderByNode* o = context.order; o != nullptr; o = o->next) {
    int diff = o->expr != nullptr ? compareExpressions(o->expr, a, b, context) : compareFields(o->field, recA, recB);
    if (diff != 0) return o->ascent ? diff : -diff;
  }
  return 0;
}

void dbSortIdentifiers(oid_t* ids, size_t n, dbIdentifierCompare compare) {
  if (n < 2 || isAscending(ids, n, compare)) return;
  if (isDescending(ids, n, compare)) {
    for (size_t i = 0, j = n - 1; i < j; i++, j--) std::swap(ids[i], ids[j]);
    return;
  }
  partitionSort(ids, n, 2 * (2 + significantBits(n / 4)), compare);
}

void sortSelection(dbSelection& selection, const dbSortContext& context) {
  if (selection.count < 2) return;
  std::vector<oid_t> ids;
  ids.reserve(selection.count);
  for (dbSelection::segment* seg = selection.first; seg != nullptr; seg = seg->next) {
    ids.insert(ids.end(), seg->rows, seg->rows + seg->count);
  }
  sortContextSlot().set(&context);
  dbSortIdentifiers(ids.data(), ids.size(), compareByContext);
  const oid_t* p = ids.data();
  for (dbSelection::segment* seg = selection.first; seg != nullptr; seg = seg->next) {
    memcpy(seg->rows, p, seg->count * sizeof(oid_t));
    p += seg->count;
  }
}

void reverseSelection(dbSelection& selection) { selection.reverse(); }

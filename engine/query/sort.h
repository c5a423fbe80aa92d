// ORDER BY: the comparison of two records and the sort of a selection.
//
// The sort is an introsort of record identifiers: input already ordered
// either way is recognised first; otherwise quicksort with a median-of-three
// pivot and a depth budget, heap sort when the budget runs out, and insertion
// sort for ranges of 50 or fewer. It is not stable.
#pragma once

#include <cstddef>

#include "engine/types.h"

class dbDatabase;
class dbSelection;
struct dbOrderByNode;

// What the comparison of a running sort needs besides the two identifiers.
// It lives in a thread-local slot, so that the workers of a parallel scan
// can sort on their own threads at the same time.
struct dbSortContext {
  dbDatabase* db;
  dbOrderByNode* order;
  byte* tableRow;       // FIRST and LAST inside ORDER BY expressions
  byte* parameterBase;  // of the select, null for absolute parameter addresses
};

// Negative, 0 or positive as record a sorts before, with or after record b:
// the first ORDER BY component that tells them apart decides. Reals that are
// not numbers sort first, so that the order is total.
int compareRecords(oid_t a, oid_t b, const dbSortContext& context);

// Sorts the selection by the context's ORDER BY list, in place.
void sortSelection(dbSelection& selection, const dbSortContext& context);
// Reverses the order of the selection.
void reverseSelection(dbSelection& selection);

// The sort behind sortSelection, over any order of identifiers.
typedef int (*dbIdentifierCompare)(oid_t a, oid_t b);
void dbSortIdentifiers(oid_t* ids, size_t n, dbIdentifierCompare compare);

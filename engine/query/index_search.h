// Answering a condition from the hash and T-tree indices: directly on a field
// of the table, through an indexed reference field, or backwards through
// inverse references.
#pragma once

#include <string>

#include "engine/types.h"

class dbDatabase;
class dbAnyCursor;
class dbExprNode;
class dbFieldDescriptor;

// Tries to answer the comparison from an index, handing what it finds to the
// cursor. andNode, when given, is the AND whose left operand is the
// comparison: its right operand filters the records found. On success
// decidingField is the field whose index gave the order of the records, or
// null when that order is no field's order of this table.
bool isIndexApplicable(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* comparison, dbExprNode* andNode,
                       dbFieldDescriptor*& decidingField);

// The index search proper, for a comparison whose left operand is an indexed
// field loaded from the records of the cursor's table, with constant or
// parameter keys. False when the comparison cannot be answered this way.
bool searchIndex(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* comparison, dbExprNode* andNode);

// What the selects of the calling thread did, for tests and diagnosis. The
// counters only grow; clear() starts over.
struct dbSelectStatistics {
  nat4 hashSearches = 0;
  nat4 treeSearches = 0;    // range searches
  nat4 treeTraversals = 0;  // ORDER BY walks of a whole tree
  nat4 sequentialScans = 0;
  nat4 parallelScans = 0;
  nat4 sorts = 0;      // results of two records or more sorted after their search
  nat4 reversals = 0;  // descending index answers reversed instead of sorted
  long probes = 0;     // T-tree nodes visited and hash items examined
  // The last T-tree range search: its bounds (texts for string fields) and
  // whether a condition filtered what it found.
  bool lastHasLow = false, lastHasHigh = false;
  bool lastLowInclusive = false, lastHighInclusive = false;
  bool lastFiltered = false;
  std::string lastLow, lastHigh;

  static dbSelectStatistics& ofThisThread();
  void clear() { *this = dbSelectStatistics(); }
};

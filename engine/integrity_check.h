// Offline integrity check of a database file. The file is mapped read-only
// and examined through its committed root only, without a dbDatabase, so a
// damaged file, or one that no process has open, can be checked. Every read
// is bounds-checked: any input yields a report, never a crash or a hang.
// In a file left dirty by a crash the last row of a table may still link to
// a row appended by the lost transaction; recovery clears that link, so the
// check does not count it. The file is mapped while it is checked and must
// not shrink meanwhile.
#pragma once

#include <string>
#include <vector>

#include "engine/types.h"

enum class dbDamage {
  header,     // the header or a root does not describe a usable file
  entry,      // an index entry outside the file, off the 16-byte grid or of a bad kind
  unmarked,   // an object whose space is not marked used in the bitmaps
  overlap,    // two objects share space
  leaked,     // space marked used that no object holds
  freeList,   // the free identifier list runs through a used entry, out of range or in a cycle
  table,      // the metatable or a table record does not parse
  rowList,    // a row list disagrees with itself or with its table record
  ttree,      // a T-tree is out of order, unbalanced or misses rows
  hash,       // a hash chain disagrees with its records
};

struct dbIntegrityIssue {
  dbDamage kind;
  std::string text;
};

struct dbIntegrityReport {
  enum { maxIssues = 100 };  // further issues are only counted
  std::vector<dbIntegrityIssue> issues;
  nat8 issueCount = 0;
  nat8 leakedBytes = 0;
  nat4 objects = 0;  // used index entries of the committed root
  nat4 tables = 0;
  nat8 rows = 0;

  bool clean() const { return issueCount == 0; }
  bool has(dbDamage kind) const;
  void add(dbDamage kind, std::string text);
  // A few lines: the counts, then every issue kept.
  std::string summary() const;
};

// Why the table record rec of size bytes (its size word) does not parse:
// its texts and field entries must lie inside it, texts NUL-terminated.
// Null when it parses.
const char* dbTableRecordFault(const byte* rec, size_t size);

// Checks the file at path; a file that cannot be read is a header issue.
dbIntegrityReport dbCheckFile(const char* path);
// Checks a file image held in memory.
dbIntegrityReport dbCheckImage(const byte* image, size_t size);

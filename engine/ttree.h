// The T-tree index: a height-balanced binary tree whose 512-byte nodes hold
// up to 125 record identifiers in key order. Keys are not copied into the
// tree: every comparison reads the key from the record itself, so a record
// may move without the tree changing.
//
// Stored objects: the header (marker 2, 4 bytes: the root node's identifier)
// and the nodes (marker 3):
//   0 left, 4 right (node identifiers), 8 balance (int8, right minus left
//   height), 10 nItems (nat2), 12 item[125] (record identifiers).
// Invariants: keys in a node are non-decreasing; every key of the left
// subtree is not greater than the node's first item, every key of the right
// subtree not less than its last; balance is in -1..+1.
#pragma once

#include "engine/field_descriptor.h"
#include "engine/types.h"

class dbDatabase;
class dbAnyCursor;
class dbExprNode;

// A search request of the T-tree and the hash index, filled by the select.
struct dbKeyRange {
  dbExprNode* condition = nullptr;  // every record handed must satisfy it too
  dbAnyCursor* cursor = nullptr;    // receives the records through add; false stops
  const void* firstKey = nullptr;   // low bound (a value, or a text), null for none
  bool firstKeyInclusive = true;
  const void* lastKey = nullptr;  // high bound, null for none
  bool lastKeyInclusive = true;
  int type = 0;  // the field's stored type
  int keySize = 0;  // the field's stored size
  dbMemberCompare comparator = nullptr;  // raw binary fields
  int offset = 0;  // the field's stored offset
  long probes = 0;  // nodes visited and hash items examined
};

// The header object: the root node, 0 for an empty tree.
struct dbTtreeHeader {
  oid_t root;
};
static_assert(sizeof(dbTtreeHeader) == 4, "a T-tree header is 4 bytes");

struct dbTtreeNode {
  enum { maxItems = 125, minItems = 123 };
  oid_t left;
  oid_t right;
  int1 balance;
  nat1 padding;
  nat2 nItems;  // 1..maxItems
  oid_t item[maxItems];
};
static_assert(sizeof(dbTtreeNode) == 512, "a T-tree node is 512 bytes");

class dbTtree {
 public:
  // Most items of a node, and the fill at or below which a node that loses
  // an item while it has a child borrows one from a subtree, so that inner
  // nodes stay nearly full.
  enum { maxItems = dbTtreeNode::maxItems, minItems = dbTtreeNode::minItems };

  static oid_t create(dbDatabase* db);
  static void insert(dbDatabase* db, oid_t treeId, oid_t recordId, int type, int sizeofType,
                     dbMemberCompare comparator, int offs);
  // The record must be in the tree and still hold the key it was inserted with.
  static void remove(dbDatabase* db, oid_t treeId, oid_t recordId, int type, int sizeofType,
                     dbMemberCompare comparator, int offs);
  static void drop(dbDatabase* db, oid_t treeId);
  // Hands every record whose key is in the range, in key order, to the
  // range's cursor. Returns false when the cursor stopped the search.
  static bool find(dbDatabase* db, oid_t treeId, dbKeyRange& range);
  // Hands every record (that satisfies condition, when given) in ascending or
  // descending key order until the cursor's add answers false.
  static bool traverseForward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, dbExprNode* condition = nullptr);
  static bool traverseBackward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, dbExprNode* condition = nullptr);
};

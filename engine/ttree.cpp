// The T-tree index: insertion with push-down of a full node's end item,
// removal with borrowing from subtrees, AVL rotations, range search and the
// ordered traversals.
//
// Any put, allocation or free may grow the file and move the mapping, so a
// node pointer is never kept across one: nodes are addressed by identifier
// and fetched again (`at`) after every call that may allocate.
#include "engine/ttree.h"

#include <cstring>

#include "engine/database.h"
#include "engine/index_key.h"
#include "engine/query/cursor.h"
#include "engine/query/evaluator.h"
#include "engine/table_descriptor.h"

// Not-a-number sorts before every number and equals itself: a comparison
// that calls it less than everything, itself included, is no order, and a
// tree sorted by it could lose track of the records around such a key.
template <typename Real>
static int compareReals(Real x, Real y) {
  bool nanX = x != x, nanY = y != y;
  if (nanX || nanY) return static_cast<int>(nanY) - static_cast<int>(nanX);
  return x == y ? 0 : x > y ? 1 : -1;
}

int dbCompareKeys(int type, const void* a, const void* b, size_t size, dbMemberCompare comparator) {
  auto sign = [](auto x, auto y) { return x < y ? -1 : x == y ? 0 : 1; };
  auto load = [](const void* p, auto v) {
    memcpy(&v, p, sizeof v);
    return v;
  };
  switch (type) {
    case tpBool:
      return load(a, nat1()) - load(b, nat1());
    case tpInt1:
      return load(a, int1()) - load(b, int1());
    case tpInt2:
      return load(a, int2()) - load(b, int2());
    case tpInt4:
      return sign(load(a, int4()), load(b, int4()));
    case tpInt8: {
      // Little-endian: the low word first, the high word second.
      int4 highA = load(static_cast<const byte*>(a) + 4, int4());
      int4 highB = load(static_cast<const byte*>(b) + 4, int4());
      if (highA != highB) return sign(highA, highB);
      return sign(load(a, nat4()), load(b, nat4()));
    }
    case tpReal4:
      return compareReals(load(a, real4()), load(b, real4()));
    case tpReal8:
      return compareReals(load(a, real8()), load(b, real8()));
    case tpString:
      return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));  // unsigned bytes
    case tpReference:
      return sign(load(a, oid_t()), load(b, oid_t()));
    case tpRawBinary:
      return comparator(a, b, size);
    default:
      dbThrowInternalError();
  }
}

bool dbHandToCursor(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* condition, oid_t record) {
  if (condition != nullptr && !dbTestRecord(db, condition, record, db->getRow(cursor->getTable()->tableId), cursor)) {
    return true;
  }
  return cursor->add(record);
}

namespace {

// One field's keys as the tree operations compare them.
struct dbTreeField {
  dbDatabase* db;
  int type;
  int size;
  dbMemberCompare comparator;
  int offs;

  const byte* keyOf(oid_t record) const { return dbKeyOf(db->getRow(record), type, offs); }
  // Record a's key against record b's.
  int compare(oid_t a, oid_t b) const {
    const byte* keyA = keyOf(a);
    return dbCompareKeys(type, keyA, keyOf(b), size, comparator);
  }
  // A record's key against a key given by address.
  int compare(oid_t record, const void* key) const { return dbCompareKeys(type, keyOf(record), key, size, comparator); }

  dbTtreeNode* at(oid_t node) const { return reinterpret_cast<dbTtreeNode*>(db->get(node)); }
  // Makes the node private to the transaction; fetch it (and every other
  // node) again afterwards.
  void own(oid_t node) const { db->put(node); }

  oid_t newNode(oid_t record) const {
    oid_t id = db->allocateObject(dbTtreeNodeMarker);
    dbTtreeNode* n = at(id);
    memset(n, 0, sizeof(dbTtreeNode));
    n->nItems = 1;
    n->item[0] = record;
    return id;
  }

  bool insert(oid_t& nodeId, oid_t record) const;
  bool leftGrew(oid_t& nodeId) const;
  bool rightGrew(oid_t& nodeId) const;
  int remove(oid_t& nodeId, oid_t record) const;
  int leftShrank(oid_t& nodeId) const;
  int rightShrank(oid_t& nodeId) const;
};

// Descends into a child for insertion (creating it when missing) and stores
// a changed child identifier. Returns whether the child's subtree grew.
template <oid_t dbTtreeNode::*child>
bool insertIntoChild(const dbTreeField& f, oid_t nodeId, oid_t record) {
  oid_t childId = f.at(nodeId)->*child;
  if (childId == 0) {
    childId = f.newNode(record);
    f.own(nodeId);
    f.at(nodeId)->*child = childId;
    return true;
  }
  oid_t oldChild = childId;
  bool grew = f.insert(childId, record);
  if (childId != oldChild) {
    f.own(nodeId);
    f.at(nodeId)->*child = childId;
  }
  return grew;
}

// Removes from a child and stores a changed child identifier; the result is
// the child's (-1 not found, 0 same height, 1 lower).
template <oid_t dbTtreeNode::*child>
int removeFromChild(const dbTreeField& f, oid_t nodeId, oid_t record) {
  oid_t childId = f.at(nodeId)->*child;
  oid_t oldChild = childId;
  int result = f.remove(childId, record);
  if (childId != oldChild) {
    f.own(nodeId);
    f.at(nodeId)->*child = childId;
  }
  return result;
}

// Returns whether the subtree at nodeId grew in height; a rotation replaces nodeId.
bool dbTreeField::insert(oid_t& nodeId, oid_t record) const {
  dbTtreeNode* n = at(nodeId);
  int nItems = n->nItems;
  int diff = compare(record, n->item[0]);
  if (diff <= 0) {
    if ((n->left == 0 || diff == 0) && nItems < dbTtreeNode::maxItems) {
      own(nodeId);
      n = at(nodeId);
      memmove(&n->item[1], &n->item[0], nItems * sizeof(oid_t));
      n->item[0] = record;
      n->nItems += 1;
      return false;
    }
    return insertIntoChild<&dbTtreeNode::left>(*this, nodeId, record) && leftGrew(nodeId);
  }
  int last = nItems - 1;
  diff = compare(record, n->item[last]);
  if (diff >= 0) {
    if ((n->right != 0 && diff > 0) || nItems == dbTtreeNode::maxItems) {
      return insertIntoChild<&dbTtreeNode::right>(*this, nodeId, record) && rightGrew(nodeId);
    }
    own(nodeId);
    n = at(nodeId);
    n->item[nItems] = record;
    n->nItems += 1;
    return false;
  }
  // Strictly between the first and the last item.
  int l = 1, r = last;
  while (l < r) {
    int m = (l + r) / 2;
    diff = compare(record, n->item[m]);
    if (diff == 0) {
      r = m;
      break;
    }
    if (diff < 0) {
      r = m;
    } else {
      l = m + 1;
    }
  }
  own(nodeId);
  n = at(nodeId);
  if (nItems < dbTtreeNode::maxItems) {
    memmove(&n->item[r + 1], &n->item[r], (nItems - r) * sizeof(oid_t));
    n->item[r] = record;
    n->nItems += 1;
    return false;
  }
  // Full: push one end item down into this node's own subtree, on the lower side.
  oid_t pushed;
  if (n->balance < 0) {
    pushed = n->item[last];
    memmove(&n->item[r + 1], &n->item[r], (last - r) * sizeof(oid_t));
    n->item[r] = record;
  } else {
    pushed = n->item[0];
    memmove(&n->item[0], &n->item[1], (r - 1) * sizeof(oid_t));
    n->item[r - 1] = record;
  }
  return insert(nodeId, pushed);
}

bool dbTreeField::leftGrew(oid_t& nodeId) const {
  own(nodeId);
  dbTtreeNode* n = at(nodeId);
  if (n->balance > 0) {
    n->balance = 0;
    return false;
  }
  if (n->balance == 0) {
    n->balance = -1;
    return true;
  }
  oid_t aId = n->left;
  own(aId);
  n = at(nodeId);
  dbTtreeNode* a = at(aId);
  if (a->balance < 0) {  // single right rotation
    n->left = a->right;
    a->right = nodeId;
    n->balance = a->balance = 0;
    nodeId = aId;
  } else {  // double rotation through the left child's right child
    oid_t gId = a->right;
    own(gId);
    n = at(nodeId);
    a = at(aId);
    dbTtreeNode* g = at(gId);
    a->right = g->left;
    g->left = aId;
    n->left = g->right;
    g->right = nodeId;
    n->balance = g->balance < 0 ? 1 : 0;
    a->balance = g->balance > 0 ? -1 : 0;
    g->balance = 0;
    nodeId = gId;
  }
  return false;
}

bool dbTreeField::rightGrew(oid_t& nodeId) const {
  own(nodeId);
  dbTtreeNode* n = at(nodeId);
  if (n->balance < 0) {
    n->balance = 0;
    return false;
  }
  if (n->balance == 0) {
    n->balance = 1;
    return true;
  }
  oid_t aId = n->right;
  own(aId);
  n = at(nodeId);
  dbTtreeNode* a = at(aId);
  if (a->balance > 0) {  // single left rotation
    n->right = a->left;
    a->left = nodeId;
    n->balance = a->balance = 0;
    nodeId = aId;
  } else {  // double rotation through the right child's left child
    oid_t gId = a->left;
    own(gId);
    n = at(nodeId);
    a = at(aId);
    dbTtreeNode* g = at(gId);
    a->left = g->right;
    g->right = aId;
    n->right = g->left;
    g->left = nodeId;
    n->balance = g->balance > 0 ? -1 : 0;
    a->balance = g->balance < 0 ? 1 : 0;
    g->balance = 0;
    nodeId = gId;
  }
  return false;
}

// Returns -1 when the record is not in the subtree, 0 when the subtree kept
// its height, 1 when it got lower; a rotation or a freed node replaces nodeId.
int dbTreeField::remove(oid_t& nodeId, oid_t record) const {
  dbTtreeNode* n = at(nodeId);
  int diff = compare(record, n->item[0]);
  if (diff <= 0 && n->left != 0) {
    int result = removeFromChild<&dbTtreeNode::left>(*this, nodeId, record);
    if (result > 0) return leftShrank(nodeId);
    if (result == 0) return 0;
    // Not on the left: a smaller key would have had to be there.
    dbCheck(diff == 0);
    n = at(nodeId);
  }
  int nItems = n->nItems;
  if (compare(record, n->item[nItems - 1]) <= 0) {
    for (int i = 0; i < nItems; i++) {
      if (n->item[i] != record) continue;
      if (nItems == 1 && (n->left == 0 || n->right == 0)) {
        oid_t heir = n->right == 0 ? n->left : n->right;
        db->freeObject(nodeId);
        nodeId = heir;
        return 1;
      }
      if (nItems <= dbTtreeNode::minItems) {
        if (n->left != 0 && n->balance <= 0) {
          // Refill from the greatest item of the left subtree.
          oid_t source = n->left;
          while (at(source)->right != 0) source = at(source)->right;
          const dbTtreeNode* s = at(source);
          oid_t borrowed = s->item[s->nItems - 1];
          own(nodeId);
          n = at(nodeId);
          memmove(&n->item[1], &n->item[0], i * sizeof(oid_t));
          n->item[0] = borrowed;
          int result = removeFromChild<&dbTtreeNode::left>(*this, nodeId, borrowed);
          dbCheck(result >= 0);
          return result > 0 ? leftShrank(nodeId) : 0;
        }
        if (n->right != 0) {
          // Refill from the least item of the right subtree.
          oid_t source = n->right;
          while (at(source)->left != 0) source = at(source)->left;
          oid_t borrowed = at(source)->item[0];
          own(nodeId);
          n = at(nodeId);
          memmove(&n->item[i], &n->item[i + 1], (nItems - i - 1) * sizeof(oid_t));
          n->item[nItems - 1] = borrowed;
          int result = removeFromChild<&dbTtreeNode::right>(*this, nodeId, borrowed);
          dbCheck(result >= 0);
          return result > 0 ? rightShrank(nodeId) : 0;
        }
      }
      own(nodeId);
      n = at(nodeId);
      memmove(&n->item[i], &n->item[i + 1], (nItems - i - 1) * sizeof(oid_t));
      n->nItems -= 1;
      return 0;
    }
  }
  if (n->right == 0) return -1;
  int result = removeFromChild<&dbTtreeNode::right>(*this, nodeId, record);
  return result > 0 ? rightShrank(nodeId) : result;
}

int dbTreeField::leftShrank(oid_t& nodeId) const {
  own(nodeId);
  dbTtreeNode* n = at(nodeId);
  if (n->balance < 0) {
    n->balance = 0;
    return 1;
  }
  if (n->balance == 0) {
    n->balance = 1;
    return 0;
  }
  oid_t rId = n->right;
  own(rId);
  n = at(nodeId);
  dbTtreeNode* r = at(rId);
  if (r->balance < 0) {  // double rotation through the right child's left child
    oid_t gId = r->left;
    own(gId);
    n = at(nodeId);
    r = at(rId);
    dbTtreeNode* g = at(gId);
    r->left = g->right;
    g->right = rId;
    n->right = g->left;
    g->left = nodeId;
    n->balance = g->balance > 0 ? -1 : 0;
    r->balance = g->balance < 0 ? 1 : 0;
    g->balance = 0;
    nodeId = gId;
    return 1;
  }
  n->right = r->left;  // single left rotation
  r->left = nodeId;
  nodeId = rId;
  if (r->balance == 0) {
    n->balance = 1;
    r->balance = -1;
    return 0;
  }
  n->balance = r->balance = 0;
  return 1;
}

int dbTreeField::rightShrank(oid_t& nodeId) const {
  own(nodeId);
  dbTtreeNode* n = at(nodeId);
  if (n->balance > 0) {
    n->balance = 0;
    return 1;
  }
  if (n->balance == 0) {
    n->balance = -1;
    return 0;
  }
  oid_t lId = n->left;
  own(lId);
  n = at(nodeId);
  dbTtreeNode* l = at(lId);
  if (l->balance > 0) {  // double rotation through the left child's right child
    oid_t gId = l->right;
    own(gId);
    n = at(nodeId);
    l = at(lId);
    dbTtreeNode* g = at(gId);
    l->right = g->left;
    g->left = lId;
    n->left = g->right;
    g->right = nodeId;
    n->balance = g->balance < 0 ? 1 : 0;
    l->balance = g->balance > 0 ? -1 : 0;
    g->balance = 0;
    nodeId = gId;
    return 1;
  }
  n->left = l->right;  // single right rotation
  l->right = nodeId;
  nodeId = lId;
  if (l->balance == 0) {
    n->balance = -1;
    l->balance = 1;
    return 0;
  }
  n->balance = l->balance = 0;
  return 1;
}

// One range search or traversal. Every function returns false to stop the
// whole walk: the cursor wants no more, or the high bound was passed.
struct dbTreeSearch {
  dbTreeField f;
  dbKeyRange& range;
  bool cursorStopped = false;

  // Outside the low bound: below it, or equal to an exclusive one.
  bool belowLow(oid_t record) const {
    int diff = f.compare(record, range.firstKey);
    return range.firstKeyInclusive ? diff < 0 : diff <= 0;
  }
  bool aboveHigh(oid_t record) const {
    int diff = f.compare(record, range.lastKey);
    return range.lastKeyInclusive ? diff > 0 : diff >= 0;
  }
  bool hand(oid_t record) {
    if (range.lastKey != nullptr && aboveHigh(record)) return false;
    if (!dbHandToCursor(f.db, range.cursor, range.condition, record)) {
      cursorStopped = true;
      return false;
    }
    return true;
  }

  bool find(oid_t nodeId) {
    range.probes += 1;
    const dbTtreeNode* n = f.at(nodeId);
    int nItems = n->nItems;
    int from = 0;
    if (range.firstKey != nullptr && belowLow(n->item[0])) {
      // Nothing here or on the left qualifies when even the last item is out.
      if (belowLow(n->item[nItems - 1])) return n->right == 0 || find(n->right);
      int l = 0, r = nItems - 1;  // item r is inside the bound
      while (l < r) {
        int m = (l + r) / 2;
        if (belowLow(n->item[m])) {
          l = m + 1;
        } else {
          r = m;
        }
      }
      from = r;
    } else if (n->left != 0 && !find(n->left)) {
      return false;
    }
    for (int i = from; i < nItems; i++) {
      if (!hand(f.at(nodeId)->item[i])) return false;
    }
    oid_t right = f.at(nodeId)->right;
    return right == 0 || find(right);
  }

  bool forward(oid_t nodeId) {
    oid_t left = f.at(nodeId)->left;
    if (left != 0 && !forward(left)) return false;
    for (int i = 0; i < f.at(nodeId)->nItems; i++) {
      if (!hand(f.at(nodeId)->item[i])) return false;
    }
    oid_t right = f.at(nodeId)->right;
    return right == 0 || forward(right);
  }

  bool backward(oid_t nodeId) {
    oid_t right = f.at(nodeId)->right;
    if (right != 0 && !backward(right)) return false;
    for (int i = f.at(nodeId)->nItems; i-- > 0;) {
      if (!hand(f.at(nodeId)->item[i])) return false;
    }
    oid_t left = f.at(nodeId)->left;
    return left == 0 || backward(left);
  }
};

oid_t rootOf(dbDatabase* db, oid_t treeId) { return reinterpret_cast<dbTtreeHeader*>(db->get(treeId))->root; }

// Runs a traversal over the whole tree; false when the cursor stopped it.
bool traverse(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, dbExprNode* condition,
              bool (dbTreeSearch::*walk)(oid_t)) {
  oid_t root = rootOf(db, treeId);
  if (root == 0) return true;
  dbKeyRange range;
  range.cursor = cursor;
  range.condition = condition;
  dbTreeSearch search{{db, 0, 0, nullptr, 0}, range};
  return (search.*walk)(root);
}

void dropNodes(dbDatabase* db, oid_t nodeId) {
  const dbTtreeNode* n = reinterpret_cast<const dbTtreeNode*>(db->get(nodeId));
  oid_t left = n->left, right = n->right;
  db->freeObject(nodeId);
  if (left != 0) dropNodes(db, left);
  if (right != 0) dropNodes(db, right);
}

}  // namespace

bool dbTtree::find(dbDatabase* db, oid_t treeId, dbKeyRange& range) {
  oid_t root = rootOf(db, treeId);
  if (root == 0) return true;
  dbTreeSearch search{{db, range.type, range.keySize, range.comparator, range.offset}, range};
  search.find(root);
  return !search.cursorStopped;
}

bool dbTtree::traverseForward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, dbExprNode* condition) {
  return traverse(db, treeId, cursor, condition, &dbTreeSearch::forward);
}

bool dbTtree::traverseBackward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, dbExprNode* condition) {
  return traverse(db, treeId, cursor, condition, &dbTreeSearch::backward);
}

oid_t dbTtree::create(dbDatabase* db) {
  oid_t treeId = db->allocateObject(dbTtreeMarker);
  reinterpret_cast<dbTtreeHeader*>(db->get(treeId))->root = 0;
  return treeId;
}

void dbTtree::insert(dbDatabase* db, oid_t treeId, oid_t recordId, int type, int sizeofType, dbMemberCompare comparator,
                     int offs) {
  dbTreeField f{db, type, sizeofType, comparator, offs};
  oid_t root = rootOf(db, treeId);
  oid_t oldRoot = root;
  if (root == 0) {
    root = f.newNode(recordId);
  } else {
    f.insert(root, recordId);
  }
  if (root != oldRoot) {
    db->put(treeId);
    reinterpret_cast<dbTtreeHeader*>(db->get(treeId))->root = root;
  }
}

void dbTtree::remove(dbDatabase* db, oid_t treeId, oid_t recordId, int type, int sizeofType, dbMemberCompare comparator,
                     int offs) {
  dbTreeField f{db, type, sizeofType, comparator, offs};
  oid_t root = rootOf(db, treeId);
  dbCheck(root != 0);
  oid_t oldRoot = root;
  dbCheck(f.remove(root, recordId) >= 0);
  if (root != oldRoot) {
    db->put(treeId);
    reinterpret_cast<dbTtreeHeader*>(db->get(treeId))->root = root;
  }
}

void dbTtree::drop(dbDatabase* db, oid_t treeId) {
  oid_t root = rootOf(db, treeId);
  if (root != 0) dropNodes(db, root);
  db->freeObject(treeId);
}

#include "engine/integrity_check.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "engine/exception.h"
#include "engine/field_descriptor.h"
#include "engine/file_header.h"
#include "engine/hash_table.h"
#include "engine/index_key.h"
#include "engine/table_record.h"
#include "engine/ttree.h"

bool dbIntegrityReport::has(dbDamage kind) const {
  return std::any_of(issues.begin(), issues.end(), [kind](const dbIntegrityIssue& i) { return i.kind == kind; });
}

void dbIntegrityReport::add(dbDamage kind, std::string text) {
  if (issues.size() < maxIssues) issues.push_back({kind, std::move(text)});
  issueCount += 1;
}

std::string dbIntegrityReport::summary() const {
  static const char* const kinds[] = {"header", "entry", "unmarked", "overlap", "leaked",
                                      "free list", "table", "row list", "t-tree", "hash"};
  std::string s = std::to_string(objects) + " objects, " + std::to_string(tables) + " tables, " +
                  std::to_string(rows) + " rows, " + std::to_string(leakedBytes) + " bytes leaked\n";
  for (const dbIntegrityIssue& i : issues) s += std::string(kinds[static_cast<int>(i.kind)]) + ": " + i.text + "\n";
  if (issueCount > issues.size()) s += std::to_string(issueCount - issues.size()) + " more issues\n";
  s += clean() ? "clean\n" : std::to_string(issueCount) + " issues\n";
  return s;
}

// A NUL-terminated text of length bytes at pos, inside a record of recSize bytes.
static bool textInside(const byte* rec, nat8 recSize, nat8 pos, nat8 length) {
  return length >= 1 && pos <= recSize && length <= recSize - pos && rec[pos + length - 1] == 0;
}

const char* dbTableRecordFault(const byte* rec, size_t size) {
  if (size < sizeof(dbTable)) return "shorter than a table record";
  dbTable t;
  memcpy(&t, rec, sizeof t);
  if (!textInside(rec, size, t.name.offs, t.name.size)) return "name outside the record";
  if (t.fields.offs != sizeof(dbTable) || nat8(t.fields.size) * sizeof(dbField) > size - sizeof(dbTable)) {
    return "field entries outside the record";
  }
  for (nat4 i = 0; i < t.fields.size; i++) {
    nat8 at = sizeof(dbTable) + nat8(i) * sizeof(dbField);
    dbField f;
    memcpy(&f, rec + at, sizeof f);
    if (!textInside(rec, size, at + f.name.offs, f.name.size) ||
        !textInside(rec, size, at + f.tableName.offs, f.tableName.size) ||
        !textInside(rec, size, at + f.inverse.offs, f.inverse.size)) {
      return "texts of a field entry outside the record";
    }
  }
  return nullptr;
}

namespace {

std::string str(nat8 v) { return std::to_string(v); }

struct Span {
  nat8 offs;
  nat8 size;
  oid_t oid;  // 0 for the header page and the index arrays
};

struct Field {
  std::string name;
  nat4 type, offset, size;
  oid_t hashTable, tTree;
};

struct Table {
  oid_t oid;
  std::string name;
  nat4 fixedSize, nRows;
  oid_t firstRow, lastRow;
  std::vector<Field> fields;
};

// A key read from a row: its bytes and their count (texts without the NUL).
struct Key {
  const byte* bytes;
  size_t length;
};

class Checker {
 public:
  Checker(const byte* image, size_t size, dbIntegrityReport& report) : base(image), fileSize(size), r(report) {}

  void run() {
    if (!checkHeader()) return;
    collectObjects();
    checkSpace();
    checkFreeList();
    checkTables();
  }

 private:
  const byte* base;
  size_t fileSize;
  dbIntegrityReport& r;
  const dbFileHeader* header = nullptr;
  const oid_t* index = nullptr;
  nat4 used = 0;  // identifiers below this are examined
  std::vector<Span> spans;
  std::vector<nat4> bitmapOffsets;  // file offset of bitmap page k

  bool inFile(nat8 offs, nat8 size) const { return offs <= fileSize && size <= fileSize - offs; }

  nat4 word(nat8 offs) const {
    nat4 v;
    memcpy(&v, base + offs, 4);
    return v;
  }

  nat4 entry(oid_t oid) const { return oid < used ? index[oid] : dbFreeHandleMarker; }

  // The object of oid when its entry is used, has the marker and lies in the file.
  const byte* object(oid_t oid, nat4 marker) const {
    nat4 e = entry(oid);
    if (dbIsFreeEntry(e) || (e & dbFlagsMask) != marker || e % dbAllocationQuantum != marker) return nullptr;
    nat8 offs = e - marker;
    nat8 size = marker == dbRecordMarker ? 0 : dbObjectSizeOfMarker[marker];
    if (marker == dbRecordMarker) {
      if (!inFile(offs, sizeof(dbRecord))) return nullptr;
      size = word(offs);
      if (size < sizeof(dbRecord)) return nullptr;
    }
    return inFile(offs, size) ? base + offs : nullptr;
  }

  nat4 recordSize(const byte* rec) const { return word(rec - base); }

  bool rootSane(const dbFileHeader::Root& root, bool committed) {
    bool ok = root.indexOffset % dbAllocationQuantum == 0 && root.shadowIndexOffset % dbAllocationQuantum == 0 &&
              root.indexOffset >= dbPageSize && root.shadowIndexOffset >= dbPageSize &&
              inFile(root.indexOffset, nat8(root.indexSize) * 4) &&
              inFile(root.shadowIndexOffset, nat8(root.shadowIndexSize) * 4) && root.indexUsed >= dbFirstUserId &&
              root.indexUsed <= root.indexSize && root.freeIdList < root.indexUsed;
    if (committed) ok = ok && root.indexUsed <= root.shadowIndexSize && root.indexOffset != root.shadowIndexOffset;
    return ok;
  }

  bool checkHeader() {
    if (fileSize < dbPageSize) {
      r.add(dbDamage::header, "file of " + str(fileSize) + " bytes is shorter than its header page");
      return false;
    }
    header = reinterpret_cast<const dbFileHeader*>(base);
    if (header->initialized != 1) {
      r.add(dbDamage::header, "file is not initialised");
      return false;
    }
    if (header->currentRoot > 1) {
      r.add(dbDamage::header, "current root " + str(header->currentRoot));
      return false;
    }
    if (!header->dirty && header->fileSize != fileSize) {
      r.add(dbDamage::header, "header names " + str(header->fileSize) + " bytes, file has " + str(fileSize));
    }
    const dbFileHeader::Root& committed = header->root[header->currentRoot];
    if (!rootSane(header->root[1 - header->currentRoot], false)) r.add(dbDamage::header, "working root is insane");
    if (!rootSane(committed, true)) {
      r.add(dbDamage::header, "committed root is insane");
      return false;
    }
    index = reinterpret_cast<const oid_t*>(base + committed.indexOffset);
    used = committed.indexUsed;
    spans.push_back({0, dbPageSize, 0});
    auto roundUp = [](nat8 n) { return (n + dbAllocationQuantum - 1) / dbAllocationQuantum * dbAllocationQuantum; };
    spans.push_back({committed.indexOffset, roundUp(nat8(committed.indexSize) * 4), 0});
    spans.push_back({committed.shadowIndexOffset, roundUp(nat8(committed.shadowIndexSize) * 4), 0});
    return true;
  }

  void collectObjects() {
    bool bitmapsEnded = false;
    for (oid_t oid = 1; oid < used; oid++) {
      nat4 e = index[oid];
      bool isBitmap = oid >= dbBitmapId && oid < dbFirstUserId;
      if (dbIsFreeEntry(e)) {
        bitmapsEnded = bitmapsEnded || isBitmap;
        continue;
      }
      r.objects += 1;
      std::string what = "object " + str(oid);
      nat4 marker = e & dbFlagsMask;
      nat8 offs = e - marker;
      if (e % dbAllocationQuantum != marker) {
        r.add(dbDamage::entry, what + " at " + str(offs) + " is off the 16-byte grid");
        continue;
      }
      bool kindOk = marker < 6 && (oid != dbMetaTableId || marker == dbRecordMarker) &&
                    (!isBitmap || (marker == dbPageObjectMarker && !bitmapsEnded));
      if (!kindOk) {
        r.add(dbDamage::entry, what + " has marker " + str(marker));
        continue;
      }
      nat8 size = dbObjectSizeOfMarker[marker];
      if (marker == dbRecordMarker) {
        size = inFile(offs, 4) ? word(offs) : 0;
        if (size < sizeof(dbRecord)) {
          r.add(dbDamage::entry, what + " is a record of size " + str(size));
          continue;
        }
      }
      if (offs < dbPageSize || !inFile(offs, size)) {
        r.add(dbDamage::entry, what + " at " + str(offs) + " of " + str(size) + " bytes lies outside the file");
        continue;
      }
      spans.push_back({offs, (size + dbAllocationQuantum - 1) / dbAllocationQuantum * dbAllocationQuantum, oid});
      if (isBitmap && bitmapOffsets.size() == oid - dbBitmapId) bitmapOffsets.push_back(static_cast<nat4>(offs));
    }
  }

  bool marked(nat8 quantum) const {
    nat8 page = quantum / dbQuantaPerBitmapPage;
    if (page >= bitmapOffsets.size()) return false;
    nat8 bit = quantum % dbQuantaPerBitmapPage;
    return (base[bitmapOffsets[page] + bit / 8] >> (bit % 8)) & 1;
  }

  void checkSpace() {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.offs < b.offs; });
    nat8 quanta = (fileSize + dbAllocationQuantum - 1) / dbAllocationQuantum;
    std::vector<bool> covered(quanta);
    const Span* last = nullptr;  // the span reaching furthest so far
    for (const Span& s : spans) {
      if (last != nullptr && s.offs < last->offs + last->size) {
        r.add(dbDamage::overlap, "object " + str(s.oid) + " at " + str(s.offs) + " overlaps object " + str(last->oid) +
                                     " at " + str(last->offs));
      }
      if (last == nullptr || s.offs + s.size > last->offs + last->size) last = &s;
      bool allMarked = true;
      for (nat8 q = s.offs / dbAllocationQuantum; q < (s.offs + s.size) / dbAllocationQuantum && q < quanta; q++) {
        covered[q] = true;
        allMarked = allMarked && marked(q);
      }
      if (!allMarked) r.add(dbDamage::unmarked, "space of object " + str(s.oid) + " at " + str(s.offs) + " is not marked");
    }
    nat8 leaked = 0, firstLeak = 0;
    for (size_t page = 0; page < bitmapOffsets.size(); page++) {
      const byte* bits = base + bitmapOffsets[page];
      for (nat4 n = 0; n < dbBitmapBytesPerPage; n++) {
        if (bits[n] == 0) continue;
        for (int b = 0; b < 8; b++) {
          nat8 q = page * dbQuantaPerBitmapPage + n * 8 + b;
          if (((bits[n] >> b) & 1) && (q >= quanta || !covered[q])) {
            if (leaked == 0) firstLeak = q * dbAllocationQuantum;
            leaked += dbAllocationQuantum;
          }
        }
      }
    }
    if (leaked != 0) {
      r.leakedBytes = leaked;
      r.add(dbDamage::leaked, str(leaked) + " bytes marked used hold no object, the first at " + str(firstLeak));
    }
  }

  void checkFreeList() {
    std::vector<bool> seen(used);
    for (oid_t oid = header->root[header->currentRoot].freeIdList; oid != 0;) {
      if (oid >= used) {
        r.add(dbDamage::freeList, "free identifier " + str(oid) + " was never handed out");
        return;
      }
      if (seen[oid]) {
        r.add(dbDamage::freeList, "free identifier list returns to " + str(oid));
        return;
      }
      seen[oid] = true;
      if (!dbIsFreeEntry(index[oid])) {
        r.add(dbDamage::freeList, "free identifier list runs through used object " + str(oid));
        return;
      }
      oid = index[oid] & ~dbFreeHandleMarker;
    }
  }

  // Keys are compared at the width of their type, so a stored size must match it.
  static bool indexableKey(nat4 type, nat4 size) {
    static const nat4 width[] = {1, 1, 2, 4, 8, 4, 8, 8, 4};
    if (type == tpRawBinary) return size != 0;
    if (type == tpString) return true;  // the key is read through the text's slot
    return type <= tpReference && size == width[type];
  }

  std::optional<Table> parseTable(oid_t oid) {
    const byte* rec = object(oid, dbRecordMarker);
    std::string what = "table record " + str(oid);
    if (rec == nullptr) {
      r.add(dbDamage::table, what + " is not a record");
      return std::nullopt;
    }
    nat4 size = recordSize(rec);
    if (const char* fault = dbTableRecordFault(rec, size)) {
      r.add(dbDamage::table, what + ": " + fault);
      return std::nullopt;
    }
    dbTable t;
    memcpy(&t, rec, sizeof t);
    Table table{oid, reinterpret_cast<const char*>(rec + t.name.offs), t.fixedSize, t.nRows, t.firstRow, t.lastRow, {}};
    what = "table " + table.name;
    if (t.fixedSize < sizeof(dbRecord)) r.add(dbDamage::table, what + ": fixed part of " + str(t.fixedSize) + " bytes");
    for (nat4 i = 0; i < t.fields.size; i++) {
      dbField f;
      memcpy(&f, rec + sizeof(dbTable) + nat8(i) * sizeof(dbField), sizeof f);
      Field field{reinterpret_cast<const char*>(rec + sizeof(dbTable) + nat8(i) * sizeof(dbField) + f.name.offs), f.type,
                  f.offset, f.size, f.hashTable, f.tTree};
      bool typeOk = f.type <= tpArray || f.type == tpStructure || f.type == tpRawBinary || f.type == tpAbsent;
      if (!typeOk) r.add(dbDamage::table, what + "." + field.name + ": type " + str(f.type));
      if (f.hashTable != 0 || f.tTree != 0) {
        nat8 slot = f.type == tpString ? 8 : f.size;
        if (!indexableKey(f.type, f.size) || nat8(f.offset) + slot > t.fixedSize) {
          r.add(dbDamage::table, what + "." + field.name + ": indexed field of type " + str(f.type) + " at " +
                                     str(f.offset) + " outside the fixed part");
          field.hashTable = field.tTree = 0;
        }
      }
      table.fields.push_back(std::move(field));
    }
    return table;
  }

  // The rows of a table in list order, when its row list is sound.
  std::optional<std::vector<oid_t>> walkRows(const Table& t) {
    std::vector<oid_t> rows;
    std::unordered_set<oid_t> seen;
    std::string what = "table " + t.name;
    oid_t prev = 0;
    for (oid_t oid = t.firstRow; oid != 0;) {
      if (!seen.insert(oid).second) {
        r.add(dbDamage::rowList, what + ": row list returns to " + str(oid));
        return std::nullopt;
      }
      const byte* rec = object(oid, dbRecordMarker);
      if (rec == nullptr) {
        r.add(dbDamage::rowList, what + ": row " + str(oid) + " after " + str(prev) + " is not a record");
        return std::nullopt;
      }
      dbRecord h;
      memcpy(&h, rec, sizeof h);
      if (h.prev != prev) {
        r.add(dbDamage::rowList, what + ": row " + str(oid) + " links back to " + str(h.prev) + ", not " + str(prev));
      }
      if (h.size < t.fixedSize) r.add(dbDamage::rowList, what + ": row " + str(oid) + " is shorter than the fixed part");
      rows.push_back(oid);
      prev = oid;
      // Appending writes the last row's next in place: after a crash it may
      // name a row that was never committed, until recovery clears it.
      if (header->dirty && oid == t.lastRow) break;
      oid = h.next;
    }
    if (prev != t.lastRow) r.add(dbDamage::rowList, what + ": list ends at " + str(prev) + ", lastRow is " + str(t.lastRow));
    if (rows.size() != t.nRows) {
      r.add(dbDamage::rowList, what + ": " + str(rows.size()) + " rows in the list, nRows is " + str(t.nRows));
    }
    return rows;
  }

  void checkTables() {
    std::optional<Table> meta = parseTable(dbMetaTableId);
    if (!meta) return;
    std::optional<std::vector<oid_t>> tableIds = walkRows(*meta);
    if (!tableIds) return;
    for (oid_t oid : *tableIds) {
      std::optional<Table> t = parseTable(oid);
      if (!t) continue;
      r.tables += 1;
      std::optional<std::vector<oid_t>> rows = walkRows(*t);
      if (!rows) continue;
      r.rows += rows->size();
      for (const Field& f : t->fields) {
        if (f.tTree != 0) checkTree(*t, f, *rows);
        if (f.hashTable != 0) checkHash(*t, f, *rows);
      }
    }
  }

  std::optional<Key> keyOf(oid_t row, const Field& f) const {
    const byte* rec = object(row, dbRecordMarker);
    if (rec == nullptr) return std::nullopt;
    nat4 size = recordSize(rec);
    if (f.type != tpString) {
      if (nat8(f.offset) + f.size > size) return std::nullopt;
      return Key{rec + f.offset, f.size};
    }
    if (nat8(f.offset) + 8 > size) return std::nullopt;
    nat4 length = word(rec - base + f.offset), pos = word(rec - base + f.offset + 4);
    if (!textInside(rec, size, pos, length)) return std::nullopt;
    return Key{rec + pos, length - 1};
  }

  // Every row of the table must occur exactly once among the index's items.
  void checkOccurrences(dbDamage kind, const std::string& what, const std::vector<oid_t>& rows,
                        const std::unordered_map<oid_t, int>& count) {
    for (oid_t row : rows) {
      auto it = count.find(row);
      int n = it == count.end() ? 0 : it->second;
      if (n != 1) {
        r.add(kind, what + ": row " + str(row) + " occurs " + str(n) + " times");
        return;
      }
    }
  }

  struct TreeWalk {
    const Field& field;
    std::string what;
    std::unordered_set<oid_t> rowSet;
    std::unordered_set<oid_t> nodes;
    std::unordered_map<oid_t, int> count;
    bool failed = false;
  };

  // Sign of the comparison of two rows' keys; nullopt when they cannot be compared.
  std::optional<int> compareRows(const Field& f, oid_t a, oid_t b) const {
    std::optional<Key> ka = keyOf(a, f), kb = keyOf(b, f);
    if (!ka || !kb) return std::nullopt;
    if (f.type == tpRawBinary) return memcmp(ka->bytes, kb->bytes, f.size);  // the default comparison
    try {
      return dbCompareKeys(static_cast<int>(f.type), ka->bytes, kb->bytes, f.size, nullptr);
    } catch (const dbException&) {
      return std::nullopt;
    }
  }

  void treeIssue(TreeWalk& w, const std::string& text) {
    r.add(dbDamage::ttree, w.what + ": " + text);
    w.failed = true;
  }

  // Height of the subtree at node; first and last carry its smallest and largest row.
  int walkNode(TreeWalk& w, oid_t node, int depth, oid_t& first, oid_t& last) {
    if (node == 0 || w.failed) return 0;
    if (depth > 64 || !w.nodes.insert(node).second) {
      treeIssue(w, "node " + str(node) + " is reached twice or lies too deep");
      return 0;
    }
    const byte* p = object(node, dbTtreeNodeMarker);
    if (p == nullptr) {
      treeIssue(w, "node " + str(node) + " is not a T-tree node");
      return 0;
    }
    dbTtreeNode n;
    memcpy(&n, p, sizeof n);
    if (n.nItems < 1 || n.nItems > dbTtreeNode::maxItems) {
      treeIssue(w, "node " + str(node) + " holds " + str(n.nItems) + " items");
      return 0;
    }
    for (int i = 0; i < n.nItems; i++) {
      if (!w.rowSet.count(n.item[i])) {
        treeIssue(w, "node " + str(node) + " holds " + str(n.item[i]) + ", not a row of the table");
        return 0;
      }
      w.count[n.item[i]] += 1;
      if (i > 0) {
        std::optional<int> c = compareRows(w.field, n.item[i - 1], n.item[i]);
        if (!c || *c > 0) {
          treeIssue(w, "node " + str(node) + " is out of order at item " + str(i));
          return 0;
        }
      }
    }
    oid_t leftFirst = 0, leftLast = 0, rightFirst = 0, rightLast = 0;
    int hl = walkNode(w, n.left, depth + 1, leftFirst, leftLast);
    int hr = walkNode(w, n.right, depth + 1, rightFirst, rightLast);
    if (w.failed) return 0;
    std::optional<int> c;
    if (n.left != 0 && (!(c = compareRows(w.field, leftLast, n.item[0])) || *c > 0)) {
      treeIssue(w, "left subtree of node " + str(node) + " holds a greater key");
    } else if (n.right != 0 && (!(c = compareRows(w.field, rightFirst, n.item[n.nItems - 1])) || *c < 0)) {
      treeIssue(w, "right subtree of node " + str(node) + " holds a smaller key");
    } else if (n.balance != hr - hl || hr - hl < -1 || hr - hl > 1) {
      treeIssue(w, "node " + str(node) + " has balance " + str(n.balance) + " over heights " + str(hl) + " and " + str(hr));
    }
    first = n.left != 0 ? leftFirst : n.item[0];
    last = n.right != 0 ? rightLast : n.item[n.nItems - 1];
    return 1 + std::max(hl, hr);
  }

  void checkTree(const Table& t, const Field& f, const std::vector<oid_t>& rows) {
    TreeWalk w{f, "T-tree of " + t.name + "." + f.name, {rows.begin(), rows.end()}, {}, {}, false};
    const byte* h = object(f.tTree, dbTtreeMarker);
    if (h == nullptr) {
      treeIssue(w, "header " + str(f.tTree) + " is not a T-tree header");
      return;
    }
    oid_t first = 0, last = 0;
    walkNode(w, word(h - base), 0, first, last);
    if (!w.failed) checkOccurrences(dbDamage::ttree, w.what, rows, w.count);
  }

  void checkHash(const Table& t, const Field& f, const std::vector<oid_t>& rows) {
    std::string what = "hash of " + t.name + "." + f.name;
    const byte* h = object(f.hashTable, dbHashTableMarker);
    if (h == nullptr) {
      r.add(dbDamage::hash, what + ": header " + str(f.hashTable) + " is not a hash-table header");
      return;
    }
    dbHashTableHeader hdr;
    memcpy(&hdr, h, sizeof hdr);
    nat8 buckets = nat8(hdr.size) + 1;
    if (hdr.size < dbHashTable::initialSize || (buckets & (buckets - 1)) != 0) {
      r.add(dbDamage::hash, what + ": size " + str(hdr.size));
      return;
    }
    std::vector<const byte*> pages;
    for (nat8 k = 0; k < buckets / dbHandlesPerPage; k++) {
      const byte* page = hdr.page + k < used ? object(static_cast<oid_t>(hdr.page + k), dbPageObjectMarker) : nullptr;
      if (page == nullptr) {
        r.add(dbDamage::hash, what + ": bucket page " + str(hdr.page + k) + " is not a page");
        return;
      }
      pages.push_back(page);
    }
    std::unordered_set<oid_t> rowSet(rows.begin(), rows.end()), items;
    std::unordered_map<oid_t, int> count;
    for (nat4 b = 0; b < hdr.size; b++) {
      oid_t item = word(pages[b / dbHandlesPerPage] - base + (b % dbHandlesPerPage) * 4);
      for (; item != 0;) {
        const byte* p = items.insert(item).second ? object(item, dbHashTableItemMarker) : nullptr;
        if (p == nullptr) {
          r.add(dbDamage::hash, what + ": bucket " + str(b) + " reaches " + str(item) + ", not a fresh hash item");
          return;
        }
        dbHashTableItem it;
        memcpy(&it, p, sizeof it);
        std::optional<Key> key = rowSet.count(it.record) ? keyOf(it.record, f) : std::nullopt;
        if (!key) {
          r.add(dbDamage::hash, what + ": item " + str(item) + " names " + str(it.record) + ", not a row with a key");
          return;
        }
        if (it.hash != dbHashTable::hashCode(key->bytes, key->length)) {
          r.add(dbDamage::hash, what + ": item " + str(item) + " keeps a hash that is not its record's");
        } else if (it.hash % hdr.size != b) {
          r.add(dbDamage::hash, what + ": item " + str(item) + " is in bucket " + str(b) + ", not " + str(it.hash % hdr.size));
        }
        count[it.record] += 1;
        item = it.next;
      }
    }
    checkOccurrences(dbDamage::hash, what, rows, count);
  }
};

}  // namespace

dbIntegrityReport dbCheckImage(const byte* image, size_t size) {
  dbIntegrityReport report;
  Checker(image, size, report).run();
  return report;
}

dbIntegrityReport dbCheckFile(const char* path) {
  // Mapped read-only and private: nothing here can change the file, and the
  // file need not be a database that any process has open.
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  bool regular = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  size_t size = regular ? static_cast<size_t>(st.st_size) : 0;
  void* image = regular && size != 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
  if (fd >= 0) close(fd);
  if (!regular || image == MAP_FAILED) {
    dbIntegrityReport report;
    report.add(dbDamage::header, std::string("cannot read ") + path);
    return report;
  }
  static const byte empty = 0;
  dbIntegrityReport report = dbCheckImage(image != nullptr ? static_cast<const byte*>(image) : &empty, size);
  if (image != nullptr) munmap(image, size);
  return report;
}

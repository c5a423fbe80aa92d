// The workload of the table-level crash test, shared by the child that runs
// it (table_writer) and the test that checks what survived.
//
// The table "Ledger" is declared in one of several variants (kVariants):
// they add and remove a field, convert fields to other types, and put hash
// and T-tree indices on the keys `code` and `rank` or take them away. The
// table "LedgerState" holds one row: the last transaction committed.
//
// Transaction t draws its operations from a generator seeded with the seed
// and t, applied to the rows present before it; rows inserted by t get the
// ids 16t to 16t + 15, and a changed code names its row and transaction, so
// codes stay unique. The contents after any committed t therefore follow
// from replaying the transactions on a model of the state last checked.
// Values are chosen to survive every conversion between the variants.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "engine/describe.h"
#include "engine/query/cursor.h"
#include "engine/query/query.h"
#include "engine/table_record.h"

namespace ledger {

struct Row {
  int4 id = 0;
  std::string code;
  int4 rank = 0;  // 0..kRanks-1, shared by many rows
  std::string note;
  int4 amount = 0;  // fits an int2
  std::string memo;  // "" in the variants without it
  bool operator==(const Row&) const = default;
};

constexpr int4 kRanks = 40;

// One operation of a transaction. Update and remove find the row by its code
// before the transaction; an update changes the fields given.
struct Op {
  enum Kind { insert, update, remove };
  Op(Kind kind, int4 id, std::string code) : kind(kind), id(id), code(std::move(code)) {}

  Kind kind;
  int4 id;
  std::string code;
  std::optional<std::string> newCode;
  std::optional<int4> rank;
  std::optional<std::string> note;
  std::optional<int4> amount;
  std::optional<std::string> memo;
};

// A text of length n, different for each salt.
inline std::string text(size_t n, nat4 salt) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + (salt + i * 7 + i / 26) % 26);
  return s;
}

class Model {
 public:
  std::map<int4, Row> rows;
  nat4 transaction = 0;
  nat4 seed = 0;
  bool memo = false;      // the variant in use has the memo field
  bool bigNotes = true;   // now and then a note large enough to grow the file

  // The operations of transaction t on the rows present now.
  std::vector<Op> plan(nat4 t) const {
    std::mt19937 rng(seed * 1000003u + t);
    std::vector<std::pair<int4, std::string>> live;  // id and code, as the transaction goes
    for (const auto& [id, row] : rows) live.push_back({id, row.code});
    std::vector<Op> ops;
    for (int n = 1 + rng() % 6, j = 0; j < n; j++) {
      int roll = rng() % 10;
      if (live.size() < 20) roll = 0;
      if (live.size() > 120) roll = 9;
      if (live.empty() || roll < 4) {
        int4 id = static_cast<int4>(t * 16 + j);
        Op op{Op::insert, id, "k" + std::to_string(id)};
        op.rank = static_cast<int4>(rng() % kRanks);
        op.note = note(rng, t);
        op.amount = static_cast<int4>(rng() % 60001) - 30000;
        op.memo = text(rng() % 40, t + j);
        live.push_back({id, op.code});
        ops.push_back(std::move(op));
        continue;
      }
      size_t k = rng() % live.size();
      Op op{roll < 8 ? Op::update : Op::remove, live[k].first, live[k].second};
      if (op.kind == Op::remove) {
        live.erase(live.begin() + k);
      } else {
        nat4 what = rng();
        if (what & 1) live[k].second = *(op.newCode = "k" + std::to_string(op.id) + "." + std::to_string(t));
        if (what & 2) op.rank = static_cast<int4>(rng() % kRanks);
        if (what & 4) op.note = note(rng, t);
        if (what & 8) op.amount = static_cast<int4>(rng() % 60001) - 30000;
        if (what & 16) op.memo = text(rng() % 40, t);
      }
      ops.push_back(std::move(op));
    }
    return ops;
  }

  void apply(const std::vector<Op>& ops) {
    for (const Op& op : ops) {
      if (op.kind == Op::remove) {
        rows.erase(op.id);
        continue;
      }
      Row& row = rows[op.id];
      row.id = op.id;
      if (op.kind == Op::insert) row.code = op.code;
      if (op.newCode) row.code = *op.newCode;
      if (op.rank) row.rank = *op.rank;
      if (op.note) row.note = *op.note;
      if (op.amount) row.amount = *op.amount;
      if (op.memo && memo) row.memo = *op.memo;
    }
  }

  void replayTo(nat4 t) {
    while (transaction < t) {
      apply(plan(transaction + 1));
      transaction++;
    }
  }

  // A variant with or without the memo field took effect.
  void setMemo(bool present) {
    memo = present;
    if (!present) {
      for (auto& [id, row] : rows) row.memo.clear();
    }
  }

 private:
  std::string note(std::mt19937& rng, nat4 t) const {
    nat4 roll = rng();
    size_t n = bigNotes && roll % 12 == 0 ? 100000 + roll % 300000 : roll % 600;
    return text(n, t + roll % 97);
  }
};

// ---- The variants of "Ledger"

struct LedgerA {
  int4 id;
  char const* code;
  int4 rank;
  char const* note;
  int4 amount;
  TYPE_DESCRIPTOR((FIELD(id), KEY(code, HASHED), KEY(rank, INDEXED), FIELD(note), FIELD(amount)));
};

// memo added
struct LedgerB {
  int4 id;
  char const* code;
  int4 rank;
  char const* note;
  int4 amount;
  char const* memo;
  TYPE_DESCRIPTOR((FIELD(id), KEY(code, HASHED), KEY(rank, INDEXED), FIELD(note), FIELD(amount), FIELD(memo)));
};

// amount a real; code without its hash
struct LedgerC {
  int4 id;
  char const* code;
  int4 rank;
  char const* note;
  real8 amount;
  char const* memo;
  TYPE_DESCRIPTOR((FIELD(id), FIELD(code), KEY(rank, INDEXED), FIELD(note), FIELD(amount), FIELD(memo)));
};

// memo removed, amount a 2-byte integer; rank without its T-tree, code with
// a hash and a T-tree
struct LedgerD {
  int4 id;
  char const* code;
  int4 rank;
  char const* note;
  int2 amount;
  TYPE_DESCRIPTOR((FIELD(id), KEY(code, HASHED | INDEXED), FIELD(rank), FIELD(note), FIELD(amount)));
};

// rank and amount 8-byte integers, the T-tree on rank rebuilt for the new type
struct LedgerE {
  int4 id;
  char const* code;
  int8 rank;
  char const* note;
  int8 amount;
  char const* memo;
  TYPE_DESCRIPTOR((FIELD(id), KEY(code, HASHED), KEY(rank, INDEXED), FIELD(note), FIELD(amount), FIELD(memo)));
};

// the layout of LedgerA with other indices
struct LedgerF {
  int4 id;
  char const* code;
  int4 rank;
  char const* note;
  int4 amount;
  TYPE_DESCRIPTOR((FIELD(id), KEY(code, INDEXED), KEY(rank, HASHED | INDEXED), FIELD(note), FIELD(amount)));
};

struct LedgerState {
  int4 transaction;
  TYPE_DESCRIPTOR((FIELD(transaction)));
};

// The stored layout of a table: path and type of each field.
typedef std::vector<std::pair<std::string, int>> Layout;

inline dbFieldDescriptor* fieldOf(dbTableDescriptor* table, const char* path) {
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextInTable) {
    if (fd->path == path) return fd;
  }
  return nullptr;
}

// "Ledger" declared in one variant while the object lives, with the
// operations of the workload and of its checks on a database it is bound to.
class Table {
 public:
  virtual ~Table() { delete desc; }
  dbTableDescriptor* descriptor() const { return desc; }
  bool hasMemo() const { return fieldOf(desc, "memo") != nullptr; }
  Layout layout() const {
    Layout l;
    for (dbFieldDescriptor* fd = desc->firstField; fd != nullptr; fd = fd->nextInTable) l.push_back({fd->path, fd->storedType});
    return l;
  }

  virtual void insert(dbDatabase& db, const Op& op) = 0;
  // Runs an update or remove through a cursor; false when the code does not
  // find exactly the one row.
  virtual bool change(const Op& op) = 0;
  // Every row, read through a whole-table cursor.
  virtual std::map<int4, Row> rows() = 0;
  // Ids of the rows with the code, and of those with a rank in [low, high],
  // as selected by conditions that an index answers where there is one.
  virtual std::vector<int4> withCode(const std::string& code) = 0;
  virtual std::vector<int4> withRanks(int4 low, int4 high) = 0;

 protected:
  dbTableDescriptor* desc = nullptr;
};

template <class V>
class TableOf : public Table {
 public:
  TableOf() { desc = new dbTableDescriptor("Ledger", nullptr, sizeof(V), &V::template dbDescribeComponents<V>); }

  void insert(dbDatabase& db, const Op& op) override {
    V v{};
    v.id = op.id;
    v.code = op.code.c_str();
    v.rank = *op.rank;
    v.note = op.note->c_str();
    v.amount = static_cast<decltype(v.amount)>(*op.amount);
    if constexpr (requires { v.memo; }) v.memo = op.memo->c_str();
    db.insertRecord(desc, &v);
  }

  bool change(const Op& op) override {
    V v{};
    dbAnyCursor cursor(*desc, dbForUpdate, reinterpret_cast<byte*>(&v));
    const char* code = op.code.c_str();
    dbQuery q("code = ", &code);
    if (cursor.select(q, dbForUpdate) != 1 || v.id != op.id) return false;
    if (op.kind == Op::remove) {
      cursor.removeCurrent();
      return true;
    }
    // The unchanged texts still point into the row: the cursor keeps them
    // valid should the update move the mapping.
    if (op.newCode) v.code = op.newCode->c_str();
    if (op.rank) v.rank = *op.rank;
    if (op.note) v.note = op.note->c_str();
    if (op.amount) v.amount = static_cast<decltype(v.amount)>(*op.amount);
    if constexpr (requires { v.memo; }) {
      if (op.memo) v.memo = op.memo->c_str();
    }
    cursor.update();
    return true;
  }

  std::map<int4, Row> rows() override {
    V v{};
    dbAnyCursor cursor(*desc, dbViewOnly, reinterpret_cast<byte*>(&v));
    std::map<int4, Row> all;
    for (bool more = cursor.select() > 0; more; more = cursor.gotoNext()) {
      cursor.fetch();
      Row row{v.id, v.code, static_cast<int4>(v.rank), v.note, static_cast<int4>(v.amount), ""};
      if constexpr (requires { v.memo; }) row.memo = v.memo;
      all[row.id] = row;
    }
    return all;
  }

  std::vector<int4> withCode(const std::string& code) override {
    const char* key = code.c_str();
    dbQuery q("code = ", &key);
    return ids(q);
  }

  std::vector<int4> withRanks(int4 low, int4 high) override {
    decltype(V::rank) lo = low, hi = high;
    dbQuery q("rank between ", &lo, " and ", &hi);
    return ids(q);
  }

 private:
  std::vector<int4> ids(dbQuery& q) {
    V v{};
    dbAnyCursor cursor(*desc, dbViewOnly, reinterpret_cast<byte*>(&v));
    std::vector<int4> found;
    for (bool more = cursor.select(q, dbViewOnly) > 0; more; more = cursor.gotoNext()) {
      cursor.fetch();
      found.push_back(v.id);
    }
    std::sort(found.begin(), found.end());
    return found;
  }
};

constexpr int kVariants = 6;

// Declares "Ledger" in variant 0 to kVariants - 1.
inline std::unique_ptr<Table> declare(int variant) {
  switch (variant) {
    case 0: return std::make_unique<TableOf<LedgerA>>();
    case 1: return std::make_unique<TableOf<LedgerB>>();
    case 2: return std::make_unique<TableOf<LedgerC>>();
    case 3: return std::make_unique<TableOf<LedgerD>>();
    case 4: return std::make_unique<TableOf<LedgerE>>();
    default: return std::make_unique<TableOf<LedgerF>>();
  }
}

// The layout of variant v.
inline Layout layoutOf(int variant) { return declare(variant)->layout(); }

// "LedgerState", declared while the object lives.
class State {
 public:
  State() : desc("LedgerState", nullptr, sizeof(LedgerState), &LedgerState::dbDescribeComponents<LedgerState>) {}
  // The last transaction committed; 0 in a new file.
  nat4 transaction() {
    LedgerState s{};
    dbAnyCursor cursor(desc, dbViewOnly, reinterpret_cast<byte*>(&s));
    return cursor.select() > 0 ? static_cast<nat4>(s.transaction) : 0;
  }
  void setTransaction(dbDatabase& db, nat4 t) {
    LedgerState s{};
    dbAnyCursor cursor(desc, dbForUpdate, reinterpret_cast<byte*>(&s));
    bool exists = cursor.select() > 0;
    s.transaction = static_cast<int4>(t);
    if (exists) {
      cursor.update();
    } else {
      db.insertRecord(&desc, &s);
    }
  }

 private:
  dbTableDescriptor desc;
};

// Runs the operations on the database; false when a row to change was not
// found as the model has it.
inline bool run(dbDatabase& db, Table& table, const std::vector<Op>& ops) {
  for (const Op& op : ops) {
    if (op.kind == Op::insert) {
      table.insert(db, op);
    } else if (!table.change(op)) {
      return false;
    }
  }
  return true;
}

// Runs the model's next transaction on the database through the table and
// commits it, calling before(j) ahead of operation j; false, with nothing
// committed, when a row to change was not found as the model has it. With
// the seed and the transaction chosen so, work drawn for another transaction
// is first done and rolled back.
template <class F>
bool commitNext(dbDatabase& db, Table& table, State& state, Model& model, F before) {
  nat4 t = model.transaction + 1;
  if ((model.seed + t) % 7 == 0) {
    if (!run(db, table, model.plan(t + 1000000))) return false;
    db.rollback();
  }
  std::vector<Op> ops = model.plan(t);
  for (size_t j = 0; j < ops.size(); j++) {
    before(j);
    if (!run(db, table, {ops[j]})) return false;
  }
  state.setTransaction(db, t);
  db.commit();
  model.apply(ops);
  model.transaction = t;
  return true;
}

// The stored layout of the table called name, read in a transaction of db;
// empty when there is none.
inline Layout storedLayout(dbDatabase& db, const char* name) {
  Layout l;
  db.beginTransaction(dbDatabase::dbSharedLock);
  dbTable* meta = dbTableOf(db.getRow(dbMetaTableId));
  for (oid_t row = meta->firstRow; row != 0; row = dbTableOf(db.getRow(row))->next) {
    byte* rec = db.getRow(row);
    if (strcmp(dbTableName(rec), name) != 0) continue;
    for (nat4 i = 0; i < dbTableOf(rec)->fields.size; i++) {
      dbField& f = dbFieldsOf(rec)[i];
      l.push_back({f.getName(), static_cast<int>(f.type)});
    }
  }
  return l;
}

}  // namespace ledger

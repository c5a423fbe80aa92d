// The workload of the crash-safety test, shared by the child that runs it
// (crash_writer) and the test that checks what survived each kill.
//
// The database holds a directory record (the first identifier of a new file)
// and up to kSlots slot records. Transaction t changes a few slots chosen by
// a generator seeded with t alone, so the contents after any committed t are
// recomputed by replaying transactions 1 to t on a model.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/database.h"

namespace crash {

constexpr int kSlots = 64;
constexpr oid_t kDirectoryId = dbFirstUserId;

struct Directory {
  dbRecord header;
  nat4 transaction;  // the last transaction committed
  oid_t slots[kSlots];
};

struct Slot {
  nat4 size = 0;  // 0: no record
  nat4 version = 0;  // the transaction that last wrote it
};

struct Change {
  int slot;
  nat4 size;  // 0: the record is removed
};

class Model {
 public:
  std::array<Slot, kSlots> slots{};
  nat4 transaction = 0;

  // Advances the model by one transaction and returns what it changes.
  std::vector<Change> next() {
    nat4 t = ++transaction;
    std::mt19937 rng(t);
    std::vector<Change> changes;
    for (int n = 1 + rng() % 4; n > 0; n--) {
      int s = rng() % kSlots;
      Slot& slot = slots[s];
      nat4 size;
      switch (slot.size == 0 ? 1 : rng() % 3) {
        case 0: size = slot.size; break;  // rewritten in place
        case 1: size = pickSize(rng); break;
        default: size = 0; break;
      }
      slot = {size, size ? t : 0};
      changes.push_back({s, size});
    }
    return changes;
  }

  void replayTo(nat4 t) {
    while (transaction < t) next();
  }

 private:
  // Mostly small records; now and then one large enough to grow the file.
  static nat4 pickSize(std::mt19937& rng) {
    return rng() % 12 == 0 ? 200000 + rng() % 1000000 : 16 + rng() % 3000;
  }
};

inline byte patternByte(int slot, nat4 version, nat4 i) { return static_cast<byte>(slot * 31 + version * 17 + i); }

inline void fill(byte* rec, int slot, nat4 version) {
  nat4 size = reinterpret_cast<dbRecord*>(rec)->size;
  for (nat4 i = sizeof(dbRecord); i < size; i++) rec[i] = patternByte(slot, version, i);
}

// Runs the model's next transaction on db and commits it.
inline void runTransaction(dbDatabase& db, Model& model) {
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  std::vector<Change> changes = model.next();
  for (const Change& c : changes) {
    oid_t oid = reinterpret_cast<Directory*>(db.getRow(kDirectoryId))->slots[c.slot];
    if (c.size == 0) {
      db.freeObject(oid);
      oid = 0;
    } else if (oid == 0) {
      oid = db.allocateId();
      offs_t pos = db.allocate(c.size);
      db.getCurrentIndex()[oid] = pos;
      byte* rec = db.getBaseAddress() + pos;
      *reinterpret_cast<dbRecord*>(rec) = {c.size, 0, 0};
      fill(rec, c.slot, model.transaction);
    } else {
      byte* rec = reinterpret_cast<dbRecord*>(db.getRow(oid))->size == c.size ? db.putRow(oid) : db.putRow(oid, c.size);
      fill(rec, c.slot, model.transaction);
    }
    reinterpret_cast<Directory*>(db.putRow(kDirectoryId))->slots[c.slot] = oid;
  }
  reinterpret_cast<Directory*>(db.putRow(kDirectoryId))->transaction = model.transaction;
  db.commit();
}

// A new file holding the empty directory, committed as transaction 0.
inline bool createFile(const char* name, const char* file) {
  dbDatabase db;
  if (!db.open(name, file)) return false;
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  oid_t oid = db.allocateId();
  if (oid != kDirectoryId) return false;
  offs_t pos = db.allocate(sizeof(Directory));
  db.getCurrentIndex()[oid] = pos;
  Directory* dir = reinterpret_cast<Directory*>(db.getBaseAddress() + pos);
  memset(dir, 0, sizeof(Directory));
  dir->header.size = sizeof(Directory);
  db.commit();
  db.close();
  return true;
}

inline bool quantaUsed(dbDatabase& db, offs_t pos, nat4 size) {
  for (nat8 q = pos / dbAllocationQuantum; q < (nat8(pos) + size + dbAllocationQuantum - 1) / dbAllocationQuantum; q++) {
    oid_t page = static_cast<oid_t>(dbBitmapId + q / dbQuantaPerBitmapPage);
    if (page >= dbFirstUserId || dbIsFreeEntry(db.getCurrentIndex()[page])) return false;
    if (!((db.get(page)[(q % dbQuantaPerBitmapPage) / 8] >> (q % 8)) & 1)) return false;
  }
  return true;
}

// Compares db, inside a transaction, with the model at the directory's
// transaction: "" when every record is there with its contents and marked
// used in the bitmap, and no two records share space; else what differs.
inline std::string check(dbDatabase& db, const Model& model) {
  const Directory* dir = reinterpret_cast<const Directory*>(db.getRow(kDirectoryId));
  if (dir->header.size != sizeof(Directory)) return "directory size";
  if (dir->transaction != model.transaction) return "directory transaction";
  std::vector<std::pair<offs_t, nat4>> spans{{db.getCurrentIndex()[kDirectoryId], sizeof(Directory)}};
  for (int s = 0; s < kSlots; s++) {
    const Slot& slot = model.slots[s];
    oid_t oid = dir->slots[s];
    std::string where = "slot " + std::to_string(s) + ": ";
    if ((oid == 0) != (slot.size == 0)) return where + "presence";
    if (oid == 0) continue;
    const byte* rec = db.getRow(oid);
    if (reinterpret_cast<const dbRecord*>(rec)->size != slot.size) return where + "size";
    for (nat4 i = sizeof(dbRecord); i < slot.size; i++) {
      if (rec[i] != patternByte(s, slot.version, i)) return where + "contents at " + std::to_string(i);
    }
    spans.push_back({db.getCurrentIndex()[oid], slot.size});
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 0; i < spans.size(); i++) {
    if (!quantaUsed(db, spans[i].first, spans[i].second)) return "space of a record marked free";
    if (i > 0 && nat8(spans[i - 1].first) + spans[i - 1].second > spans[i].first) return "records overlap";
  }
  return "";
}

}  // namespace crash

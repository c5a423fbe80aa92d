// Rows: insert, update and remove, with the row lists of their tables and
// the inverse references between rows. Index upkeep is index_upkeep.cpp.
#include <cstring>
#include <memory>
#include <vector>

#include "engine/database.h"
#include "engine/table_descriptor.h"
#include "engine/table_record.h"

namespace {

oid_t& refAt(byte* rec, nat4 offs) { return *reinterpret_cast<oid_t*>(rec + offs); }
dbVarying& varyingAt(byte* rec, nat4 offs) { return *reinterpret_cast<dbVarying*>(rec + offs); }

// A scratch record: on the stack up to limit bytes, on the heap above.
template <size_t Limit>
class ScratchRecord {
 public:
  explicit ScratchRecord(size_t size) : heap(size > Limit ? new byte[size] : nullptr) {}
  byte* get() { return heap ? heap.get() : local; }

 private:
  alignas(8) byte local[Limit];
  std::unique_ptr<byte[]> heap;
};

// Gives a variable a value for the extent of a scope and restores it on the
// way out, also when a failure (a full disk, say) unwinds the scope.
template <class T>
class ScopedValue {
 public:
  ScopedValue(T& variable, T value) : variable(variable), saved(variable) { variable = value; }
  ~ScopedValue() { variable = saved; }
  ScopedValue(const ScopedValue&) = delete;
  ScopedValue& operator=(const ScopedValue&) = delete;

 private:
  T& variable;
  T saved;
};

// The identifiers of an object's array of references.
std::vector<oid_t> referencesOf(const void* object, const dbFieldDescriptor* fd) {
  auto* array = reinterpret_cast<const dbAnyArray*>(static_cast<const byte*>(object) + fd->memberOffset);
  auto* items = static_cast<const oid_t*>(array->base());
  return std::vector<oid_t>(items, items + array->length());
}

// The identifiers of a stored array of references.
std::vector<oid_t> referencesOf(byte* rec, const dbFieldDescriptor* fd) {
  const dbVarying& slot = varyingAt(rec, fd->storedOffset);
  auto* items = reinterpret_cast<const oid_t*>(rec + slot.offs);
  return std::vector<oid_t>(items, items + slot.size);
}

// Searches value from where the previous search of the same array ended,
// forward to the end and then backward, so that arrays kept in the same
// order cost one step per element.
bool containsFrom(const std::vector<oid_t>& items, oid_t value, size_t& start) {
  for (size_t i = start; i < items.size(); i++) {
    if (items[i] == value) {
      start = i;
      return true;
    }
  }
  for (size_t i = start < items.size() ? start : items.size(); i-- > 0;) {
    if (items[i] == value) {
      start = i;
      return true;
    }
  }
  return false;
}

}  // namespace

// ---- Row lists

oid_t dbDatabase::allocateRow(oid_t tableId, size_t size) {
  oid_t oid = allocateId();
  offs_t pos = allocate(size);
  currentIndex[oid] = pos;
  dbTable* table = dbTableOf(putRow(tableId));
  dbRecord* rec = reinterpret_cast<dbRecord*>(baseAddress + pos);
  rec->size = static_cast<nat4>(size);
  rec->next = 0;
  rec->prev = table->lastRow;
  if (table->lastRow != 0) {
    // In place, even when the last row is committed: a rollback or the
    // recovery after a crash sets it back to 0.
    reinterpret_cast<dbRecord*>(getRow(table->lastRow))->next = oid;
  } else {
    table->firstRow = oid;
  }
  table->lastRow = oid;
  table->nRows += 1;
  return oid;
}

void dbDatabase::freeRow(oid_t tableId, oid_t oid) {
  dbTable* table = dbTableOf(putRow(tableId));
  dbRecord rec = *reinterpret_cast<dbRecord*>(getRow(oid));
  table->nRows -= 1;
  if (rec.prev == 0) table->firstRow = rec.next;
  if (rec.next == 0) table->lastRow = rec.prev;
  if (rec.prev != 0) reinterpret_cast<dbRecord*>(putRow(rec.prev))->next = rec.next;
  if (rec.next != 0) reinterpret_cast<dbRecord*>(putRow(rec.next))->prev = rec.prev;
  offs_t pos = currentIndex[oid];
  if (isCommitted(oid)) {
    cloneBitmap(pos, rec.size);
  } else {
    deallocate(pos, rec.size);
  }
  freeId(oid);
}

// ---- Insert, update, remove

oid_t dbDatabase::insertRecord(dbTableDescriptor* table, const void* object) {
  dbCheck(opened && table->database == this);
  beginTransaction(dbExclusiveLock);
  setDirty();
  const byte* obj = static_cast<const byte*>(object);
  size_t size = table->columns->packedSize(obj, table->storedFixedSize);
  oid_t oid = allocateRow(table->tableId, size);
  table->columns->pack(getRow(oid), obj, table->storedFixedSize);
  nat4 rows = dbTableOf(getRow(table->tableId))->nRows;
  for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverse) {
    if (fd->storedType == tpArray) {
      std::vector<oid_t> targets = referencesOf(object, fd);
      for (size_t i = targets.size(); i-- > 0;) {
        if (targets[i] != 0) insertInverseReference(fd, oid, targets[i]);
      }
    } else if (oid_t target = refAt(const_cast<byte*>(obj), fd->memberOffset)) {
      insertInverseReference(fd, oid, target);
    }
  }
  insertIntoIndices(table, oid, rows);
  return oid;
}

void dbDatabase::updateRecord(oid_t oid, dbTableDescriptor* table, const void* object) {
  dbCheck(opened && table->database == this);
  beginTransaction(dbExclusiveLock);
  setDirty();
  const byte* obj = static_cast<const byte*>(object);
  size_t size = table->columns->packedSize(obj, table->storedFixedSize);
  table->columns->markChanges(getRow(oid), obj);

  {
    ScopedValue<oid_t> updating(updatedRecordId, oid);
    for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverse) {
      if (fd->storedType == tpArray) {
        std::vector<oid_t> before = referencesOf(getRow(oid), fd);
        std::vector<oid_t> after = referencesOf(object, fd);
        size_t start = 0;
        for (oid_t target : before) {
          if (target != 0 && !containsFrom(after, target, start)) removeInverseReference(fd, oid, target);
        }
        start = 0;
        for (oid_t target : after) {
          if (target != 0 && !containsFrom(before, target, start)) insertInverseReference(fd, oid, target);
        }
      } else {
        oid_t before = refAt(getRow(oid), fd->storedOffset);
        oid_t after = refAt(const_cast<byte*>(obj), fd->memberOffset);
        if (before != after) {
          if (before != 0) removeInverseReference(fd, oid, before);
          if (after != 0) insertInverseReference(fd, oid, after);
        }
      }
    }
  }

  removeFromIndices(table, oid, true);
  offs_t pos = currentIndex[oid];
  byte* rec = putRow(oid, size);
  if (currentIndex[oid] == pos) {
    // The object's texts may point into this very row: pack aside first.
    ScratchRecord<512> scratch(size);
    table->columns->pack(scratch.get(), obj, table->storedFixedSize);
    memcpy(rec + sizeof(dbRecord), scratch.get() + sizeof(dbRecord), size - sizeof(dbRecord));
  } else {
    table->columns->pack(rec, obj, table->storedFixedSize);
  }
  insertIntoChangedIndices(table, oid);
  notifyCursors(oid, false);
}

void dbDatabase::removeRecord(dbTableDescriptor* table, oid_t oid) {
  setDirty();
  removeInverseReferences(table, oid);
  removeFromIndices(table, oid, false);
  freeRow(table->tableId, oid);
  notifyCursors(oid, true);
}

// ---- Inverse references

void dbDatabase::removeInverseReferences(dbTableDescriptor* table, oid_t oid) {
  dbVisitedRecord visited{oid, visitedRecords};
  ScopedValue<dbVisitedRecord*> visiting(visitedRecords, &visited);
  for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverse) {
    if (fd->storedType == tpArray) {
      // Read the row anew at every step: the removals may move the file.
      for (nat4 i = varyingAt(getRow(oid), fd->storedOffset).size; i-- > 0;) {
        byte* rec = getRow(oid);
        oid_t target = reinterpret_cast<oid_t*>(rec + varyingAt(rec, fd->storedOffset).offs)[i];
        if (target != 0) removeInverseReference(fd, oid, target);
      }
    } else if (oid_t target = refAt(getRow(oid), fd->storedOffset)) {
      removeInverseReference(fd, oid, target);
    }
  }
}

void dbDatabase::removeInverseReference(dbFieldDescriptor* fd, oid_t referrer, oid_t target) {
  if (target == referrer || target == updatedRecordId) return;
  if (target >= currentIndexSize || dbIsFreeEntry(currentIndex[target])) return;
  for (dbVisitedRecord* v = visitedRecords; v != nullptr; v = v->next) {
    if (v->oid == target) return;
  }
  dbFieldDescriptor* inverse = fd->inverseField;
  byte* rec = putRow(target);
  bool single = inverse->storedType != tpArray || varyingAt(rec, inverse->storedOffset).size < 2;
  if ((fd->indexFlags & CASCADE) && single) {
    removeRecord(inverse->ownerTable, target);
    return;
  }
  if (inverse->storedType == tpArray) {
    dbVarying& slot = varyingAt(rec, inverse->storedOffset);
    oid_t* items = reinterpret_cast<oid_t*>(rec + slot.offs);
    for (nat4 i = slot.size; i-- > 0;) {
      if (items[i] == referrer) {
        memmove(items + i, items + i + 1, (slot.size - i - 1) * sizeof(oid_t));
        slot.size -= 1;
        break;
      }
    }
  } else if (refAt(rec, inverse->storedOffset) == referrer) {
    refAt(rec, inverse->storedOffset) = 0;
  }
  notifyCursors(target, false);
}

void dbDatabase::insertInverseReference(dbFieldDescriptor* fd, oid_t referrer, oid_t target) {
  if (target == referrer) return;
  dbFieldDescriptor* inverse = fd->inverseField;
  if (inverse->storedType != tpArray) {
    refAt(putRow(target), inverse->storedOffset) = referrer;
    notifyCursors(target, false);
    return;
  }
  dbTableDescriptor* targetTable = inverse->ownerTable;
  byte* old = getRow(target);
  nat4 n = varyingAt(old, inverse->storedOffset).size;
  nat4 b = dbAlign<nat4>(
      static_cast<nat4>(targetTable->columns->varyingSizeWithout(inverse, old, targetTable->storedFixedSize)), 4);
  nat4 size = reinterpret_cast<dbRecord*>(old)->size;
  // Room for as many elements again, so that repeated additions rarely move the row.
  nat4 newSize = b + 4 * (n + 1) <= size ? size : b + 8 * (n + 1);
  offs_t pos = currentIndex[target];
  byte* rec = putRow(target, newSize);
  bool samePlace = currentIndex[target] == pos;
  if (samePlace && varyingAt(rec, inverse->storedOffset).offs == b) {
    reinterpret_cast<oid_t*>(rec + b)[n] = referrer;
    varyingAt(rec, inverse->storedOffset).size = n + 1;
  } else {
    ScratchRecord<1024> scratch(samePlace ? reinterpret_cast<dbRecord*>(rec)->size : 0);
    byte* source = baseAddress + pos;  // the old copy stays readable: freeing only marks the bitmap
    if (samePlace) {
      memcpy(scratch.get(), rec, reinterpret_cast<dbRecord*>(rec)->size);
      source = scratch.get();
    }
    targetTable->columns->copyWithout(inverse, rec, source, targetTable->storedFixedSize);
    const dbVarying& oldSlot = varyingAt(source, inverse->storedOffset);
    memcpy(rec + b, source + oldSlot.offs, n * sizeof(oid_t));
    reinterpret_cast<oid_t*>(rec + b)[n] = referrer;
    varyingAt(rec, inverse->storedOffset) = {n + 1, b};
  }
  notifyCursors(target, false);
}

// The stored table definitions: the metatable (identifier 1) and its rows,
// one table record per table.
#include <cstring>
#include <vector>

#include "engine/database.h"
#include "engine/integrity_check.h"
#include "engine/table_descriptor.h"
#include "engine/table_record.h"

namespace {

struct dbMetaField {
  const char* path;
  nat4 type, size, offset;
};

// The metatable describes table records themselves.
constexpr dbMetaField metaFields[] = {
    {"name", 7, 8, 12},           {"fields", 9, 8, 20},           {"fields[]", 19, 44, 0},
    {"fields[].name", 7, 8, 0},   {"fields[].tableName", 7, 8, 8}, {"fields[].inverse", 7, 8, 16},
    {"fields[].type", 3, 4, 24},  {"fields[].offset", 3, 4, 28},  {"fields[].size", 3, 4, 32},
    {"fields[].hashTable", 8, 4, 36}, {"fields[].tTree", 8, 4, 40}, {"fixedSize", 3, 4, 28},
    {"nRows", 3, 4, 32},          {"nColumns", 3, 4, 36},         {"firstRow", 8, 4, 40},
    {"lastRow", 8, 4, 44},
};
constexpr nat4 metaFieldCount = sizeof(metaFields) / sizeof(metaFields[0]);
constexpr char metaTableName[] = "Metatable";

const char* referencedTableName(const dbFieldDescriptor* fd) { return fd->targetTable ? fd->targetTable->name : ""; }
const char* inverseNameOf(const dbFieldDescriptor* fd) { return fd->inverseName ? fd->inverseName : ""; }

// Size of the table record that stores the descriptor.
nat4 tableRecordSize(const dbTableDescriptor* desc) {
  size_t size = sizeof(dbTable) + sizeof(dbField) * desc->fieldCount + strlen(desc->name) + 1;
  for (const dbFieldDescriptor* fd = desc->firstField; fd != nullptr; fd = fd->nextInTable) {
    size += fd->path.size() + 3 + strlen(inverseNameOf(fd)) + strlen(referencedTableName(fd));
  }
  return static_cast<nat4>(size);
}

// Copies text into the record's text area at `text` and points the varying at it.
void storeText(byte* rec, nat4& text, dbVarying& slot, nat4 base, const char* value) {
  nat4 size = static_cast<nat4>(strlen(value)) + 1;
  memcpy(rec + text, value, size);
  slot.size = size;
  slot.offs = text - base;
  text += size;
}

// Writes the table record of the descriptor; the row list fields are left 0.
void storeTableRecord(byte* rec, const dbTableDescriptor* desc) {
  dbTable* table = dbTableOf(rec);
  nat4 text = sizeof(dbTable) + sizeof(dbField) * desc->fieldCount;
  storeText(rec, text, table->name, 0, desc->name);
  table->fields = {desc->fieldCount, sizeof(dbTable)};
  table->fixedSize = static_cast<nat4>(desc->storedFixedSize);
  table->nRows = 0;
  table->nColumns = desc->columnCount;
  table->firstRow = table->lastRow = 0;
  nat4 entryOffs = sizeof(dbTable);
  for (const dbFieldDescriptor* fd = desc->firstField; fd != nullptr; fd = fd->nextInTable) {
    dbField* entry = reinterpret_cast<dbField*>(rec + entryOffs);
    storeText(rec, text, entry->name, entryOffs, fd->path.c_str());
    storeText(rec, text, entry->tableName, entryOffs, referencedTableName(fd));
    storeText(rec, text, entry->inverse, entryOffs, inverseNameOf(fd));
    entry->type = fd->storedType;
    entry->offset = fd->storedOffset;
    entry->size = fd->storedSize;
    entry->hashTable = fd->hashIndex;
    entry->tTree = fd->treeIndex;
    entryOffs += sizeof(dbField);
  }
}

// Whether the stored table record describes the declared table exactly
// (the stored sizes are not compared).
bool sameDefinition(byte* rec, const dbTableDescriptor* desc) {
  dbTable* table = dbTableOf(rec);
  if (table->nColumns != desc->columnCount || table->fields.size != desc->fieldCount ||
      table->fixedSize != desc->storedFixedSize) {
    return false;
  }
  dbField* entry = dbFieldsOf(rec);
  for (const dbFieldDescriptor* fd = desc->firstField; fd != nullptr; fd = fd->nextInTable, entry++) {
    if (fd->path != entry->getName() || strcmp(referencedTableName(fd), entry->getTableName()) != 0 ||
        strcmp(inverseNameOf(fd), entry->getInverse()) != 0 || fd->storedOffset != entry->offset ||
        static_cast<nat4>(fd->storedType) != entry->type) {
      return false;
    }
  }
  return true;
}

// Indices found in the file stay in use even when the declaration does not
// ask for them: their fields get the flags, and the table's index lists
// follow the flags.
void adoptStoredIndexFlags(dbTableDescriptor* desc) {
  dbFieldDescriptor** hashed = &desc->hashedFields;
  dbFieldDescriptor** indexed = &desc->treeIndexedFields;
  for (dbFieldDescriptor* fd = desc->firstField; fd != nullptr; fd = fd->nextInTable) {
    if (fd->treeIndex != 0) {
      fd->indexFlags |= INDEXED;
    } else if (fd->hashIndex != 0) {
      fd->indexFlags |= HASHED;
    }
    if (fd->storedType == tpStructure) continue;
    if (fd->indexFlags & HASHED) {
      *hashed = fd;
      hashed = &fd->nextHashed;
    }
    if (fd->indexFlags & INDEXED) {
      *indexed = fd;
      indexed = &fd->nextTreeIndexed;
    }
  }
  *hashed = nullptr;
  *indexed = nullptr;
}

}  // namespace

void dbDatabase::initializeMetatable() {
  nat4 fixed = sizeof(dbTable) + sizeof(dbField) * metaFieldCount;  // 752
  nat4 size = fixed + sizeof(metaTableName);
  for (const dbMetaField& f : metaFields) size += strlen(f.path) + 3;
  offs_t pos = allocate(size);
  currentIndex[dbMetaTableId] = pos;
  byte* rec = baseAddress + pos;
  memset(rec, 0, size);
  dbTable* table = dbTableOf(rec);
  table->size = size;
  nat4 text = fixed;
  storeText(rec, text, table->name, 0, metaTableName);
  table->fields = {metaFieldCount, sizeof(dbTable)};
  table->fixedSize = sizeof(dbTable);
  table->nColumns = 5;
  for (nat4 i = 0; i < metaFieldCount; i++) {
    nat4 entryOffs = sizeof(dbTable) + sizeof(dbField) * i;
    dbField* entry = reinterpret_cast<dbField*>(rec + entryOffs);
    storeText(rec, text, entry->name, entryOffs, metaFields[i].path);
    storeText(rec, text, entry->tableName, entryOffs, "");
    storeText(rec, text, entry->inverse, entryOffs, "");
    entry->type = metaFields[i].type;
    entry->offset = metaFields[i].offset;
    entry->size = metaFields[i].size;
  }
}

// ---- Binding

void dbDatabase::linkTable(dbTableDescriptor* desc, oid_t tableId) {
  dbCheck(desc->tableId == 0);
  desc->database = this;
  desc->tableId = tableId;
  desc->nextInDatabase = tables;
  tables = desc;
}

dbTableDescriptor* dbDatabase::findTable(dbTableDescriptor* desc) {
  for (dbTableDescriptor* t = tables; t != nullptr; t = t->nextInDatabase) {
    if (t == desc || t->cloneOf == desc) return t;
  }
  return nullptr;
}

void dbDatabase::unbindTables() {
  while (dbTableDescriptor* desc = tables) {
    tables = desc->nextInDatabase;
    desc->tableId = 0;
    desc->nextInDatabase = nullptr;
    if (desc->cloneOf != nullptr) {
      delete desc;
    } else if (!desc->fixedDatabase) {
      desc->database = nullptr;
    }
  }
}

oid_t dbDatabase::addNewTable(dbTableDescriptor* desc) {
  nat4 size = tableRecordSize(desc);
  oid_t tableId = allocateRow(dbMetaTableId, size);
  linkTable(desc, tableId);
  storeTableRecord(getRow(tableId), desc);
  return tableId;
}

void dbDatabase::updateTableDescriptor(dbTableDescriptor* desc, oid_t tableId) {
  linkTable(desc, tableId);
  dbTable saved = *dbTableOf(getRow(tableId));
  nat4 n = saved.fields.size;
  for (nat4 i = 0; i < n; i++) {
    dbField entry = dbFieldsOf(getRow(tableId))[i];
    dropIndices(entry.hashTable, entry.tTree);
  }
  byte* rec = putRow(tableId, tableRecordSize(desc));
  storeTableRecord(rec, desc);
  dbTable* table = dbTableOf(rec);
  table->nRows = saved.nRows;
  table->firstRow = saved.firstRow;
  table->lastRow = saved.lastRow;
}

bool dbDatabase::convertRecords(oid_t tableId, dbTableDescriptor* desc) {
  byte* rec = putRow(tableId);
  dbTable* table = dbTableOf(rec);
  dbField* entries = dbFieldsOf(rec);
  nat4 n = table->fields.size;
  std::vector<bool> matched(n, false);
  bool conversion = n != desc->fieldCount;
  for (dbFieldDescriptor* fd = desc->firstField; fd != nullptr; fd = fd->nextInTable) {
    fd->formerType = tpAbsent;
    for (nat4 i = 0; i < n; i++) {
      dbField& entry = entries[i];
      if (matched[i] || fd->path != entry.getName()) continue;
      dbCheck(fd->canConvertFrom(entry.type, entry.getTableName()));
      matched[i] = true;
      fd->formerType = entry.type;
      fd->formerOffset = entry.offset;
      fd->formerSize = entry.size;
      if (entry.type == static_cast<nat4>(fd->storedType)) {
        fd->hashIndex = entry.hashTable;
        fd->treeIndex = entry.tTree;
        entry.hashTable = entry.tTree = 0;
      }
      break;
    }
    if (fd->formerType != static_cast<int>(fd->storedType) || fd->formerOffset != fd->storedOffset) conversion = true;
  }
  if (!allowColumnRemoval) {
    for (bool m : matched) dbCheck(m);
  }
  oid_t row = table->firstRow;
  nat4 rows = table->nRows;
  updateTableDescriptor(desc, tableId);
  if (!conversion) return true;
  for (nat4 left = rows; row != 0; left--) {
    const byte* old = getRow(row);
    size_t size = left == 0 ? 0 : desc->columns->convertedSize(old, reinterpret_cast<const dbRecord*>(old)->size,
                                                                desc->storedFixedSize);
    if (size == 0) return false;  // more rows than counted, or one that does not fit its layout
    offs_t pos = currentIndex[row];
    byte* newRec = putRow(row, size);
    if (currentIndex[row] == pos) {
      std::vector<byte> scratch(size);
      memcpy(scratch.data(), newRec, sizeof(dbRecord));
      desc->columns->convert(scratch.data(), newRec, desc->storedFixedSize);
      memcpy(newRec + sizeof(dbRecord), scratch.data() + sizeof(dbRecord), size - sizeof(dbRecord));
    } else {
      // The old copy stays readable: freeing only marks the bitmap.
      desc->columns->convert(newRec, baseAddress + pos, desc->storedFixedSize);
    }
    row = reinterpret_cast<dbRecord*>(getRow(row))->next;
  }
  return true;
}

// Whether the metatable and the table records of its row list lie in the
// file and parse, and the list runs from firstRow through nRows records to
// lastRow: what the matching below reads of a file that may be damaged.
static bool storedSchemaSound(const dbDatabase& db) {
  const oid_t* index = db.getCurrentIndex();
  size_t fileSize = db.getHeader()->fileSize;
  auto table = [&](oid_t oid) -> const byte* {
    if (oid >= db.getCurrentIndexSize() || dbIsFreeEntry(index[oid]) || (index[oid] & dbFlagsMask) != dbRecordMarker) {
      return nullptr;
    }
    nat8 offs = index[oid];
    if (offs == 0 || offs + sizeof(dbTable) > fileSize) return nullptr;
    const byte* rec = db.getBaseAddress() + offs;
    nat4 size = reinterpret_cast<const dbRecord*>(rec)->size;
    return offs + size <= fileSize && dbTableRecordFault(rec, size) == nullptr ? rec : nullptr;
  };
  const byte* meta = table(dbMetaTableId);
  if (meta == nullptr) return false;
  const dbTable* m = reinterpret_cast<const dbTable*>(meta);
  if (m->nRows >= db.getCurrentIndexSize()) return false;  // each row is an object of its own
  oid_t oid = m->firstRow, last = 0;
  for (nat4 i = 0; i < m->nRows; i++) {
    const byte* rec = table(oid);
    if (rec == nullptr) return false;
    last = oid;
    oid = reinterpret_cast<const dbRecord*>(rec)->next;
  }
  return last == m->lastRow && (m->nRows == 0) == (m->firstRow == 0);
}

bool dbDatabase::loadSchema(bool create) {
  bool writable = accessMode == accessReadWrite || accessMode == accessConcurrentUpdate;
  if (!beginTransaction(writable ? dbExclusiveLock : dbSharedLock)) return false;
  auto fail = [this](const char* msg) {
    handleError(DatabaseOpenError, msg);
    rollback();
    return false;
  };
  if (!storedSchemaSound(*this)) return fail("Database file was corrupted: invalid table record");
  dbTable meta = *dbTableOf(getRow(dbMetaTableId));
  oid_t scan = meta.firstRow;
  for (dbTableDescriptor* decl = dbTableDescriptor::chain; decl != nullptr; decl = decl->nextTable) {
    if (decl->database != nullptr && decl->database != this && decl->database != dbTableDescriptor::everyDatabase()) {
      continue;  // bound to another database
    }
    dbTableDescriptor* desc = decl->database == dbTableDescriptor::everyDatabase() ? decl->clone() : decl;
    for (dbFieldDescriptor* fd = desc->firstField; fd != nullptr; fd = fd->nextInTable) {
      fd->hashIndex = fd->treeIndex = 0;
      fd->layoutFlags &= ~dbFieldDescriptor::ChangedByUpdate;
    }
    oid_t found = 0;
    for (nat4 i = 0; i < meta.nRows && scan != 0; i++) {
      byte* rec = getRow(scan);
      if (strcmp(dbTableName(rec), desc->name) == 0) {
        found = scan;
        break;
      }
      scan = scan == meta.lastRow ? meta.firstRow : reinterpret_cast<dbRecord*>(rec)->next;
    }
    if (found != 0) {
      byte* rec = getRow(found);
      if (sameDefinition(rec, desc)) {
        dbField* entry = dbFieldsOf(rec);
        for (dbFieldDescriptor* fd = desc->firstField; fd != nullptr; fd = fd->nextInTable, entry++) {
          fd->hashIndex = entry->hashTable;
          fd->treeIndex = entry->tTree;
        }
        linkTable(desc, found);
      } else {
        if (!create) {
          if (desc != decl) delete desc;
          return fail("Incompatible class definition in application");
        }
        beginTransaction(dbUpdateLockInOperation);
        setDirty();
        if (dbTableOf(rec)->nRows != 0) {
          if (!convertRecords(found, desc)) return fail("Database file was corrupted: invalid record");
        } else {
          updateTableDescriptor(desc, found);
        }
      }
      adoptStoredIndexFlags(desc);
    } else {
      if (!writable) {
        if (desc != decl) delete desc;
        return fail("New table definition can not be added to read only database");
      }
      addNewTable(desc);
    }
    if (writable && !updateIndices(desc, create)) return fail("Failed to alter indices with active applications");
  }
  for (dbTableDescriptor* t = tables; t != nullptr; t = t->nextInDatabase) {
    if (t->cloneOf == nullptr) continue;
    for (dbFieldDescriptor* fd = t->firstField; fd != nullptr; fd = fd->nextInTable) {
      if (fd->targetTable != nullptr) {
        if (dbTableDescriptor* own = findTable(fd->targetTable)) fd->targetTable = own;
      }
    }
  }
  for (dbTableDescriptor* t = tables; t != nullptr; t = t->nextInDatabase) t->resolveInverseReferences(this);
  commit();
  return true;
}

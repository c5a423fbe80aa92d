// Bitmap space allocation and file growth.
//
// The bitmap pages are objects of the index like any other, so every change
// to them goes through put(): a page shared with the committed state is
// copied first, and that copy is itself an allocation made while the outer
// one is still in progress. Space chosen but not yet marked is therefore kept
// on reservedChain, which every search consults.
#include "engine/allocator.h"

#include <algorithm>
#include <cstring>

#include "engine/database.h"
#include "engine/fault_injection.h"

namespace {

constexpr nat8 dbAddressSpace = nat8(1) << 32;
// Largest file the doubling of extend() goes to: fileSize is a 32-bit word.
constexpr nat8 dbMaxDoubledFileSize = dbAddressSpace - dbPageSize;

// Sets (used) or clears count bits of map from bit first on.
void markBits(byte* map, nat8 first, nat8 count, bool used) {
  if (count == 0) return;
  byte* p = map + first / 8;
  nat4 bit = first % 8;
  if (bit + count <= 8) {
    byte mask = static_cast<byte>(((1u << count) - 1) << bit);
    *p = used ? *p | mask : *p & ~mask;
    return;
  }
  if (bit != 0) {
    byte mask = static_cast<byte>(0xFF << bit);
    *p = used ? *p | mask : *p & ~mask;
    p++;
    count -= 8 - bit;
  }
  memset(p, used ? 0xFF : 0, count / 8);
  p += count / 8;
  if (count % 8) {
    byte mask = static_cast<byte>((1u << (count % 8)) - 1);
    *p = used ? *p | mask : *p & ~mask;
  }
}

// File offset where the space described by bitmap page `page` begins.
nat8 areaStart(oid_t page) { return nat8(page - dbBitmapId) * dbBytesPerBitmapPage; }

// Makes the file reach `end`, for an allocation of size bytes. Space that
// would end at 4 GB cannot be had: the file size is a 32-bit word.
void extendTo(dbDatabase& db, nat8 end, size_t size) {
  if (end >= dbAddressSpace) db.handleError(OutOfMemory, nullptr, static_cast<int>(size));
  db.extend(static_cast<offs_t>(end));
}

// Keeps space on the reservation chain while it lives, so that the nested
// allocations of the copy-on-write of bitmap pages do not choose it.
template <class Location>
class dbReservation {
 public:
  dbReservation(Location*& chain, offs_t pos, size_t size) : chain(chain), self{pos, size, chain} { chain = &self; }
  ~dbReservation() { chain = self.next; }
  dbReservation(const dbReservation&) = delete;
  dbReservation& operator=(const dbReservation&) = delete;

 private:
  Location*& chain;
  Location self;
};

}  // namespace

bool dbDatabase::isReserved(offs_t pos, size_t size) const {
  for (const dbLocation* loc = reservedChain; loc; loc = loc->next) {
    if (offs_t(pos - loc->pos) < loc->size || offs_t(loc->pos - pos) < size) return true;
  }
  return false;
}

void dbDatabase::moveObject(oid_t oid, offs_t pos, size_t size) {
  nat4 entry = currentIndex[oid];
  memcpy(baseAddress + pos, baseAddress + (entry & ~dbFlagsMask), size);
  currentIndex[oid] = pos | (entry & dbFlagsMask);
  monitor->setDirty(oid);
}

void dbDatabase::markQuanta(nat8 first, nat8 count, bool used) {
  while (count != 0) {
    oid_t page = static_cast<oid_t>(dbBitmapId + first / dbQuantaPerBitmapPage);
    dbCheck(page < dbFirstUserId && !dbIsFreeEntry(currentIndex[page]));
    nat4 bit = first % dbQuantaPerBitmapPage;
    nat8 n = std::min<nat8>(count, dbQuantaPerBitmapPage - bit);
    markBits(put(page), bit, n, used);
    if (!used) {
      bitmapPageAvailableSpace[page] = dbUnknownFreeSpace;
    } else if (n == dbQuantaPerBitmapPage) {
      bitmapPageAvailableSpace[page] = 0;
    }
    first += n;
    count -= n;
  }
}

bool dbDatabase::findFreeSpace(dbSpaceSearch& s, oid_t lastPage) {
  const auto& t = dbBitmapBytes;
  for (; s.page <= lastPage && s.page < dbFirstUserId && !dbIsFreeEntry(currentIndex[s.page]);
       s.page++, s.offs = 0) {
    nat8 need = std::min<nat8>(s.quanta - s.carried, dbQuantaPerBitmapPage);
    int4& hint = bitmapPageAvailableSpace[s.page];
    if (nat8(hint) <= need) {
      s.carried = 0;
      continue;
    }
    const byte* map = get(s.page);
    nat8 pageQuantum = nat8(s.page - dbBitmapId) * dbQuantaPerBitmapPage;
    bool wholePage = s.offs == 0;
    nat4 j = s.offs;
    while (j < dbBitmapBytesPerPage) {
      byte v = map[j];
      nat8 start;
      if (s.pageRequest) {
        if (v != 0) {
          s.carried = 0;
          j = dbAlign(j + 1, 32u);
          continue;
        }
        s.carried += 8;
        if (s.carried != s.quanta) {
          j++;
          continue;
        }
        start = pageQuantum + (j + 1) * 8 - s.quanta;
      } else if (s.carried + t.freeLowBits[v] >= s.quanta) {
        start = pageQuantum + j * 8 - s.carried;
      } else if (t.longestFreeRun[v] >= s.quanta) {
        start = pageQuantum + j * 8 + t.longestFreeRunStart[v];
      } else {
        s.carried = v == 0 ? s.carried + 8 : t.freeHighBits[v];
        j++;
        continue;
      }
      offs_t pos = static_cast<offs_t>(start * dbAllocationQuantum);
      if (isReserved(pos, s.quanta * dbAllocationQuantum)) {
        // The run skipped may be longer than the reservation: the page's
        // hint must not be lowered on the strength of this scan.
        wholePage = false;
        s.carried = 0;
        nat8 next = j + (s.quanta + 7) / 8;
        if (s.pageRequest) next = dbAlign<nat8>(next, 32);
        j = static_cast<nat4>(std::min<nat8>(next, dbBitmapBytesPerPage));
        continue;
      }
      s.found = pos;
      s.offs = j;
      return true;
    }
    // A scan of the whole page proves that no free run of `quanta` lies
    // inside it; a page request also needs its run to start on a page
    // boundary, which any run of quanta + 255 would offer. A free run that
    // reaches the end of the page may still serve a request carried into the
    // next page, so such a page keeps its hint.
    if (wholePage && (map[dbBitmapBytesPerPage - 1] & 0x80)) {
      nat8 absent = std::min<nat8>(s.pageRequest ? s.quanta + dbQuantaPerPage - 1 : s.quanta,
                                   dbQuantaPerBitmapPage);
      if (nat8(hint) > absent) hint = static_cast<int4>(absent);
    }
  }
  return false;
}

offs_t dbDatabase::placeObject(const dbSpaceSearch& s, oid_t oid) {
  size_t size = s.quanta * dbAllocationQuantum;
  dbReservation<dbLocation> reservation(reservedChain, s.found, size);
  if (s.pageRequest) {
    currPBitmapPage = s.page;
    currPBitmapOffs = s.offs;
  } else {
    currRBitmapPage = s.page;
    currRBitmapOffs = s.offs;
  }
  extendTo(*this, nat8(s.found) + size, size);
  if (oid) moveObject(oid, s.found, size);
  markQuanta(s.found / dbAllocationQuantum, s.quanta, true);
  return s.found;
}

offs_t dbDatabase::growUsedArea(const dbSpaceSearch& s, oid_t oid) {
  size_t size = s.quanta * dbAllocationQuantum;
  oid_t first = s.page;
  if (first >= dbFirstUserId) handleError(OutOfMemory, nullptr, static_cast<int>(size));
  nat8 pagesLeft = dbFirstUserId - first;
  nat8 grow = std::max<nat8>(extensionQuantum, size);
  nat8 m = (grow + dbBytesServedPerNewBitmapPage - 1) / dbBytesServedPerNewBitmapPage;
  if (m > pagesLeft) {
    m = (size + dbBytesServedPerNewBitmapPage - 1) / dbBytesServedPerNewBitmapPage;
    if (m > pagesLeft) handleError(OutOfMemory, nullptr, static_cast<int>(size));
  }

  // The object's remaining quanta open the new area; the new bitmap pages
  // follow them on the next page boundary.
  nat8 rest = s.quanta - s.carried;
  nat8 restRounded = dbAlign<nat8>(rest, dbQuantaPerPage);
  nat8 newPages = areaStart(first) + restRounded * dbAllocationQuantum;
  extendTo(*this, newPages + m * dbPageSize, size);

  // The new pages are private to this transaction and written directly; the
  // file may hold old bytes there from a growth that was rolled back. Each
  // of them marks its own 4096 bytes (256 quanta) as used.
  byte* map = baseAddress + newPages;
  memset(map, 0, m * dbPageSize);
  markBits(map, 0, rest, true);
  markBits(map, restRounded, m * dbQuantaPerPage, true);
  for (nat4 k = 0; k < m; k++) {
    oid_t page = first + k;
    currentIndex[page] = static_cast<offs_t>(newPages + k * dbPageSize) + dbPageObjectMarker;
    monitor->setDirty(page);
    bitmapPageAvailableSpace[page] = dbUnknownFreeSpace;
  }
  // Pages the object fills whole hold nothing free; the next search starts
  // on the page where it ends.
  oid_t cursorPage = static_cast<oid_t>(first + rest / dbQuantaPerBitmapPage);
  for (oid_t page = first; page < cursorPage; page++) bitmapPageAvailableSpace[page] = 0;
  if (s.pageRequest) {
    currPBitmapPage = cursorPage;
    currPBitmapOffs = 0;
  } else {
    currRBitmapPage = cursorPage;
    currRBitmapOffs = 0;
  }

  offs_t pos = static_cast<offs_t>(areaStart(first) - s.carried * dbAllocationQuantum);
  if (oid) moveObject(oid, pos, size);
  if (s.carried != 0) {
    dbReservation<dbLocation> reservation(reservedChain, pos, size);
    markQuanta(pos / dbAllocationQuantum, s.carried, true);
  }
  return pos;
}

offs_t dbDatabase::allocate(size_t size, oid_t oid) {
  dbCheck(size != 0);
  setDirty();
  size = dbAlign<size_t>(size, dbAllocationQuantum);
  dbSpaceSearch s{};
  s.quanta = size / dbAllocationQuantum;
  s.pageRequest = size % dbPageSize == 0;
  if (s.pageRequest) {
    s.page = currPBitmapPage;
    s.offs = dbAlign(currPBitmapOffs, 32u);
  } else {
    s.page = currRBitmapPage;
    s.offs = currRBitmapOffs;
  }
  oid_t firstPassStart = s.page;
  if (findFreeSpace(s, dbFirstUserId - 1)) return placeObject(s, oid);
  if (firstPassStart != dbBitmapId) {
    dbSpaceSearch wrapped = s;
    wrapped.page = dbBitmapId;
    wrapped.offs = 0;
    wrapped.carried = 0;
    if (findFreeSpace(wrapped, firstPassStart)) return placeObject(wrapped, oid);
    // The second pass ends at the first pass's start page; only when it
    // stopped at a missing page before that is its run the one to grow from.
    if (wrapped.page <= firstPassStart) s = wrapped;
  }
  return growUsedArea(s, oid);
}

void dbDatabase::deallocate(offs_t pos, size_t size) {
  dbCheck(pos != 0 && pos % dbAllocationQuantum == 0);
  size = dbAlign<size_t>(size, dbAllocationQuantum);
  nat8 quantum = pos / dbAllocationQuantum;
  markQuanta(quantum, size / dbAllocationQuantum, false);

  // Bring the cursor of this kind back so that the space freed is found first.
  oid_t page = pos / dbBytesPerBitmapPage + dbBitmapId;
  nat4 offs = (quantum % dbQuantaPerBitmapPage) / 8;
  bool recordKind = pos % dbPageSize != 0 || size < dbPageSize;
  oid_t& cursorPage = recordKind ? currRBitmapPage : currPBitmapPage;
  nat4& cursorOffs = recordKind ? currRBitmapOffs : currPBitmapOffs;
  if (cursorPage > page || (cursorPage == page && cursorOffs > offs)) {
    cursorPage = page;
    cursorOffs = offs;
  }
}

void dbDatabase::cloneBitmap(offs_t pos, size_t size) {
  nat8 lastQuantum = (nat8(pos) + std::max<size_t>(size, 1) - 1) / dbAllocationQuantum;
  oid_t last = static_cast<oid_t>(lastQuantum / dbQuantaPerBitmapPage + dbBitmapId);
  for (oid_t page = pos / dbBytesPerBitmapPage + dbBitmapId; page <= last; page++) put(page);
}

void dbDatabase::extend(offs_t size) {
  if (header->fileSize >= size) return;
  dbDatabaseThreadContext* ctx = getThreadContext();
  // A concurrent-update writer holds only the writers' section: readers of the
  // committed state must be kept out while the mapping changes.
  if (ctx && ctx->mutatorLocked && !ctx->writeAccess) beginTransaction(dbUpdateLockInOperation);

  nat8 newSize = std::max<nat8>(size, std::min<nat8>(nat8(header->fileSize) * 2, dbMaxDoubledFileSize));
  enterGlobal();
  mappingVersion = ++monitor->mappingVersion;
  leaveGlobal();
  byte* oldBase = baseAddress;
  size_t oldSize = file.getSize();
  if (int rc = file.setSize(newSize, mappingName(mappingVersion).c_str())) {
    handleError(FileError, "Failed to extend file", rc);
  }
  dbFaultPoint("extend.afterRemap");
  if (file.getBase() != oldBase) {
    setBaseAddress(file.getBase());
    relocateCursors(oldBase, oldSize, baseAddress - oldBase);
  }
  // Stored only once the file has grown, so that a failed growth leaves the
  // header telling the true size.
  header->fileSize = static_cast<nat4>(newSize);
}

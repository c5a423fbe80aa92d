// Interim first-fit allocator over the bitmap pages that exist, without
// growth, so that the database handle can be exercised before the bitmap
// allocator lands; the bitmap allocator replaces this file whole.
#include <cstring>

#include "engine/database.h"

offs_t dbDatabase::allocate(size_t size, oid_t oid) {
  setDirty();
  size = dbAlign<size_t>(size, 16);
  nat4 n = size / 16;
  bool page = size % 4096 == 0;
  for (oid_t pg = dbBitmapId; pg < dbFirstUserId && !dbIsFreeEntry(currentIndex[pg]); pg++) {
    byte* bm = get(pg);
    nat4 run = 0;
    for (nat4 q = 0; q < 32768; q++) {
      if (page && run == 0 && q % 256 != 0) continue;
      if (bm[q / 8] & (1 << (q % 8))) {
        run = 0;
        continue;
      }
      if (++run != n) continue;
      nat4 start = q + 1 - n;
      offs_t pos = ((pg - dbBitmapId) * 32768 + start) * 16;
      dbCheck(pos + size <= header->fileSize);
      auto move = [&] {
        if (oid == 0) return;
        nat4 e = currentIndex[oid];
        memcpy(baseAddress + pos, baseAddress + (e & ~7), size);
        currentIndex[oid] = pos + (e & 7);
      };
      byte* w;
      if (oid == pg) {  // the page moves itself: after the copy it is private
        move();
        w = put(pg);
      } else {
        w = put(pg);  // copying the page may have taken this very space
        for (nat4 k = start; k <= q; k++) {
          if (w[k / 8] & (1 << (k % 8))) return allocate(size, oid);
        }
        move();
      }
      for (nat4 k = start; k <= q; k++) w[k / 8] |= 1 << (k % 8);
      return pos;
    }
  }
  handleError(OutOfMemory, nullptr, size);
  return 0;
}

void dbDatabase::deallocate(offs_t pos, size_t size) {
  size = dbAlign<size_t>(size, 16);
  nat4 q0 = pos / 16;
  byte* w = put(dbBitmapId + q0 / 32768);
  for (nat4 k = q0 % 32768; k < q0 % 32768 + size / 16; k++) w[k / 8] &= ~(1 << (k % 8));
}

void dbDatabase::cloneBitmap(offs_t pos, size_t) { put(dbBitmapId + pos / 524288); }

void dbDatabase::extend(offs_t) {}

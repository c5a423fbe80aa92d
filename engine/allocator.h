// Constants and byte tables of the space allocator (allocator.cpp).
//
// Space is handed out in 16-byte quanta; bit b (least significant first) of
// byte n of the k-th bitmap page stands for quantum k * 32768 + n * 8 + b, a
// set bit meaning "used". A record request tests a whole bitmap byte at a
// time through the four tables below, indexed by the byte's value.
#pragma once

#include "engine/file_header.h"
#include "engine/types.h"

// A free-space hint of a bitmap page: the page holds no free run of that many
// quanta or more. This value means nothing is known about the page.
constexpr int4 dbUnknownFreeSpace = 2147483647;

// A bitmap page describes its own 4096 bytes besides the space it serves, so
// a grown area needs one new bitmap page per this many bytes.
constexpr nat4 dbBytesServedPerNewBitmapPage = dbBytesPerBitmapPage - dbPageSize;  // 520192

// Quanta of one 4096-byte page; page requests start on such a boundary.
constexpr nat4 dbQuantaPerPage = dbPageSize / dbAllocationQuantum;  // 256

struct dbBitmapByteTables {
  nat1 freeLowBits[256];       // free bits below the lowest used one (8 for 0)
  nat1 freeHighBits[256];      // free bits above the highest used one (8 for 0)
  nat1 longestFreeRun[256];    // longest run of free bits
  nat1 longestFreeRunStart[256];  // bit where that run starts, the lowest of equal runs

  static constexpr dbBitmapByteTables make() {
    dbBitmapByteTables t{};
    for (int v = 0; v < 256; v++) {
      int low = 0;
      while (low < 8 && !(v & (1 << low))) low++;
      int high = 0;
      while (high < 8 && !(v & (0x80 >> high))) high++;
      int best = 0, bestStart = 0, run = 0;
      for (int b = 0; b < 8; b++) {
        run = (v & (1 << b)) ? 0 : run + 1;
        if (run > best) {
          best = run;
          bestStart = b - run + 1;
        }
      }
      t.freeLowBits[v] = static_cast<nat1>(low);
      t.freeHighBits[v] = static_cast<nat1>(high);
      t.longestFreeRun[v] = static_cast<nat1>(best);
      t.longestFreeRunStart[v] = static_cast<nat1>(bestStart);
    }
    return t;
  }
};

inline constexpr dbBitmapByteTables dbBitmapBytes = dbBitmapByteTables::make();

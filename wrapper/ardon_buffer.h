// A grow-only pool of texts: copies stay valid until the pool is destroyed,
// so the text fields of a record image can point at them while the record is
// stored. A text never straddles two blocks.
#pragma once

#include "engine/types.h"

class ardonBuffer {
 public:
  ardonBuffer();
  ~ardonBuffer();
  ardonBuffer(const ardonBuffer&) = delete;
  ardonBuffer& operator=(const ardonBuffer&) = delete;

  // A copy of text with its terminator; null or empty give one shared empty
  // string that is in no block.
  char* addText(const char* text);
  // n + 1 bytes of unset contents.
  char* reserve(nat4 n);

  struct MemBlock {
    char* data;
    nat4 size;
    MemBlock* next;
  };
  nat4 getUsed() const { return used; }
  const MemBlock* getFirst() const { return first; }
  const MemBlock* getCurrent() const { return current; }

 private:
  // Room for n bytes plus a terminator at offset `used` of the current block.
  char* place(nat4 n);

  nat4 used;
  MemBlock* first;
  MemBlock* current;
};

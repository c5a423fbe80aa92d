#include "wrapper/ardon_buffer.h"

#include <cstring>

namespace {

ardonBuffer::MemBlock* newBlock(nat4 size) { return new ardonBuffer::MemBlock{new char[size], size, nullptr}; }

char emptyText[1] = "";

}  // namespace

ardonBuffer::ardonBuffer() : used(0), first(newBlock(512)), current(first) {}

ardonBuffer::~ardonBuffer() {
  for (MemBlock* b = first; b != nullptr;) {
    MemBlock* next = b->next;
    delete[] b->data;
    delete b;
    b = next;
  }
}

char* ardonBuffer::place(nat4 n) {
  while (n + used + 1 >= current->size) {
    if (current->next != nullptr) {
      current = current->next;
      used = 0;
    } else {
      // Sized so that the text fits at the offset `used` has reached.
      current->next = newBlock(n + used + 2);
      current = current->next;
    }
  }
  char* p = current->data + used;
  used += n + 1;
  return p;
}

char* ardonBuffer::addText(const char* text) {
  if (text == nullptr || *text == '\0') return emptyText;
  nat4 len = static_cast<nat4>(strlen(text));
  char* p = place(len);
  memcpy(p, text, len + 1);
  return p;
}

char* ardonBuffer::reserve(nat4 n) { return place(n); }

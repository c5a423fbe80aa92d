// Intrusive doubly linked ring: a detached node points to itself, and a list
// head is a node that is never an element.
#pragma once

class dbL2List {
 public:
  dbL2List() : next(this), prev(this) {}
  ~dbL2List() { unlink(); }
  dbL2List(const dbL2List&) = delete;
  dbL2List& operator=(const dbL2List&) = delete;

  // Puts elem right after this node.
  void link(dbL2List* elem) {
    elem->prev = this;
    elem->next = next;
    next->prev = elem;
    next = elem;
  }
  void unlink() {
    next->prev = prev;
    prev->next = next;
    next = prev = this;
  }
  bool isEmpty() const { return next == this; }

  dbL2List* next;
  dbL2List* prev;
};

// Test helper: commits <n> rows of table "Evo" (first version), then inserts
// rows in one transaction that never commits, reporting progress, until killed.
//   insert_forever <name> <file> <n>
#include <cstdio>
#include <cstdlib>

#include "engine/database.h"
#include "tests/engine/helpers/evo_tables.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  dbTableDescriptor* table = newEvoV1();
  dbDatabase db;
  if (!db.open(argv[1], argv[2])) return 1;
  int n = atoi(argv[3]);
  for (int i = 0; i < n; i++) {
    EvoV1 row{"committed", i, 0};
    db.insertRecord(table, &row);
  }
  db.commit();
  printf("committed %d\n", n);
  fflush(stdout);
  for (int i = 0;; i++) {
    EvoV1 row{"never committed, and long enough to use some space", i, 0};
    db.insertRecord(table, &row);
    if (i % 1000 == 999) {
      printf("inserted %d\n", i + 1);
      fflush(stdout);
    }
  }
}

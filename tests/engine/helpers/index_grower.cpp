// Test helper: creates a database whose object index starts as small as it
// can and adds, in each transaction t, `records` records holding t, so that
// the index outgrows its arrays every few commits.
//   index_grower <name> <file> <transactions> <records>
// Prints "committed <t>" after each commit returns and "done" before it
// closes the database at the end.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/raw_record.h"

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  dbDatabase db(dbDatabase::accessReadWrite, dbDatabase::dbDefaultInitFileSize,
                dbDatabase::dbDefaultExtensionQuantum, dbFirstUserId);
  if (!db.open(argv[1], argv[2])) return 1;
  int records = atoi(argv[4]);
  for (nat4 t = 1, n = atoi(argv[3]); t <= n; t++) {
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    for (int i = 0; i < records; i++) {
      oid_t oid = newRawRecord(db, sizeof(dbRecord) + sizeof t);
      memcpy(db.getRow(oid) + sizeof(dbRecord), &t, sizeof t);
    }
    db.commit();
    printf("committed %u\n", t);
    fflush(stdout);
  }
  printf("done\n");
  fflush(stdout);
  db.close();
  return 0;
}

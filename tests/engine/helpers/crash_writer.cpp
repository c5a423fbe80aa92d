// Test helper: runs the crash-safety workload on an existing database until
// it is killed, a fault point ends it, or `transactions` have committed.
//   crash_writer <name> <file> <transactions>
// Prints "start <t>" with the last committed transaction found at open,
// "committed <t>" after each commit returns and "done" before it closes the
// database at the end.
#include <cstdio>
#include <cstdlib>

#include "tests/engine/helpers/crash_workload.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  dbDatabase db;
  if (!db.open(argv[1], argv[2])) return 1;
  db.beginTransaction(dbDatabase::dbSharedLock);
  crash::Model model;
  model.replayTo(reinterpret_cast<crash::Directory*>(db.getRow(crash::kDirectoryId))->transaction);
  db.commit();
  printf("start %u\n", model.transaction);
  fflush(stdout);
  for (int n = atoi(argv[3]); n > 0; n--) {
    crash::runTransaction(db, model);
    printf("committed %u\n", model.transaction);
    fflush(stdout);
  }
  printf("done\n");
  fflush(stdout);
  db.close();
  return 0;
}

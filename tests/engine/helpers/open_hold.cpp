// Test helper: opens a database, reports the user count, and closes it when
// told to ("close" on standard input), reporting the count again.
//   open_hold <name> <file>
#include <cstdio>
#include <cstring>

#include "engine/database.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  dbDatabase db;
  if (!db.open(argv[1], argv[2])) {
    printf("failed\n");
    return 1;
  }
  printf("open %d\n", db.getUserCount());
  fflush(stdout);
  char line[64];
  while (fgets(line, sizeof line, stdin)) {
    if (strncmp(line, "close", 5) == 0) {
      db.close();
      printf("closed\n");
      fflush(stdout);
      return 0;
    }
  }
  return 0;
}

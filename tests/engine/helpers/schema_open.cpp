// Test helper: declares the table "Evo" in one of its versions, opens the
// database and reports the outcome, then waits for "close".
//   schema_open <name> <file> <version 1|2>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/database.h"
#include "tests/engine/helpers/evo_tables.h"

class Reporting : public dbDatabase {
 public:
  std::string last;
  void handleError(dbErrorClass error, const char* msg, int arg) override {
    if (msg) last = msg;
    dbDatabase::handleError(error, msg, arg);
  }
};

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  dbTableDescriptor* table = atoi(argv[3]) == 1 ? newEvoV1() : newEvoV2();
  Reporting db;
  db.allowColumnRemoval = true;
  bool ok = db.open(argv[1], argv[2]);
  printf("%s\n", ok ? "open" : ("failed: " + db.last).c_str());
  fflush(stdout);
  char line[64];
  while (ok && fgets(line, sizeof line, stdin)) {
    if (strncmp(line, "close", 5) == 0) break;
  }
  if (ok) db.close();
  delete table;
  return 0;
}

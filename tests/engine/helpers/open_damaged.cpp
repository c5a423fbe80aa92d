// Test helper: checks a possibly damaged database file, then opens it with
// the sample table declared.
//   open_damaged <name> <file>
// Prints "checked <issues>", then "opened", "refused <message>" or
// "exception <class> <message>". A crash or a hang (ended by the alarm) shows
// in the exit status.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "engine/integrity_check.h"
#include "tests/engine/helpers/sample_database.h"

namespace {

// Keeps the last message that the engine reported.
class RecordingDatabase : public dbDatabase {
 public:
  std::string lastMessage;
  void handleError(dbErrorClass error, const char* msg, int arg) override {
    lastMessage = msg != nullptr ? msg : "";
    dbDatabase::handleError(error, msg, arg);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  alarm(60);
  printf("checked %llu\n", static_cast<unsigned long long>(dbCheckFile(argv[2]).issueCount));
  fflush(stdout);
  dbTableDescriptor* table = sample::declareItem();
  {
    RecordingDatabase db;
    try {
      if (db.open(argv[1], argv[2])) {
        db.beginTransaction(dbDatabase::dbSharedLock);
        db.commit();
        db.close();
        printf("opened\n");
      } else {
        printf("refused %s\n", db.lastMessage.c_str());
      }
    } catch (const dbException& e) {
      printf("exception %d %s\n", e.getErrCode(), e.getMsg() != nullptr ? e.getMsg() : "");
    }
  }
  delete table;
  return 0;
}

// Test helper: one database client driven line by line from standard input,
// answering each command with one line.
//   open <name> <file> <accessMode> <waitLockTimeoutMs or -> <commitDelay>
//                       -> "open" | "failed"
//   begin <lockType>    -> "granted" | "error <code>"
//   create              -> "created <oid>"   (a new test object)
//   write <n> | read    -> "written" | "value <n>"
//   commit | rollback   -> "done" | "error <code>"
//   transaction         -> "transaction <n>" (the monitor's transactionId)
//   hold-global         -> "holding": enters the global critical section and stays there
//   close               -> "closed"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "tests/engine/lock_support.h"

namespace {

void reply(const std::string& text) {
  printf("%s\n", text.c_str());
  fflush(stdout);
}

}  // namespace

int main() {
  std::unique_ptr<LockDatabase> db;
  char buf[512];
  while (fgets(buf, sizeof buf, stdin)) {
    std::istringstream line(buf);
    std::string cmd;
    line >> cmd;
    try {
      if (cmd == "open") {
        std::string name, file, timeout;
        int mode, delay;
        line >> name >> file >> mode >> timeout >> delay;
        db = std::make_unique<LockDatabase>(static_cast<nat1>(mode));
        nat4 wait = timeout == "-" ? dbWaitForever : static_cast<nat4>(std::stoul(timeout));
        reply(db->open(name.c_str(), file.c_str(), wait, delay) ? "open" : "failed");
      } else if (cmd == "begin") {
        int type;
        line >> type;
        db->beginTransaction(static_cast<dbDatabase::dbLockType>(type));
        reply("granted");
      } else if (cmd == "create") {
        reply("created " + std::to_string(createTestObject(*db)));
      } else if (cmd == "write") {
        int4 v;
        line >> v;
        writeTestObject(*db, v);
        reply("written");
      } else if (cmd == "read") {
        reply("value " + std::to_string(readTestObject(*db)));
      } else if (cmd == "commit") {
        db->commit();
        reply("done");
      } else if (cmd == "rollback") {
        db->rollback();
        reply("done");
      } else if (cmd == "transaction") {
        reply("transaction " + std::to_string(db->counters().transactionId));
      } else if (cmd == "hold-global") {
        db->enterGlobal();
        reply("holding");
      } else if (cmd == "close") {
        db->close();
        reply("closed");
      } else {
        reply("unknown " + cmd);
      }
    } catch (const dbException& e) {
      reply("error " + std::to_string(e.getErrCode()));
    }
  }
  return 0;
}

// Test helper: opens a database with "Ledger" declared in one variant (which
// converts the stored table and its indices when they differ) and runs the
// table workload until it is killed, a fault point ends it, or
// `transactions` have committed.
//   table_writer <name> <file> <variant> <seed> <transactions>
// Prints "open 0" before it opens the database, "start <t>" with the last
// committed transaction found at open,
// "op <t> <j>" before operation j of transaction t, "committed <t>" after
// each commit returns and "done <t>" before it closes the database at the
// end. Exits with 3 when the table does not hold what the workload put there.
#include <cstdio>
#include <cstdlib>

#include "tests/engine/helpers/table_workload.h"

namespace {

void report(const char* what, nat4 t) {
  printf("%s %u\n", what, t);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  ledger::State state;
  std::unique_ptr<ledger::Table> table = ledger::declare(atoi(argv[3]));
  dbDatabase db;
  db.allowColumnRemoval = true;
  report("open", 0);
  if (!db.open(argv[1], argv[2])) return 1;

  ledger::Model model;
  model.seed = static_cast<nat4>(strtoul(argv[4], nullptr, 10));
  model.setMemo(table->hasMemo());
  model.transaction = state.transaction();
  model.rows = table->rows();
  db.commit();
  report("start", model.transaction);

  for (int n = atoi(argv[5]); n > 0; n--) {
    nat4 t = model.transaction + 1;
    auto before = [t](size_t j) {
      printf("op %u %zu\n", t, j);
      fflush(stdout);
    };
    if (!ledger::commitNext(db, *table, state, model, before)) return 3;
    report("committed", t);
  }
  report("done", model.transaction);
  db.close();
  return 0;
}

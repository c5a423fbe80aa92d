// Runs the same workloads on this engine, on SQLite and on LMDB and prints,
// per workload, the median time of each and the ratio ours/peer.
//
//   peer_bench [--quick] [--commits N] [--dir D]
//
// Every engine and size runs in a child process of its own, so that its peak
// resident size is its own. Files go to a folder on the real disk, because
// the durable commits are measured. SQLite runs in WAL mode with
// synchronous=FULL, a 256 MB page cache and prepared statements; LMDB with
// its default, durable flags. The hash lookups of SQLite go through its
// primary key, the T-tree lookups through a second index; LMDB answers both
// with its one B-tree.
//
// A workload whose operations would exceed its time budget is cut short and
// marked with '~': a per-operation figure is then the median of the
// operations done, a total is extrapolated from them.
#include <lmdb.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/describe.h"
#include "engine/query/cursor.h"
#include "engine/query/query.h"

// The benchmark record. The key is kept twice, once per index kind, so that
// a condition on either member picks its index.
struct Row {
  int4 hkey;
  int4 tkey;
  int8 i8;
  real8 r8;
  char const* s;
  TYPE_DESCRIPTOR((KEY(hkey, HASHED), KEY(tkey, INDEXED), FIELD(i8), FIELD(r8), FIELD(s)));
};
REGISTER(Row);

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The 20-character string of a key: decimal digits that scatter keys, so a
// LIKE on a digit run selects few records without any order in the keys.
void stringOf(int4 key, char out[21]) {
  snprintf(out, 21, "%020llu", static_cast<unsigned long long>(key) * 11400714819323198485ull);
}
// The condition no index answers, in each engine's terms.
const char* const kLikeNeedle = "4242";
const char* const kLikeCondition = "s like '%4242%'";
const char* const kLikeSql = "SELECT i8 FROM row WHERE s LIKE '%4242%'";

enum Workload {
  wBulkInsert,
  wSingleCommit,
  wHashLookup,
  wTreeLookup,
  wRange,
  wRangeOrdered,
  wScan1,
  wScan2,
  wOpenCold,
  wOpenWarm,
  wUpdate,
  wCount
};
const char* const kWorkloadNames[wCount] = {
    "bulk insert, one commit", "single-record commit",   "lookup, hash index",
    "lookup, T-tree",          "range 1%, T-tree",       "range 1%, order by key",
    "LIKE scan, 1 thread",     "LIKE scan, 2 threads",   "open, cold cache",
    "open, warm cache",        "update 10%, one commit",
};
// Per operation (us) for the repeated single operations, whole (ms) for the rest.
bool perOperation(int w) { return w == wSingleCommit || w == wHashLookup || w == wTreeLookup; }

// What a child sends back to the parent through a pipe.
struct Result {
  double time[wCount] = {};  // median; seconds
  bool estimated[wCount] = {};
  long peakKb = 0;
  double fileMb = 0;
  long checksum = 0;      // of ranges and scans, compared across engines
  long wrongLookups = 0;  // lookups that did not find their record
};

// The operations every engine provides; one object per engine and database.
class Engine {
 public:
  virtual ~Engine() = default;
  virtual void create(const std::string& dir) = 0;
  virtual void insert(int4 key) = 0;
  virtual void commit() = 0;
  virtual void beginRead() = 0;
  virtual void endRead() = 0;
  virtual long lookup(int4 key, bool hash) = 0;           // i8 of the record, -1 when absent
  virtual long range(int4 low, int4 high, bool ordered) = 0;  // sum of i8 of [low, high]
  virtual long scan(int threads) = 0;                      // records whose s contains kLikeNeedle
  virtual void updateOne(int4 key) = 0;                    // i8 += 1
  virtual void close() = 0;
  virtual void open(int threads) = 0;  // of the created database, closed before
  virtual double fileBytes() = 0;     // allocated bytes of the database's files
};

double allocatedBytes(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_blocks) * 512 : 0;
}

// ---- This engine

class OurEngine : public Engine {
 public:
  void create(const std::string& dir) override {
    file = dir + "/bench.rvd";
    name = "peerbench_" + std::to_string(getpid());
    open(1);
  }
  void open(int threads) override {
    // The program's own file geometry; only the scan threads vary.
    db = std::make_unique<dbDatabase>(dbDatabase::accessReadWrite, dbDatabase::dbDefaultInitFileSize,
                                      dbDatabase::dbDefaultExtensionQuantum, dbDatabase::dbDefaultInitIndexSize,
                                      threads);
    if (!db->open(name.c_str(), file.c_str())) exit(2);
  }
  void close() override {
    db->close();
    db.reset();
  }
  void insert(int4 key) override {
    char s[21];
    stringOf(key, s);
    ::insert(Row{key, key, int8(key) * 3, key * 0.5, s});
  }
  void commit() override { db->commit(); }
  void beginRead() override {}
  void endRead() override { db->commit(); }
  long lookup(int4 key, bool hash) override {
    param = key;
    dbCursor<Row> cursor;
    if (cursor.select(hash ? hashQuery : treeQuery, dbViewOnly) == 0) return -1;
    return cursor->i8;
  }
  long range(int4 low, int4 high, bool ordered) override {
    param = low;
    param2 = high;
    dbCursor<Row> cursor;
    long sum = 0;
    if (cursor.select(ordered ? orderedRangeQuery : rangeQuery, dbViewOnly) > 0) {
      do sum += cursor->i8;
      while (cursor.next());
    }
    return sum;
  }
  long scan(int) override {
    dbCursor<Row> cursor;
    return cursor.select(likeQuery, dbViewOnly);
  }
  void updateOne(int4 key) override {
    param = key;
    dbCursor<Row> cursor(dbForUpdate);
    if (cursor.select(hashQuery, dbForUpdate) == 0) return;
    cursor->i8 += 1;
    cursor.update();
  }
  double fileBytes() override { return allocatedBytes(file); }

 private:
  std::string file, name;
  std::unique_ptr<dbDatabase> db;
  int4 param = 0, param2 = 0;
  dbQuery hashQuery{"hkey = ", &param};
  dbQuery treeQuery{"tkey = ", &param};
  dbQuery rangeQuery{"tkey between ", &param, " and ", &param2};
  dbQuery orderedRangeQuery{"tkey between ", &param, " and ", &param2, " order by tkey"};
  dbQuery likeQuery{kLikeCondition};
};

// ---- SQLite

void sqliteCheck(int rc, sqlite3* db, int expected = SQLITE_OK) {
  if (rc != expected) {
    fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    exit(2);
  }
}

class SqliteEngine : public Engine {
 public:
  void create(const std::string& dir) override {
    file = dir + "/bench.sqlite";
    open(1);
    exec("CREATE TABLE row(hkey INTEGER PRIMARY KEY, tkey INTEGER, i8 INTEGER, r8 REAL, s TEXT)");
    exec("CREATE INDEX row_tkey ON row(tkey)");
    prepare();
  }
  void open(int) override {
    sqliteCheck(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), db);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA cache_size=-262144");
    if (haveTable()) prepare();
  }
  void close() override {
    for (sqlite3_stmt* s : statements) sqlite3_finalize(s);
    statements.clear();
    sqlite3_close(db);
  }
  void insert(int4 key) override {
    if (!inTransaction) exec("BEGIN"), inTransaction = true;
    char s[21];
    stringOf(key, s);
    sqlite3_bind_int(insertStmt, 1, key);
    sqlite3_bind_int(insertStmt, 2, key);
    sqlite3_bind_int64(insertStmt, 3, int8(key) * 3);
    sqlite3_bind_double(insertStmt, 4, key * 0.5);
    sqlite3_bind_text(insertStmt, 5, s, 20, SQLITE_TRANSIENT);
    stepDone(insertStmt);
  }
  void commit() override {
    if (inTransaction) exec("COMMIT"), inTransaction = false;
  }
  void beginRead() override { exec("BEGIN"), inTransaction = true; }
  void endRead() override { commit(); }
  long lookup(int4 key, bool hash) override {
    sqlite3_stmt* st = hash ? hashStmt : treeStmt;
    sqlite3_bind_int(st, 1, key);
    long v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    sqlite3_reset(st);
    return v;
  }
  long range(int4 low, int4 high, bool ordered) override {
    sqlite3_stmt* st = ordered ? orderedRangeStmt : rangeStmt;
    sqlite3_bind_int(st, 1, low);
    sqlite3_bind_int(st, 2, high);
    long sum = 0;
    while (sqlite3_step(st) == SQLITE_ROW) sum += sqlite3_column_int64(st, 0);
    sqlite3_reset(st);
    return sum;
  }
  long scan(int) override {
    long n = 0;
    while (sqlite3_step(likeStmt) == SQLITE_ROW) n++;
    sqlite3_reset(likeStmt);
    return n;
  }
  void updateOne(int4 key) override {
    if (!inTransaction) exec("BEGIN"), inTransaction = true;
    sqlite3_bind_int(updateStmt, 1, key);
    stepDone(updateStmt);
  }
  double fileBytes() override { return allocatedBytes(file) + allocatedBytes(file + "-wal"); }

 private:
  std::string file;
  sqlite3* db = nullptr;
  bool inTransaction = false;
  std::vector<sqlite3_stmt*> statements;
  sqlite3_stmt *insertStmt, *hashStmt, *treeStmt, *rangeStmt, *orderedRangeStmt, *likeStmt, *updateStmt;

  void exec(const char* sql) { sqliteCheck(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db); }
  void stepDone(sqlite3_stmt* st) {
    sqliteCheck(sqlite3_step(st), db, SQLITE_DONE);
    sqlite3_reset(st);
  }
  bool haveTable() {
    sqlite3_stmt* st;
    sqliteCheck(sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE name='row'", -1, &st, nullptr), db);
    bool found = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return found;
  }
  sqlite3_stmt* statement(const std::string& sql) {
    sqlite3_stmt* st;
    sqliteCheck(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db);
    statements.push_back(st);
    return st;
  }
  void prepare() {
    insertStmt = statement("INSERT INTO row VALUES(?, ?, ?, ?, ?)");
    hashStmt = statement("SELECT i8 FROM row WHERE hkey = ?");
    treeStmt = statement("SELECT i8 FROM row WHERE tkey = ?");
    rangeStmt = statement("SELECT i8 FROM row WHERE tkey BETWEEN ? AND ?");
    orderedRangeStmt = statement("SELECT i8 FROM row WHERE tkey BETWEEN ? AND ? ORDER BY tkey");
    likeStmt = statement(kLikeSql);
    updateStmt = statement("UPDATE row SET i8 = i8 + 1 WHERE hkey = ?");
  }
};

// ---- LMDB

void lmdbCheck(int rc) {
  if (rc != 0) {
    fprintf(stderr, "lmdb: %s\n", mdb_strerror(rc));
    exit(2);
  }
}

struct LmdbValue {
  int8 i8;
  real8 r8;
  char s[21];
};

class LmdbEngine : public Engine {
 public:
  void create(const std::string& dir) override {
    path = dir + "/lmdb";
    mkdir(path.c_str(), 0755);
    open(1);
  }
  void open(int) override {
    lmdbCheck(mdb_env_create(&env));
    lmdbCheck(mdb_env_set_mapsize(env, size_t(2) << 30));
    lmdbCheck(mdb_env_open(env, path.c_str(), 0, 0644));
    MDB_txn* txn;
    lmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn));
    lmdbCheck(mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY | MDB_CREATE, &dbi));
    lmdbCheck(mdb_txn_commit(txn));
  }
  void close() override { mdb_env_close(env); }
  void insert(int4 key) override {
    beginWrite();
    LmdbValue v{int8(key) * 3, key * 0.5, {}};
    stringOf(key, v.s);
    put(key, v);
  }
  void commit() override {
    if (txn) lmdbCheck(mdb_txn_commit(txn));
    txn = nullptr;
  }
  void beginRead() override { lmdbCheck(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn)); }
  void endRead() override { commit(); }
  long lookup(int4 key, bool) override {
    const LmdbValue* v = get(key);
    return v ? v->i8 : -1;
  }
  long range(int4 low, int4 high, bool) override {
    MDB_cursor* cur;
    lmdbCheck(mdb_cursor_open(txn, dbi, &cur));
    MDB_val k{sizeof low, &low}, v;
    long sum = 0;
    for (int rc = mdb_cursor_get(cur, &k, &v, MDB_SET_RANGE);
         rc == 0 && *static_cast<int4*>(k.mv_data) <= high; rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT))
      sum += static_cast<const LmdbValue*>(v.mv_data)->i8;
    mdb_cursor_close(cur);
    return sum;
  }
  long scan(int) override {
    MDB_cursor* cur;
    lmdbCheck(mdb_cursor_open(txn, dbi, &cur));
    MDB_val k, v;
    long n = 0;
    for (int rc = mdb_cursor_get(cur, &k, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT))
      n += strstr(static_cast<const LmdbValue*>(v.mv_data)->s, kLikeNeedle) != nullptr;
    mdb_cursor_close(cur);
    return n;
  }
  void updateOne(int4 key) override {
    beginWrite();
    const LmdbValue* v = get(key);
    if (!v) return;
    LmdbValue changed = *v;
    changed.i8 += 1;
    put(key, changed);
  }
  double fileBytes() override { return allocatedBytes(path + "/data.mdb"); }

 private:
  std::string path;
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  MDB_txn* txn = nullptr;

  void beginWrite() {
    if (!txn) lmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn));
  }
  void put(int4 key, const LmdbValue& value) {
    MDB_val k{sizeof key, &key}, v{sizeof value, const_cast<LmdbValue*>(&value)};
    lmdbCheck(mdb_put(txn, dbi, &k, &v, 0));
  }
  const LmdbValue* get(int4 key) {
    MDB_val k{sizeof key, &key}, v;
    return mdb_get(txn, dbi, &k, &v) == 0 ? static_cast<const LmdbValue*>(v.mv_data) : nullptr;
  }
};

// ---- The driver

struct Options {
  bool quick = false;
  int commits = 10000;
  std::string dir = "/var/tmp";
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool dropPageCache() {
  sync();
  FILE* f = fopen("/proc/sys/vm/drop_caches", "w");
  if (!f) return false;
  bool ok = fputs("1", f) >= 0;
  return fclose(f) == 0 && ok;
}

// Runs `op` on up to `count` operations within a time budget; returns the
// median time of one operation (perOp) or the time of all, extrapolated
// when the budget cut the run short.
double timed(int count, double budget, bool perOp, bool& estimated, const std::function<void(int)>& op) {
  std::vector<double> times;
  Clock::time_point start = Clock::now();
  int done = 0;
  for (; done < count; done++) {
    Clock::time_point t = Clock::now();
    op(done);
    times.push_back(secondsSince(t));
    if (secondsSince(start) > budget && done + 1 < count) {
      estimated = true;
      done++;
      break;
    }
  }
  if (perOp) return median(times);
  return secondsSince(start) * count / done;
}

Result runEngine(Engine& e, int4 n, const Options& opt) {
  Result r;
  std::string dir = opt.dir + "/torvik-peer-bench-" + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  std::mt19937 rng(15);
  std::vector<int4> keys(n);
  for (int4 i = 0; i < n; i++) keys[i] = i;
  std::shuffle(keys.begin(), keys.end(), rng);
  const double budget = 5;
  auto repeat = [&](int w, int times, const std::function<void(int)>& op) {
    std::vector<double> t;
    for (int i = 0; i < times; i++) {
      Clock::time_point start = Clock::now();
      op(i);
      t.push_back(secondsSince(start));
    }
    r.time[w] = median(t);
  };

  e.create(dir);
  repeat(wBulkInsert, 1, [&](int) {
    for (int4 k : keys) e.insert(k);
    e.commit();
  });
  r.fileMb = e.fileBytes() / 1e6;

  e.beginRead();
  for (int w : {wHashLookup, wTreeLookup})
    r.time[w] = timed(10000, budget, true, r.estimated[w],
                      [&](int i) {
                        int4 key = keys[(i * 7919) % n];
                        r.wrongLookups += e.lookup(key, w == wHashLookup) != int8(key) * 3;
                      });
  for (int w : {wRange, wRangeOrdered})
    repeat(w, 5, [&](int i) {
      int4 low = (n / 7) * i % (n - n / 100);
      r.checksum += e.range(low, low + n / 100 - 1, w == wRangeOrdered);
    });
  repeat(wScan1, 3, [&](int) { r.checksum += e.scan(1); });
  e.endRead();

  e.close();
  e.open(2);
  e.beginRead();
  repeat(wScan2, 3, [&](int) { r.checksum += e.scan(2); });
  e.endRead();
  e.close();

  std::vector<double> coldTimes, warmTimes;
  for (int i = 0; i < 3; i++) {
    dropPageCache();
    Clock::time_point start = Clock::now();
    e.open(1);
    coldTimes.push_back(secondsSince(start));
    e.close();
  }
  for (int i = 0; i < 3; i++) {
    Clock::time_point start = Clock::now();
    e.open(1);
    warmTimes.push_back(secondsSince(start));
    e.close();
  }
  r.time[wOpenCold] = median(coldTimes);
  r.time[wOpenWarm] = median(warmTimes);
  e.open(1);

  r.time[wUpdate] = timed(n / 10, budget, false, r.estimated[wUpdate], [&](int i) {
    e.updateOne(keys[(i * 7919) % n]);
    if (i + 1 == n / 10) e.commit();
  });
  if (r.estimated[wUpdate]) e.commit();

  r.time[wSingleCommit] = timed(opt.commits, 6 * budget, true, r.estimated[wSingleCommit], [&](int i) {
    e.insert(n + i);
    e.commit();
  });
  e.close();

  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  r.peakKb = ru.ru_maxrss;
  std::string rm = "rm -rf '" + dir + "'";
  if (system(rm.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  return r;
}

const char* const kEngineNames[3] = {"Torvik", "SQLite", "LMDB"};

std::unique_ptr<Engine> makeEngine(int which) {
  if (which == 0) return std::make_unique<OurEngine>();
  if (which == 1) return std::make_unique<SqliteEngine>();
  return std::make_unique<LmdbEngine>();
}

// Runs one engine at one size in a child process and reads its result.
bool runChild(int which, int4 n, const Options& opt, Result& out) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::unique_ptr<Engine> e = makeEngine(which);
    Result r = runEngine(*e, n, opt);
    bool ok = write(fds[1], &r, sizeof r) == sizeof r;
    _exit(ok ? 0 : 1);
  }
  ::close(fds[1]);
  bool ok = read(fds[0], &out, sizeof out) == sizeof out;
  ::close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Three significant digits or more, so that small figures keep their ratios.
void printFigure(double seconds, bool perOp, bool estimated) {
  double value = seconds * (perOp ? 1e6 : 1e3);
  char text[32];
  snprintf(text, sizeof text, "%s%.*f", estimated ? "~" : "", value < 1 ? 3 : value < 10 ? 2 : 1, value);
  printf(" %10s", text);
}

void printTable(int4 n, const Result (&r)[3], bool cacheDropped) {
  printf("\n%d records                 Torvik     SQLite       LMDB  ours/SQLite  ours/LMDB\n", n);
  for (int w = 0; w < wCount; w++) {
    printf("%-24s", kWorkloadNames[w]);
    for (int e = 0; e < 3; e++) printFigure(r[e].time[w], perOperation(w), r[e].estimated[w]);
    // Peers scan on one thread: the two-thread row compares with that.
    int peerRow = w == wScan2 ? wScan1 : w;
    for (int e = 1; e < 3; e++) printf(" %12.2f", r[0].time[w] / r[e].time[peerRow]);
    printf("   %s\n", perOperation(w) ? "us/op" : "ms");
  }
  printf("%-24s %10.1f %10.1f %10.1f   MB\n", "file size", r[0].fileMb, r[1].fileMb, r[2].fileMb);
  printf("%-24s %10.1f %10.1f %10.1f   MB\n", "peak resident", r[0].peakKb / 1024.0, r[1].peakKb / 1024.0,
         r[2].peakKb / 1024.0);
  for (int e = 0; e < 3; e++)
    if (r[e].wrongLookups) printf("(%s: %ld lookups went wrong)\n", kEngineNames[e], r[e].wrongLookups);
  if (!cacheDropped) printf("(the page cache could not be dropped: cold opens ran warm)\n");
  if (r[0].checksum != r[1].checksum || r[0].checksum != r[2].checksum)
    printf("(the engines disagree on the results: checksums %ld %ld %ld)\n", r[0].checksum, r[1].checksum,
           r[2].checksum);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--quick")) {
      opt.quick = true;
    } else if (!strcmp(argv[i], "--commits") && i + 1 < argc) {
      opt.commits = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--dir") && i + 1 < argc) {
      opt.dir = argv[++i];
    } else {
      fprintf(stderr, "usage: %s [--quick] [--commits N] [--dir D]\n", argv[0]);
      return 2;
    }
  }
  bool cacheDropped = dropPageCache();
  printf("medians; single operations in microseconds, the rest in milliseconds; %d single-record commits\n",
         opt.commits);
  std::vector<int4> sizes = {10000};
  if (!opt.quick) sizes.push_back(1000000);
  for (int4 n : sizes) {
    Result r[3];
    for (int e = 0; e < 3; e++) {
      if (!runChild(e, n, opt, r[e])) {
        fprintf(stderr, "%s failed at %d records\n", kEngineNames[e], n);
        return 1;
      }
    }
    printTable(n, r, cacheDropped);
    fflush(stdout);
  }
  return 0;
}

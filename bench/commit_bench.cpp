// Prints the time of a one-object commit in databases of 10 thousand and of
// 1 million objects, side by side: a commit copies and frees only the
// 1024-entry groups of the object index that changed, so the two should be
// close.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/database.h"

namespace {

// A record of 32 bytes whose payload word is value.
oid_t newRecord(dbDatabase& db, nat4 value) {
  oid_t oid = db.allocateId();
  offs_t pos = db.allocate(32);
  db.getCurrentIndex()[oid] = pos;
  byte* rec = db.getBaseAddress() + pos;
  memset(rec, 0, 32);
  reinterpret_cast<dbRecord*>(rec)->size = 32;
  memcpy(rec + sizeof(dbRecord), &value, 4);
  return oid;
}

// Median microseconds of one update-and-commit over `rounds` rounds.
double medianCommitMicros(nat4 objects, int rounds) {
  std::string dir = "/tmp/torvik-commit-bench-" + std::to_string(getpid());
  std::string file = dir + "-" + std::to_string(objects) + ".rvd";
  std::string name = "commitbench_" + std::to_string(getpid()) + "_" + std::to_string(objects);
  unlink(file.c_str());
  dbDatabase db(dbDatabase::accessReadWrite, 64 << 20, 64 << 20, objects + dbFirstUserId, 1);
  if (!db.open(name.c_str(), file.c_str())) return -1;
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  std::vector<oid_t> oids;
  oids.reserve(objects);
  for (nat4 i = 0; i < objects; i++) oids.push_back(newRecord(db, i));
  db.commit();
  std::vector<double> times;
  for (int r = 0; r < rounds; r++) {
    auto start = std::chrono::steady_clock::now();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    byte* rec = db.putRow(oids[(r * 7919) % objects]);
    memcpy(rec + sizeof(dbRecord), &r, 4);
    db.commit();
    times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  db.close();
  unlink(file.c_str());
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main() {
  const int rounds = 200;
  double small = medianCommitMicros(10000, rounds);
  double large = medianCommitMicros(1000000, rounds);
  printf("one-object commit, median of %d (durable: two msync each)\n", rounds);
  printf("%12s %14s\n", "objects", "microseconds");
  printf("%12d %14.1f\n", 10000, small);
  printf("%12d %14.1f\n", 1000000, large);
  printf("ratio 1M/10k: %.2f\n", large / small);
  return small < 0 || large < 0;
}

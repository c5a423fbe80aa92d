// torvik_check <file>: prints the integrity report of a database file and
// exits with 0 when it is clean, 1 when it is damaged, 2 on a usage error.
#include <cstdio>

#include "engine/integrity_check.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: torvik_check <file>\n");
    return 2;
  }
  dbIntegrityReport report = dbCheckFile(argv[1]);
  fputs(report.summary().c_str(), stdout);
  return report.clean() ? 0 : 1;
}

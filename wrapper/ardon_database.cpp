#include "wrapper/ardon_database.h"

#include <sys/vfs.h>
#include <unistd.h>

#include <clocale>

namespace {

// File systems on which several processes cannot safely share one writable
// mapping of a file: network file systems (no coherent shared mapping between
// hosts, and no reliable msync), optical and other read-only media.
constexpr unsigned long refusedFileSystems[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x564C,      // NCP
    0x5346414F,  // AFS
    0x00C36400,  // Ceph
    0x01021997,  // 9P (host folders shared into a virtual machine)
    0x73757245,  // Coda
    0x47504653,  // GPFS
    0x9660,      // ISO 9660
    0x15013346,  // UDF
};

}  // namespace

bool isSuitableFileSystem(const char* path) {
  struct statfs fs;
  if (statfs(path, &fs) != 0) return false;
  for (unsigned long type : refusedFileSystems) {
    if (static_cast<unsigned long>(fs.f_type) == type) return false;
  }
  return true;
}

bool ardonDatabase::open(const char* name, const char* fileName, nat4 waitLockTimeout, nat4 commitDelay) {
  // The user's character set decides the code page of the record texts. Only
  // the character classification follows it: number formats stay "C", so that
  // query constants always read with a decimal point.
  setlocale(LC_CTYPE, "");
  if (folder.empty()) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr || !isSuitableFileSystem(cwd)) return false;
    folder = cwd;
  }
  databaseName = name;
  std::string file = fileName ? std::string(fileName) : databaseName + ".rvd";
  return dbDatabase::open(name, file.c_str(), waitLockTimeout, commitDelay);
}

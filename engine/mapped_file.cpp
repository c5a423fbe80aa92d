#include "engine/mapped_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/exception.h"

dbMappedFile::~dbMappedFile() { close(); }

int dbMappedFile::map(size_t newSize) {
  // A zero-length mapping is not possible; an empty read-only file maps one
  // page of zeros, which reads as an uninitialised header.
  size_t length = newSize ? newSize : 1;
  int prot = readOnly ? PROT_READ : PROT_READ | PROT_WRITE;
  void* p = mmap(nullptr, length, prot, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return errno;
  base = static_cast<byte*>(p);
  size = newSize;
  return 0;
}

// Grows the file to newSize with the new bytes allocated on the disk now, so
// that a full disk is reported here instead of as a fault when a page of the
// mapping is first written. The new bytes read as zero.
int dbMappedFile::reserve(size_t oldSize, size_t newSize) {
  int rc;
  do rc = posix_fallocate(fd, oldSize, newSize - oldSize);
  while (rc == EINTR);
  if (rc == EOPNOTSUPP || rc == EINVAL) rc = ftruncate(fd, newSize) == 0 ? 0 : errno;
  return rc;
}

int dbMappedFile::open(const char* fileName, const char* name, bool ro, size_t initSize) {
  close();
  readOnly = ro;
  mappingName = name;
  fd = ::open(fileName, ro ? O_RDONLY | O_CLOEXEC : O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int rc = errno;
    close();
    return rc;
  }
  dbCheck(static_cast<nat8>(st.st_size) < (nat8(1) << 32));
  originalSize = st.st_size;
  size_t mapSize = originalSize;
  if (!ro && mapSize == 0) {
    mapSize = initSize;
    if (int rc = reserve(0, mapSize)) {
      close();
      return rc;
    }
  }
  if (int rc = map(mapSize)) {
    close();
    return rc;
  }
  madvise(base, size ? size : 1, MADV_WILLNEED);
  volatile byte sink = 0;
  for (size_t offs = 0; offs < originalSize && offs < size; offs += 4096) sink = sink + base[offs];
  return 0;
}

int dbMappedFile::flush() {
  if (msync(base, size, MS_SYNC) != 0) return errno;
  return 0;
}

int dbMappedFile::setSize(size_t newSize, const char* name) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (static_cast<size_t>(st.st_size) < newSize) {
    if (int rc = reserve(st.st_size, newSize)) return rc;
  }
  munmap(base, size ? size : 1);
  base = nullptr;
  mappingName = name;
  return map(newSize);
}

int dbMappedFile::remapToFileSize(const char* name) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  munmap(base, size ? size : 1);
  base = nullptr;
  mappingName = name;
  return map(st.st_size);
}

int dbMappedFile::close() {
  int rc = 0;
  if (base) munmap(base, size ? size : 1);
  base = nullptr;
  size = 0;
  if (fd >= 0 && ::close(fd) != 0) rc = errno;
  fd = -1;
  mappingName.clear();
  return rc;
}

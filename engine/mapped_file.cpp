#include "engine/mapped_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "engine/exception.h"
#include "engine/file_header.h"

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
  // Faults bring in single pages (no read-ahead), so the page cache holds
  // the file in small folios: a flush then writes back the pages a commit
  // changed, not whole large folios around each of them.
  madvise(base, length, MADV_RANDOM);
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
  // Every page of the old contents mapped now, so that record access never
  // faults to the disk later; in one call where the kernel can, else by
  // reading a byte of every page.
  size_t length = std::min(originalSize, size);
  loadIntoPageCache(length);
  if (length != 0 && madvise(base, length, MADV_POPULATE_READ) != 0) {
    volatile byte sink = 0;
    for (size_t offs = 0; offs < length; offs += dbPageSize) sink = sink + base[offs];
  }
  return 0;
}

// Asks for the parts of the file's first length bytes that are not in the
// page cache yet, in requests small enough for the kernel to take each whole,
// all queued before any is waited for. The file is flagged for random access first, so
// that they go into small pages, as the faults of the mapping bring them in.
void dbMappedFile::loadIntoPageCache(size_t length) {
  posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  size_t pages = (length + dbPageSize - 1) / dbPageSize;
  std::vector<unsigned char> resident(pages);
  if (pages == 0 || mincore(base, length, resident.data()) != 0) return;
  constexpr size_t chunkPages = 32;
  for (size_t first = 0; first < pages; first += chunkPages) {
    size_t last = std::min(pages, first + chunkPages);
    if (std::all_of(&resident[first], &resident[0] + last, [](unsigned char r) { return r & 1; })) continue;
    posix_fadvise(fd, first * dbPageSize, (last - first) * dbPageSize, POSIX_FADV_WILLNEED);
  }
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

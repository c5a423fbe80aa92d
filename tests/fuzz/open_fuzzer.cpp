// libFuzzer target: a damaged database file never crashes the open or the
// integrity checker. The input is either a whole file, or patches to a
// sound file holding the sample table with its indices, each aimed at the
// header, the committed object index or the objects.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/file_header.h"
#include "engine/integrity_check.h"
#include "tests/engine/helpers/sample_database.h"

namespace {

// Refuses and fails as the engine does, without printing.
class QuietDatabase : public dbDatabase {
 public:
  void handleError(dbErrorClass error, const char* msg, int arg) override {
    switch (error) {
      case NoError:
      case QueryError:
      case DatabaseOpenError:
      case FileLimitExceeded:
      case InconsistentInverseReference:
        return;
      default:
        throw dbException(error, msg, arg);
    }
  }
};

struct Fixture {
  std::string dir, file, databaseName;
  std::vector<byte> sound;
  nat8 regionStart[3], regionEnd[3];  // header, committed index entries, objects
  dbTableDescriptor* table = nullptr;

  Fixture() {
    char pattern[] = "/dev/shm/torvik-open-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    dir = pattern;
    std::string soundFile = dir + "/sound.rvd";
    file = dir + "/fuzz.rvd";
    std::string name = "open_fuzz_" + std::to_string(getpid());
    if (!sample::build((name + "_sound").c_str(), soundFile.c_str(), 300)) abort();
    std::ifstream in(soundFile, std::ios::binary);
    sound.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    unlink(soundFile.c_str());
    const dbFileHeader* h = reinterpret_cast<const dbFileHeader*>(sound.data());
    const dbFileHeader::Root& root = h->root[h->currentRoot];
    regionStart[0] = 0;
    regionEnd[0] = sizeof(dbFileHeader);
    regionStart[1] = root.indexOffset;
    regionEnd[1] = root.indexOffset + nat8(root.indexUsed) * 4;
    regionStart[2] = std::max(root.indexOffset, root.shadowIndexOffset) + nat8(root.indexSize) * 4;
    regionEnd[2] = sound.size();
    while (regionEnd[2] > regionStart[2] + 1 && sound[regionEnd[2] - 1] == 0) regionEnd[2]--;
    table = sample::declareItem();  // bound at every open
    databaseName = name;
  }
  ~Fixture() {
    delete table;
    rmdir(dir.c_str());
  }
};

// First byte even: the rest is the file. Odd: 8-byte patches (a region
// selector with an offset, and 4 bytes xored in) to the sound file.
std::vector<byte> makeFile(const Fixture& f, const uint8_t* data, size_t size) {
  if (size == 0 || data[0] % 2 == 0) return std::vector<byte>(data + (size != 0), data + size);
  std::vector<byte> image = f.sound;
  for (size_t at = 1; at + 8 <= size; at += 8) {
    uint32_t where, value;
    memcpy(&where, data + at, 4);
    memcpy(&value, data + at + 4, 4);
    int region = where % 3;
    nat8 span = f.regionEnd[region] - f.regionStart[region];
    nat8 offs = f.regionStart[region] + (where / 3) % span;
    for (int k = 0; k < 4 && offs + k < image.size(); k++) image[offs + k] ^= byte(value >> (8 * k));
  }
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  std::vector<byte> image = makeFile(f, data, size);
  dbCheckImage(image.data(), image.size());
  std::ofstream(f.file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  QuietDatabase db;
  try {
    if (db.open(f.databaseName.c_str(), f.file.c_str())) {
      db.beginTransaction(dbDatabase::dbSharedLock);
      db.commit();
      db.close();
    }
  } catch (const dbException&) {
    // An internal consistency failure or a refused change of a damaged file.
  }
  unlink(f.file.c_str());  // libFuzzer may end the process without destructors
  return 0;
}

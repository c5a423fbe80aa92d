// Resolving inverse references, once every table of a database is bound.
#include <cstdio>
#include <string>

#include "engine/database.h"
#include "engine/table_descriptor.h"

template <class... Args>
static std::string format(const char* pattern, Args... args) {
  std::string text(static_cast<size_t>(snprintf(nullptr, 0, pattern, args...)), '\0');
  snprintf(text.data(), text.size() + 1, pattern, args...);
  return text;
}

void dbTableDescriptor::resolveInverseReferences(dbDatabase* db) {
  for (dbFieldDescriptor* fd = inverseFields; fd != nullptr; fd = fd->nextInverse) {
    dbTableDescriptor* target = fd->memberType == tpArray ? fd->parts->targetTable : fd->targetTable;
    dbFieldDescriptor* inverse = target->findSymbol(fd->inverseName);
    fd->inverseField = inverse;
    if (inverse == nullptr) {
      std::string msg = format("Failed to locate inverse reference field %s.%s for field %s.%s", target->name,
                               fd->inverseName, name, fd->path.c_str());
      db->handleError(InconsistentInverseReference, msg.c_str());
    } else if (inverse->inverseName != fd->name) {
      std::string msg =
          format("Inverse references for field %s.%s is %s.%s, but its inverse reference is %s", name,
                 fd->path.c_str(), target->name, fd->inverseName,
                 inverse->inverseName != nullptr ? inverse->inverseName : "(null)");
      db->handleError(InconsistentInverseReference, msg.c_str());
    }
  }
}

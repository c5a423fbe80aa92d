// The record codec: moves values between an application object and its
// stored record along a ring of field descriptors.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/field_descriptor.h"
#include "engine/table_descriptor.h"

namespace {

nat4 getWord(const byte* p) {
  nat4 w;
  memcpy(&w, p, sizeof w);
  return w;
}

void putWord(byte* p, nat4 w) { memcpy(p, &w, sizeof w); }

// A text slot or an array slot: two words, a length or count, then an offset
// from the start of the record.
void putSlot(byte* slot, size_t length, size_t offset) {
  putWord(slot, static_cast<nat4>(length));
  putWord(slot + 4, static_cast<nat4>(offset));
}

const char* textOf(const byte* member) { return *reinterpret_cast<const char* const*>(member); }

bool isScalar(int type) { return type >= tpBool && type <= tpReal8; }

// A stored scalar widened to a 64-bit integer or a double.
struct dbScalar {
  bool real;
  int8 i;
  real8 r;
};

dbScalar readScalar(int type, const byte* p) {
  dbScalar v{false, 0, 0.0};
  switch (type) {
    case tpBool:
      v.i = *p;
      break;
    case tpInt1:
      v.i = static_cast<int1>(*p);
      break;
    case tpInt2: {
      int2 x;
      memcpy(&x, p, sizeof x);
      v.i = x;
      break;
    }
    case tpInt4: {
      int4 x;
      memcpy(&x, p, sizeof x);
      v.i = x;
      break;
    }
    case tpInt8:
      memcpy(&v.i, p, sizeof v.i);
      break;
    case tpReal4: {
      real4 x;
      memcpy(&x, p, sizeof x);
      v.real = true;
      v.r = x;
      break;
    }
    case tpReal8:
      memcpy(&v.r, p, sizeof v.r);
      v.real = true;
      break;
  }
  return v;
}

// Truncation toward zero that stays defined for NaN and for values beyond
// the 64-bit range, which a stored real may hold.
int8 truncateReal(real8 r) {
  if (std::isnan(r)) return 0;
  if (r >= 9223372036854775807.0) return std::numeric_limits<int8>::max();
  if (r <= -9223372036854775808.0) return std::numeric_limits<int8>::min();
  return static_cast<int8>(r);
}

// Writes the scalar slot of newType from the old slot of oldType: booleans
// test against zero, integers are sign-extended or cut to their low bytes,
// reals are truncated toward zero; a slot of any other old type becomes 0.
void convertScalar(int newType, byte* dst, size_t dstSize, int oldType, const byte* src) {
  if (!isScalar(oldType)) {
    memset(dst, 0, dstSize);
    return;
  }
  if (newType == oldType) {
    memcpy(dst, src, dstSize);
    return;
  }
  dbScalar v = readScalar(oldType, src);
  switch (newType) {
    case tpBool:
      *dst = v.real ? v.r != 0.0 : v.i != 0;
      break;
    case tpReal4: {
      real4 x = v.real ? static_cast<real4>(v.r) : static_cast<real4>(v.i);
      memcpy(dst, &x, sizeof x);
      break;
    }
    case tpReal8: {
      real8 x = v.real ? v.r : static_cast<real8>(v.i);
      memcpy(dst, &x, sizeof x);
      break;
    }
    default: {  // integers: the low bytes, little-endian
      int8 x = v.real ? truncateReal(v.r) : v.i;
      memcpy(dst, &x, dstSize);
    }
  }
}

}  // namespace

size_t dbFieldDescriptor::packedSize(const byte* object, size_t n) const {
  for (const dbFieldDescriptor* fd = this; fd != nullptr; fd = fd->nextDataMember(this)) {
    const byte* member = object + fd->memberOffset;
    switch (fd->memberType) {
      case tpString: {
        const char* text = textOf(member);
        n += text != nullptr ? strlen(text) + 1 : 1;
        break;
      }
      case tpArray: {
        const dbAnyArray* array = reinterpret_cast<const dbAnyArray*>(member);
        const dbFieldDescriptor* element = fd->parts;
        n = dbAlign<size_t>(n, element->alignment) + array->nElems * element->storedSize;
        if ((fd->layoutFlags & HasVaryingParts) && array->data != nullptr) {
          const byte* item = static_cast<const byte*>(array->data);
          for (nat4 i = 0; i < array->nElems; i++, item += element->memberSize) n = element->packedSize(item, n);
        }
        break;
      }
      case tpStructure:
        if (fd->layoutFlags & HasVaryingParts) n = fd->parts->packedSize(member, n);
        break;
      default:
        break;
    }
  }
  return n;
}

size_t dbFieldDescriptor::pack(byte* record, const byte* object, size_t offset) const {
  return packRing(record, record, object, offset);
}

size_t dbFieldDescriptor::packRing(byte* record, byte* slots, const byte* object, size_t offset) const {
  for (const dbFieldDescriptor* fd = this; fd != nullptr; fd = fd->nextDataMember(this)) {
    byte* slot = slots + fd->storedOffset;
    const byte* member = object + fd->memberOffset;
    switch (fd->memberType) {
      case tpString: {
        const char* text = textOf(member);
        size_t length = text != nullptr ? strlen(text) + 1 : 1;
        memcpy(record + offset, text != nullptr ? text : "", length);
        putSlot(slot, length, offset);
        offset += length;
        break;
      }
      case tpArray: {
        const dbAnyArray* array = reinterpret_cast<const dbAnyArray*>(member);
        const dbFieldDescriptor* element = fd->parts;
        size_t n = array->nElems;
        size_t start = dbAlign<size_t>(offset, element->alignment);
        putSlot(slot, n, start);
        offset = start + n * element->storedSize;
        if (array->data == nullptr) {
          memset(record + start, 0, n * element->storedSize);
        } else if (fd->layoutFlags & OneToOneLayout) {
          memcpy(record + start, array->data, n * element->storedSize);
        } else {
          const byte* item = static_cast<const byte*>(array->data);
          for (size_t i = 0; i < n; i++, item += element->memberSize) {
            offset = element->packRing(record, record + start + i * element->storedSize, item, offset);
          }
        }
        break;
      }
      case tpStructure:
        offset = fd->parts->packRing(record, slots, member, offset);
        break;
      default:  // scalars, references and raw binary are copied as they are
        memcpy(slot, member, fd->storedSize);
    }
  }
  return offset;
}

void dbFieldDescriptor::fetch(byte* object, byte* record) const { fetchRing(object, record, record); }

void dbFieldDescriptor::fetchRing(byte* object, byte* record, byte* slots) const {
  for (const dbFieldDescriptor* fd = this; fd != nullptr; fd = fd->nextDataMember(this)) {
    const byte* slot = slots + fd->storedOffset;
    byte* member = object + fd->memberOffset;
    switch (fd->memberType) {
      case tpString:
        *reinterpret_cast<const char**>(member) = reinterpret_cast<const char*>(record + getWord(slot + 4));
        break;
      case tpArray: {
        dbAnyArray* array = reinterpret_cast<dbAnyArray*>(member);
        const dbFieldDescriptor* element = fd->parts;
        nat4 n = getWord(slot);
        byte* start = record + getWord(slot + 4);
        if (fd->layoutFlags & OneToOneLayout) {
          fd->arrayResize(array, start, n);
        } else {
          fd->arrayResize(array, nullptr, n);
          byte* item = static_cast<byte*>(array->data);
          for (nat4 i = 0; i < n; i++, item += element->memberSize) {
            element->fetchRing(item, record, start + i * element->storedSize);
          }
        }
        break;
      }
      case tpStructure:
        fd->parts->fetchRing(member, record, slots);
        break;
      default:
        memcpy(member, slot, fd->storedSize);
    }
  }
}

void dbFieldDescriptor::relocate(byte* object, const byte* oldBase, size_t oldSize, ptrdiff_t delta) const {
  auto inOldMapping = [&](const void* p) {
    return reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(oldBase) <= oldSize;
  };
  auto moved = [&](const void* p) {
    return reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(delta));
  };
  for (const dbFieldDescriptor* fd = this; fd != nullptr; fd = fd->nextDataMember(this)) {
    byte* member = object + fd->memberOffset;
    switch (fd->storedType) {
      case tpString: {
        const char*& text = *reinterpret_cast<const char**>(member);
        if (inOldMapping(text)) text = static_cast<const char*>(moved(text));
        break;
      }
      case tpArray: {
        dbAnyArray* array = reinterpret_cast<dbAnyArray*>(member);
        if (inOldMapping(array->data)) {
          array->data = const_cast<void*>(moved(array->data));
        } else if (fd->layoutFlags & HasVaryingParts) {
          const dbFieldDescriptor* element = fd->parts;
          byte* item = static_cast<byte*>(array->data);
          for (nat4 i = 0; i < array->nElems; i++, item += element->memberSize) {
            element->relocate(item, oldBase, oldSize, delta);
          }
        }
        break;
      }
      case tpStructure:
        if (fd->layoutFlags & HasVaryingParts) fd->parts->relocate(member, oldBase, oldSize, delta);
        break;
      default:
        break;
    }
  }
}

void dbFieldDescriptor::markChanges(const byte* record, const byte* object) {
  for (dbFieldDescriptor* fd = this; fd != nullptr; fd = fd->nextDataMember(this)) {
    if (fd->memberType == tpStructure) {
      fd->parts->markChanges(record, object + fd->memberOffset);
      continue;
    }
    if (!(fd->indexFlags & (HASHED | INDEXED))) continue;
    const byte* slot = record + fd->storedOffset;
    const byte* member = object + fd->memberOffset;
    bool changed;
    switch (fd->memberType) {
      case tpReal4:
      case tpReal8:
        changed = readScalar(fd->memberType, member).r != readScalar(fd->memberType, slot).r;
        break;
      case tpString: {
        const char* text = textOf(member);
        changed = strcmp(text != nullptr ? text : "", reinterpret_cast<const char*>(record + getWord(slot + 4))) != 0;
        break;
      }
      case tpRawBinary:
        changed = fd->compare(member, slot, fd->storedSize) != 0;
        break;
      case tpArray:
        changed = false;
        break;
      default:  // integers, booleans and references by value
        changed = memcmp(member, slot, fd->storedSize) != 0;
    }
    if (changed) fd->layoutFlags |= ChangedByUpdate;
  }
}

// What sizeFrom answers for a part of the old record outside its bounds.
constexpr size_t kOutside = SIZE_MAX;

size_t dbFieldDescriptor::convertedSize(const byte* oldRecord, size_t oldSize, size_t start) const {
  size_t n = sizeFrom(oldRecord, oldRecord, start, true, nullptr, oldRecord + oldSize);
  return n == kOutside ? 0 : n;
}

size_t dbFieldDescriptor::convert(byte* newRecord, const byte* oldRecord, size_t offset) const {
  return copyFrom(newRecord, newRecord, oldRecord, oldRecord, offset, true, nullptr);
}

size_t dbFieldDescriptor::varyingSizeWithout(const dbFieldDescriptor* member, const byte* record, size_t start) const {
  return sizeFrom(record, record, start, false, member, nullptr);
}

size_t dbFieldDescriptor::copyWithout(const dbFieldDescriptor* member, byte* newRecord, const byte* oldRecord,
                                      size_t offset) const {
  return copyFrom(newRecord, newRecord, oldRecord, oldRecord, offset, false, member);
}

size_t dbFieldDescriptor::sizeFrom(const byte* oldRecord, const byte* oldSlots, size_t n, bool fromFormer,
                                   const dbFieldDescriptor* skip, const byte* oldEnd) const {
  // Whether bytes [p, p + size) are inside the old record; always, unchecked.
  auto inside = [&](const byte* p, nat8 size) {
    return oldEnd == nullptr || (p >= oldRecord && p <= oldEnd && size <= static_cast<nat8>(oldEnd - p));
  };
  for (const dbFieldDescriptor* fd = this; fd != nullptr; fd = fd->nextDataMember(this)) {
    if (n == kOutside) return n;
    if (fd == skip) continue;
    int oldType = fromFormer ? fd->formerType : fd->storedType;
    const byte* oldSlot = oldSlots + (fromFormer ? fd->formerOffset : fd->storedOffset);
    if (fd->storedType != tpStructure && oldType != tpAbsent && !inside(oldSlot, fromFormer ? fd->formerSize : fd->storedSize)) {
      return kOutside;
    }
    switch (fd->storedType) {
      case tpString:
        if (oldType == tpString) {
          nat4 length = getWord(oldSlot);
          const byte* text = oldRecord + getWord(oldSlot + 4);
          if (oldEnd != nullptr && (length == 0 || !inside(text, length) || text[length - 1] != '\0')) return kOutside;
          n += length;
        } else {
          n += 1;
        }
        break;
      case tpArray: {
        if (oldType != tpArray) break;
        const dbFieldDescriptor* element = fd->parts;
        nat4 count = getWord(oldSlot);
        const byte* item = oldRecord + getWord(oldSlot + 4);
        size_t itemSize = fromFormer ? element->formerSize : element->storedSize;
        if (!inside(item, static_cast<nat8>(count) * itemSize)) return kOutside;
        n = dbAlign<size_t>(n, element->alignment) + count * element->storedSize;
        if (fd->layoutFlags & HasVaryingParts) {
          for (nat4 i = 0; i < count; i++, item += itemSize) {
            n = element->sizeFrom(oldRecord, item, n, fromFormer, skip, oldEnd);
          }
        }
        break;
      }
      case tpStructure:
        if (fd->layoutFlags & HasVaryingParts) n = fd->parts->sizeFrom(oldRecord, oldSlots, n, fromFormer, skip, oldEnd);
        break;
      default:
        break;
    }
  }
  return n;
}

size_t dbFieldDescriptor::copyFrom(byte* newRecord, byte* newSlots, const byte* oldRecord, const byte* oldSlots,
                                   size_t offset, bool fromFormer, const dbFieldDescriptor* skip) const {
  for (const dbFieldDescriptor* fd = this; fd != nullptr; fd = fd->nextDataMember(this)) {
    if (fd == skip) continue;
    int oldType = fromFormer ? fd->formerType : fd->storedType;
    const byte* oldSlot = oldSlots + (fromFormer ? fd->formerOffset : fd->storedOffset);
    byte* slot = newSlots + fd->storedOffset;
    switch (fd->storedType) {
      case tpString:
        if (oldType == tpString) {
          nat4 length = getWord(oldSlot);
          memcpy(newRecord + offset, oldRecord + getWord(oldSlot + 4), length);
          putSlot(slot, length, offset);
          offset += length;
        } else {
          newRecord[offset] = '\0';
          putSlot(slot, 1, offset);
          offset += 1;
        }
        break;
      case tpReference:
        if (oldType == tpReference) {
          memcpy(slot, oldSlot, 4);
        } else {
          putWord(slot, 0);
        }
        break;
      case tpArray: {
        if (oldType != tpArray) {
          putSlot(slot, 0, 0);
          break;
        }
        const dbFieldDescriptor* element = fd->parts;
        nat4 count = getWord(oldSlot);
        const byte* item = oldRecord + getWord(oldSlot + 4);
        size_t itemSize = fromFormer ? element->formerSize : element->storedSize;
        size_t start = dbAlign<size_t>(offset, element->alignment);
        putSlot(slot, count, start);
        offset = start + count * element->storedSize;
        for (nat4 i = 0; i < count; i++, item += itemSize) {
          offset = element->copyFrom(newRecord, newRecord + start + i * element->storedSize, oldRecord, item, offset,
                                     fromFormer, skip);
        }
        break;
      }
      case tpStructure:
        offset = fd->parts->copyFrom(newRecord, newSlots, oldRecord, oldSlots, offset, fromFormer, skip);
        break;
      case tpRawBinary:
        if (oldType == tpRawBinary) {
          memcpy(slot, oldSlot, fromFormer ? std::min(fd->formerSize, fd->storedSize) : fd->storedSize);
        }
        break;
      default:
        convertScalar(fd->storedType, slot, fd->storedSize, oldType, oldSlot);
    }
  }
  return offset;
}

bool dbFieldDescriptor::canConvertFrom(int oldType, const char* oldTargetName) const {
  if (oldType == tpAbsent) return true;
  if (isScalar(storedType)) return isScalar(oldType);
  if (storedType == tpReference) {
    return oldType == tpReference && oldTargetName != nullptr && strcmp(oldTargetName, targetTable->name) == 0;
  }
  return oldType == storedType;
}

// dbFieldDescriptor: the description of one member of a record class, with
// its stored slot computed by the table's layout (table_descriptor.h), and
// the record codec that moves values between an object and its stored record.
//
// A stored record starts with a 12-byte header (size, next, prev); its fixed
// part follows at the members' stored offsets, its varying part (texts and
// array elements) after the fixed part. A string slot holds the text length
// with its NUL and the text's offset from the record start; an array slot the
// element count and the offset of the first element slot. Element slots are
// laid out from 0 within their element; the offsets their texts and nested
// arrays store are still from the record start.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

#include "engine/array.h"
#include "engine/types.h"

class dbTableDescriptor;
class dbAnyMethodTrampoline;

// Type codes, shared by the stored table definitions, the codec, the query
// compiler and the evaluator.
enum dbFieldType : int {
  tpBool = 0,
  tpInt1 = 1,
  tpInt2 = 2,
  tpInt4 = 3,
  tpInt8 = 4,
  tpReal4 = 5,
  tpReal8 = 6,
  tpString = 7,
  tpReference = 8,
  tpArray = 9,
  // A method member returning the kind of its code minus tpMethodBool.
  tpMethodBool = 10,
  tpMethodInt1 = 11,
  tpMethodInt2 = 12,
  tpMethodInt4 = 13,
  tpMethodInt8 = 14,
  tpMethodReal4 = 15,
  tpMethodReal8 = 16,
  tpMethodString = 17,
  tpMethodReference = 18,
  tpStructure = 19,
  tpRawBinary = 20,
  // Only as a former stored type: the member is absent from the stored table.
  tpAbsent = 22,
};

// Index flags of a member, as its description gives them.
enum dbIndexFlags : nat4 {
  HASHED = 1,   // has a hash index
  INDEXED = 2,  // has a T-tree index
  CASCADE = 8,  // removing the record removes the records this reference points to
};

typedef int (*dbMemberCompare)(const void* a, const void* b, size_t size);

// One member as a describe function lists it; describe.h builds these.
struct dbMemberSpec {
  const char* name;
  size_t offset;
  size_t size;
  nat4 indexFlags;
  const char* inverseName;
  void (*apply)(dbFieldDescriptor* fd);  // the kind applier
};

class dbFieldDescriptor {
 public:
  enum LayoutFlags : nat4 {
    ElementOfArray = 1,   // the member is, or lies inside, an array element
    HasVaryingParts = 2,  // something inside stores texts or arrays
    OneToOneLayout = 4,   // stored slot and object member line up: a plain copy moves it
    ChangedByUpdate = 8,  // an update changes this indexed member's value
  };
  // Index flag bits used while indices are rebuilt: the field's hash index,
  // or its T-tree, was just created and is still to be filled.
  static constexpr nat4 NewHashIndex = 0x80000000u;
  static constexpr nat4 NewTreeIndex = 0x40000000u;

  dbFieldDescriptor* next = this;  // ring of sibling members, in description order
  dbFieldDescriptor* prev = this;
  dbFieldDescriptor* nextInTable = nullptr;  // all data members, depth first
  dbFieldDescriptor* nextHashed = nullptr;
  dbFieldDescriptor* nextTreeIndexed = nullptr;
  dbFieldDescriptor* nextInverse = nullptr;
  int fieldNumber = 0;
  const char* name;                 // interned
  std::string path;                 // "a", "s.a", "arr[]", "arr[].a"
  dbTableDescriptor* targetTable = nullptr;
  dbTableDescriptor* ownerTable = nullptr;
  dbFieldDescriptor* inverseField = nullptr;
  const char* inverseName = nullptr;  // interned, or null
  int storedType = tpStructure;
  int memberType = tpStructure;
  nat4 indexFlags = 0;
  nat4 storedOffset = 0;
  nat4 memberOffset = 0;
  // Structure: ring of its members; string or array: the "[]" element;
  // method member: the first member of the enclosing ring.
  dbFieldDescriptor* parts = nullptr;
  oid_t hashIndex = 0;
  oid_t treeIndex = 0;
  nat4 storedSize = 0;
  nat4 memberSize = 0;
  nat4 alignment = 0;
  dbMemberCompare compare;
  nat4 layoutFlags = 0;
  int formerType = tpAbsent;
  nat4 formerOffset = 0;
  nat4 formerSize = 0;
  dbAnyMethodTrampoline* accessor = nullptr;  // method members only
  dbArrayResize arrayResize = nullptr;        // array members only

  // A member; the kind applier that follows sets its kind.
  dbFieldDescriptor(const char* name, size_t offset, size_t size, nat4 indexFlags, const char* inverseName,
                    dbFieldDescriptor* parts = nullptr);
  // The "[]" element of a string or an array; the caller sets kind and sizes.
  explicit dbFieldDescriptor(const char* name);
  // Deletes the accessor only; rings are destroyed with destroyRing.
  ~dbFieldDescriptor();
  dbFieldDescriptor(const dbFieldDescriptor&) = delete;
  dbFieldDescriptor& operator=(const dbFieldDescriptor&) = delete;

  // ---- Kind appliers
  void setScalar(dbFieldType type);
  void setString();
  void setReference(dbTableDescriptor* target);
  void setArray(dbFieldDescriptor* element, dbArrayResize resize);
  void setStructure(dbFieldDescriptor* members);
  void setRawBinary(size_t align);
  // Describes the result kind, requires it to be a scalar, a string or a
  // reference, and raises the codes to the method forms.
  void setMethod(void (*applyResult)(dbFieldDescriptor*), dbAnyMethodTrampoline* (*makeAccessor)(dbFieldDescriptor*));

  bool isMethod() const { return memberType >= tpMethodBool && memberType <= tpMethodReference; }

  // The ring of the listed members, in order. If a kind applier fails, what
  // was built is destroyed and the exception goes on.
  static dbFieldDescriptor* describeRing(std::initializer_list<dbMemberSpec> members);
  // An element descriptor of the given size, described by apply.
  static dbFieldDescriptor* describeElement(size_t size, void (*apply)(dbFieldDescriptor*));
  // One ring: a's members, then b's. Either may be null.
  static dbFieldDescriptor* join(dbFieldDescriptor* a, dbFieldDescriptor* b);
  // Destroys a ring with everything its members own: elements, structure
  // members, method members and their accessors.
  static void destroyRing(dbFieldDescriptor* ring);

  // The member of this ring whose interned name is the pointer name.
  dbFieldDescriptor* findSymbol(const char* name);
  // The next data member of the ring that starts at ring; null at the end of
  // the ring or at the first method member, which ends every walk.
  dbFieldDescriptor* nextDataMember(const dbFieldDescriptor* ring) const {
    return next != ring && !next->isMethod() ? next : nullptr;
  }

  // ---- Record codec. Each operation works on the ring that starts at this
  // member, recursing into structures and array elements.

  // Stored size the object needs, counted on from start.
  size_t packedSize(const byte* object, size_t start) const;
  // Writes the object into record, its varying part from offset on; returns
  // the end of the varying part.
  size_t pack(byte* record, const byte* object, size_t offset) const;
  // Copies a stored record into the object, which must be a constructed one
  // (arrays free what they owned). Texts and one-to-one arrays are not
  // copied: the object points into the record, valid while the record stays
  // unchanged where it is.
  void fetch(byte* object, byte* record) const;
  // Moves the pointers of a fetched object that lie within
  // [oldBase, oldBase + oldSize] by delta, after the mapping has moved.
  void relocate(byte* object, const byte* oldBase, size_t oldSize, ptrdiff_t delta) const;
  // Sets ChangedByUpdate on every indexed member whose value in the object
  // differs from the stored record.
  void markChanges(const byte* record, const byte* object);
  // Size, counted on from start, that a record of oldSize bytes stored under
  // the former layout (formerType, formerOffset, formerSize) needs in the
  // current one; 0 when a part of it (a slot, a text or an array) lies outside
  // those bytes, or a text is not terminated, as in a damaged file.
  size_t convertedSize(const byte* oldRecord, size_t oldSize, size_t start) const;
  // Converts a record stored under the former layout into newRecord, its
  // varying part from offset on; returns the end of the varying part.
  size_t convert(byte* newRecord, const byte* oldRecord, size_t offset) const;
  // Like convertedSize and convert, for a record of the current layout
  // without one member: the member's slot and varying part are left out, for
  // the caller to fill.
  size_t varyingSizeWithout(const dbFieldDescriptor* member, const byte* record, size_t start) const;
  size_t copyWithout(const dbFieldDescriptor* member, byte* newRecord, const byte* oldRecord, size_t offset) const;

  // Whether a stored field of oldType (referencing the table named
  // oldTargetName, for a reference) can be converted into this member:
  // scalar to scalar, string to string, reference to reference of the same
  // table, equal codes above the reference code. An absent field always can.
  bool canConvertFrom(int oldType, const char* oldTargetName) const;

 private:
  // The walks behind the public operations. record is the record start (for
  // the offset words), slots the base of the stored offsets (the record, or
  // an array element's slot).
  size_t packRing(byte* record, byte* slots, const byte* object, size_t offset) const;
  void fetchRing(byte* object, byte* record, byte* slots) const;
  // fromFormer: read the old record through the former layout; otherwise
  // through the current one. skip: a member left out, or null. oldEnd: where
  // the old record ends, for a record that may be damaged (SIZE_MAX is the
  // answer when a part lies outside), or null.
  size_t sizeFrom(const byte* oldRecord, const byte* oldSlots, size_t n, bool fromFormer,
                  const dbFieldDescriptor* skip, const byte* oldEnd) const;
  size_t copyFrom(byte* newRecord, byte* newSlots, const byte* oldRecord, const byte* oldSlots, size_t offset,
                  bool fromFormer, const dbFieldDescriptor* skip) const;
};

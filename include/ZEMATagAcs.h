// ZEMATagAcs: access to the tag configuration of a control system.
//
// Two services, each reached through an abstract class and its entry points:
//
// - The read side, CZEMATagAcs: a process-wide catalogue. CZEMATagAcs::Instance() hands out the
//   one catalogue; Load() reads a whole tag database file into it in one call; afterwards
//   GetTagCount() and GetTags() answer from memory, and the CZEMATag and CZEMATagType objects it
//   hands out report names, levels, field values by kind and display information without
//   touching the database again. CZEMATagAcs::Release() destroys the catalogue and everything in
//   it.
// - The write side, CZEMAConfigAcs: a writer opened on one database file by
//   CZEMAConfigAcs::Open(). SaveTags() inserts new tags from TagRecord records; DeleteTags()
//   removes tags by name from every table. Close() ends the writer.
//
// Threads: the library creates no threads and takes no locks. Use each object from one thread at
// a time; open and close a writer on the same thread.
//
// Failures: results are plain integers (1 success, 0 failure) unless stated. A failure of the
// platform underneath that the library does not turn into a result (for example the database
// engine failing while moving to the next row) leaves Load, GetFields, SaveTags and DeleteTags as
// a PlatformError exception; rows already stored stay stored and objects already added to the
// catalogue stay there. CZEMAConfigAcs::Open throws the integer 0 when the file does not open as
// a tag database.
//
// Text is 8-bit, zero-terminated, in the process's code page (UTF-8 unless the process selected
// another locale). Field values are OLE Automation VARIANTs (see oleauto.h).
#ifndef ZEMATAGACS_H
#define ZEMATAGACS_H

#include <stddef.h>
#include <stdint.h>

#include <exception>
#include <string>

#include "oleauto.h"

class CZEMATag;
class CZEMATagType;

// Field kinds: the direction of a field in its function block.
enum {
  ZEMA_KIND_NONE = 0,    // neither input nor output
  ZEMA_KIND_ALL = 1,     // selector only: every field, whatever its kind
  ZEMA_KIND_INPUT = 2,   // an input of the function block
  ZEMA_KIND_OUTPUT = 3,  // an output of the function block
};

// One field value copied out by CZEMATag::GetFields. 56 bytes.
struct TagFieldValue {
  char name[32];     // field (column) name, zero-terminated; at most 31 bytes of text
  VARIANT value;     // a copy of the value; the caller owns it and clears it with VariantClear.
                     // It must hold a valid VARIANT (VT_EMPTY will do) before GetFields, which
                     // releases what it held first.
  int32_t kind;      // ZEMA_KIND_NONE, ZEMA_KIND_INPUT or ZEMA_KIND_OUTPUT
  int32_t reserved;  // not written
};

// The operator-display information of one field of one tag. 20 bytes.
struct TagHMIInfo {
  float SCH;        // scale high
  float SCL;        // scale low
  char EU[8];       // engineering unit: at most 7 bytes of text, zero-filled
  int32_t Decimal;  // number of decimals
};

// One field value of a tag to save. 48 bytes.
struct TagFieldEntry {
  char FieldName[32];  // column of the type's value table, zero-terminated
  VARIANT Value;       // the value to store; read only, never changed by the writer
};

// The display information of one field of a tag to save. 52 bytes.
struct TagHMIEntry {
  char FieldName[32];  // zero-terminated
  float SCH;
  float SCL;
  char EU[8];  // zero-terminated; at most 7 bytes of text
  int32_t Decimal;
};

// One tag to save: 312 bytes with 4-byte pointers, 328 with 8-byte pointers.
// The text arrays are read up to their terminating zero or to their end, whichever comes first.
struct TagRecord {
  char TagName[32];   // zero-terminated, unique by convention
  char TagDesc[256];  // zero-terminated; empty is stored as NULL
  uint8_t TagGroup;
  uint8_t AlmLevel;
  uint8_t TagLevel;
  uint8_t reserved;         // not read
  int32_t TagType;          // TypeID of the tag's type, -32768..32767
  int32_t FieldValueCount;  // entries in FieldValues; 0 or less means none
  const TagFieldEntry* FieldValues;
  int32_t HMICount;  // entries in HMIEntries; 0 or less means none
  const TagHMIEntry* HMIEntries;
};

// A failure of the platform underneath the library (database engine, conversions) that the
// library passes on instead of reporting it by result. Carries the failing result code and,
// when the failing component gave one, its source and description.
class ZEMATAGACS_API PlatformError : public std::exception {
 public:
  // errorInfo may be null; otherwise the error takes a reference of its own to it (AddRef), and
  // the caller keeps its reference. Copies share the error info, each with its own reference.
  explicit PlatformError(HRESULT code, IErrorInfo* errorInfo = nullptr);
  PlatformError(const PlatformError& other);
  PlatformError& operator=(const PlatformError& other);
  ~PlatformError() override;

  // The failing result code.
  HRESULT Error() const noexcept { return code; }
  // The error information of the failure, or null. Not AddRef'd for the caller.
  IErrorInfo* ErrorInfo() const noexcept { return errorInfo; }
  // The text of the code: the system's message, or "IDispatch error #n" / "Unknown error 0x...".
  const char* ErrorMessage() const;
  // Source and description of the error information, in the process code page ("" when none).
  std::string Source() const;
  std::string Description() const;
  const char* what() const noexcept override;

 private:
  HRESULT code;
  IErrorInfo* errorInfo;
  mutable std::string message;
  mutable bool messageReady = false;
};

// One tag type: an instance of a function block of the function block library.
class ZEMATAGACS_API CZEMATagType {
 public:
  CZEMATagType() = default;
  CZEMATagType(const CZEMATagType&) = default;
  CZEMATagType& operator=(const CZEMATagType&) { return *this; }

  // Id of the function block library (column TypeLibID; -1 when the column is missing).
  virtual int GetLibID() = 0;
  // Id of the function block within its library (column TypeModuleID; -1 when missing).
  virtual int GetModuleID() = 0;

 protected:
  ~CZEMATagType() = default;
};

// One tag of the catalogue. Owned by the catalogue; valid until CZEMATagAcs::Release().
class ZEMATAGACS_API CZEMATag {
 public:
  CZEMATag() = default;
  CZEMATag(const CZEMATag&) = default;
  CZEMATag& operator=(const CZEMATag&) { return *this; }

  // Column TagName; never null, valid as long as the tag.
  virtual const char* GetName() = 0;
  // Column TagDesc ("" for NULL); never null, valid as long as the tag.
  virtual const char* GetDesc() = 0;
  // Low 8 bits of columns TagGroup, AlmLevel and TagLevel.
  virtual uint8_t GetGroup() = 0;
  virtual uint8_t GetAlmLevel() = 0;
  virtual uint8_t GetLevel() = 0;
  // The tag's type, or null when its TagType names no type of the database.
  virtual CZEMATagType* GetType() = 0;
  // Copies the tag's field values of one kind into fields[0 .. capacity-1], in the column order
  // of the type's table, never the TagID column: kind ZEMA_KIND_ALL selects every field,
  // otherwise only the fields of that kind. *count receives how many were filled. Returns 0 (with
  // *count 0) when the tag has no type or count is null, else 1. Each filled value is a copy the
  // caller clears; fields[i].value must hold a valid VARIANT beforehand. Throws PlatformError if
  // a value cannot be copied (the records filled so far stay filled and counted).
  virtual int GetFields(int kind, int capacity, int* count, TagFieldValue* fields) = 0;
  // The number of values the tag holds, its TagID column included.
  virtual int GetFieldCount() = 0;
  // Copies the display information of field fieldName (exact, case-sensitive) into *info and
  // returns 1; returns 0 and leaves *info untouched when there is none or an argument is null.
  virtual int GetHMIInfo(const char* fieldName, TagHMIInfo* info) = 0;

 protected:
  ~CZEMATag() = default;
};

// The tag catalogue (read side): one per process.
class ZEMATAGACS_API CZEMATagAcs {
 public:
  // The catalogue; creates an empty one on the first call after start or after Release().
  // Returns null only when the library could not register itself at load.
  static CZEMATagAcs* Instance();
  // Destroys the catalogue with every tag and type in it; nothing when there is none. Pointers
  // to its tags and types become invalid.
  static void Release();

  CZEMATagAcs(const CZEMATagAcs&) = default;
  CZEMATagAcs& operator=(const CZEMATagAcs&) { return *this; }

  // Reads the tag database file at path into the catalogue and returns 1; returns 0, with the
  // catalogue unchanged, when the file does not open as a tag database or has no table
  // TagTypes. Tags and types whose ids the catalogue already holds are not replaced. Throws
  // PlatformError when the engine fails while reading; what was added before stays.
  virtual int Load(const char* path) = 0;
  // The number of tags held, tags without a type included.
  virtual int GetTagCount() = 0;
  // Fills tags[0 .. capacity-1] with the tags of type typeId (every typed tag for typeId 0) in
  // ascending TagID, sets the rest of the array to null and *count to the number filled. Tags
  // without a type are never delivered. Does nothing when count is null.
  virtual void GetTags(int typeId, int capacity, int* count, CZEMATag** tags) = 0;

 protected:
  CZEMATagAcs() = default;
  virtual ~CZEMATagAcs();
};

// The configuration writer (write side). Owned by the caller from Open() to Close().
class ZEMATAGACS_API CZEMAConfigAcs {
 public:
  // Opens a writer on the tag database file at path. Throws the integer 0 when the file does not
  // open as a database (nothing is left behind); may throw PlatformError.
  static CZEMAConfigAcs* Open(const char* path);
  // Closes the database and destroys the writer. Does nothing on a null writer.
  void Close();

  CZEMAConfigAcs(const CZEMAConfigAcs&) = default;
  CZEMAConfigAcs& operator=(const CZEMAConfigAcs&) { return *this; }

  // Inserts one new tag per record, with its display rows and its value row. Tags whose type
  // has no value table, or whose TagType lies outside -32768..32767, are taken back again.
  // Returns 0 at once (nothing written) when records is null or count is negative, else 1.
  // Each row is committed as it is stored. Throws PlatformError on a failure of the engine that
  // is not a refused row; rows stored before it stay.
  virtual int SaveTags(const TagRecord* records, int count) = 0;
  // Deletes each named tag from Tags, from every value table and from HMIInfo. Returns 0 when
  // names is null or count is negative; 1 when count is 0; otherwise whether the last name's
  // deletion from HMIInfo ran without error. May throw PlatformError.
  virtual int DeleteTags(const char* const* names, int count) = 0;

 protected:
  CZEMAConfigAcs() = default;
  virtual ~CZEMAConfigAcs();
};

// The records are binary interfaces: their layouts are fixed.
static_assert(sizeof(TagHMIInfo) == 20 && offsetof(TagHMIInfo, SCH) == 0 &&
                  offsetof(TagHMIInfo, SCL) == 4 && offsetof(TagHMIInfo, EU) == 8 &&
                  offsetof(TagHMIInfo, Decimal) == 16,
              "TagHMIInfo layout");
static_assert(sizeof(TagFieldValue) == 56 && offsetof(TagFieldValue, name) == 0 &&
                  offsetof(TagFieldValue, value) == 32 && offsetof(TagFieldValue, kind) == 48 &&
                  offsetof(TagFieldValue, reserved) == 52,
              "TagFieldValue layout");
static_assert(sizeof(TagFieldEntry) == 48 && offsetof(TagFieldEntry, FieldName) == 0 &&
                  offsetof(TagFieldEntry, Value) == 32,
              "TagFieldEntry layout");
static_assert(sizeof(TagHMIEntry) == 52 && offsetof(TagHMIEntry, FieldName) == 0 &&
                  offsetof(TagHMIEntry, SCH) == 32 && offsetof(TagHMIEntry, SCL) == 36 &&
                  offsetof(TagHMIEntry, EU) == 40 && offsetof(TagHMIEntry, Decimal) == 48,
              "TagHMIEntry layout");
static_assert(offsetof(TagRecord, TagName) == 0 && offsetof(TagRecord, TagDesc) == 32 &&
                  offsetof(TagRecord, TagGroup) == 288 && offsetof(TagRecord, AlmLevel) == 289 &&
                  offsetof(TagRecord, TagLevel) == 290 && offsetof(TagRecord, reserved) == 291 &&
                  offsetof(TagRecord, TagType) == 292 &&
                  offsetof(TagRecord, FieldValueCount) == 296,
              "TagRecord layout up to its first pointer");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(TagRecord) == 312 && offsetof(TagRecord, FieldValues) == 300 &&
                  offsetof(TagRecord, HMICount) == 304 && offsetof(TagRecord, HMIEntries) == 308,
              "TagRecord layout with 4-byte pointers");
#else
static_assert(sizeof(TagRecord) == 328 && offsetof(TagRecord, FieldValues) == 304 &&
                  offsetof(TagRecord, HMICount) == 312 && offsetof(TagRecord, HMIEntries) == 320,
              "TagRecord layout with 8-byte pointers, naturally aligned");
#endif

#endif

// Reads the user tables of a Jet image. libmdb reads the table definitions (columns, usage
// maps); the catalogue, the data pages, the rows and the values are read here from the bytes of
// the image, with every offset checked, so that every value comes through exactly and a damaged
// file is refused rather than misread.
// glib first: mdbtools.h includes it inside extern "C", where its C++ parts do not compile.
#include "platform/ado/jet/jet_reader.h"

#include <glib.h>
#include <iconv.h>
#include <mdbtools.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include "platform/ado/column_type.h"
#include "platform/ado/jet/jet_format.h"
#include "platform/ado/stored_bind.h"
#include "platform/ado/value_codec.h"
#include "platform/oleaut/dates.h"
#include "platform/oleaut/decimal.h"
#include "platform/sql/quote.h"

namespace platform {
namespace ado {
namespace jet {
namespace {

// Row offsets on a data page: the top bits are flags. A row marked 0x4000 is deleted or only
// points to where an updated row went (that row is read where it lies).
constexpr unsigned kRowOffsetMask = 0x1FFF;
constexpr unsigned kRowSkipped = 0x4000;
// A long value (memo, OLE) in a row: 12 bytes of length, flags and page/row pointer.
constexpr size_t kLongValueHeader = 12;
constexpr uint32_t kLongValueInline = 0x80000000;
constexpr uint32_t kLongValueOnePage = 0x40000000;
constexpr uint32_t kLongValueLengthMask = 0x3FFFFFFF;
// The catalogue table (MSysObjects) is defined on page 2.
constexpr uint32_t kCatalogueDefinitionPage = 2;

// Column types as the file stores them.
enum JetType : int {
  kBool = 0x01,
  kByte = 0x02,
  kShort = 0x03,
  kLong = 0x04,
  kMoney = 0x05,
  kFloat = 0x06,
  kDouble = 0x07,
  kDateTime = 0x08,
  kBinary = 0x09,
  kText = 0x0A,
  kOle = 0x0B,
  kMemo = 0x0C,
  kRepId = 0x0F,
  kNumeric = 0x10,
  kComplex = 0x12,
  kBigInt = 0x13,
};

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t U64(const unsigned char* p) { return uint64_t(U32(p)) | uint64_t(U32(p + 4)) << 32; }

// The bytes of a fixed-size value, or 0 for variable-length types.
size_t FixedSize(int type) {
  switch (type) {
    case kByte:
      return 1;
    case kShort:
      return 2;
    case kLong:
    case kFloat:
    case kComplex:
      return 4;
    case kMoney:
    case kDouble:
    case kDateTime:
    case kBigInt:
      return 8;
    case kRepId:
      return 16;
    case kNumeric:
      return 17;
    default:
      return 0;
  }
}

struct Column {
  std::string name;
  int type = 0;
  bool fixed = false;
  size_t size = 0;         // bytes the file gives the column
  unsigned number = 0;     // its bit in a row's null mask
  size_t fixedOffset = 0;  // fixed: after the row's column count
  unsigned varIndex = 0;   // variable: its slot in a row's offset table
  int precision = 0, scale = 0;
  std::string declared;
  ColumnType columnType;
};

// A range of the image: a row, a value.
struct Bytes {
  const unsigned char* data = nullptr;
  size_t size = 0;
};

// A column's value in a row: absent (NULL), or its bytes. A yes/no column is present or not.
struct Field {
  bool present = false;
  Bytes value;
};

class CImageReader {
 public:
  CImageReader(const unsigned char* bytes, size_t size, const FileFormat& format)
      : image(bytes), imageSize(size), fileFormat(format) {}
  ~CImageReader() {
    if (toUtf16 != reinterpret_cast<iconv_t>(-1)) iconv_close(toUtf16);
  }

  bool Read(sqlite3* db, const ReadProgress& progress, ReadTotals* totals, std::string* error);

 private:
  bool ReadColumns(MdbTableDef* table, std::vector<Column>* columns, std::string* error);
  // Calls visit with the fields of each row of the table, in the order the file stores them.
  using RowVisitor = std::function<bool(const std::vector<Field>& fields, std::string* error)>;
  bool ReadRows(MdbTableDef* table, const std::vector<Column>& columns, const RowVisitor& visit,
                std::string* error);
  // The pages that may hold the table's rows, in file order, from its usage map.
  void DataPages(const MdbTableDef* table, std::vector<size_t>* pages) const;
  // Where each column's value lies in a row; false when the row is damaged.
  bool CrackRow(Bytes row, const std::vector<Column>& columns, std::vector<Field>* fields) const;
  bool StoreRow(const std::vector<Column>& columns, const std::vector<Field>& fields,
                sqlite3_stmt* insert, std::string* error);
  // The user tables, from the catalogue table, into entries.
  bool ReadCatalogue(MdbHandle* mdb, std::string* error);
  bool BindValue(const Column& column, Bytes value, sqlite3_stmt* insert, int index,
                 std::string* error);
  bool LongValue(Bytes field, std::string* out, std::string* error);
  bool PageRow(uint32_t pointer, Bytes* row) const;
  void Text(Bytes bytes, std::u16string* out);

  const unsigned char* image;
  size_t imageSize;
  FileFormat fileFormat;
  iconv_t toUtf16 = reinterpret_cast<iconv_t>(-1);
  bool toUtf16Tried = false;
  std::vector<std::unique_ptr<MdbCatalogEntry>> entries;
  mutable std::vector<size_t> rowOffsets;
  std::string buffer;
  std::string longValue;
  std::u16string textValue;
};

// The Jet type name a column is declared with.
std::string DeclaredType(const Column& column, bool jet3) {
  switch (column.type) {
    case kBool:
      return "BIT";
    case kByte:
      return "BYTE";
    case kShort:
      return "SHORT";
    case kLong:
      return "LONG";
    case kMoney:
      return "CURRENCY";
    case kFloat:
      return "SINGLE";
    case kDouble:
      return "DOUBLE";
    case kDateTime:
      return "DATETIME";
    case kBinary:
      return "VARBINARY(" + std::to_string(column.size > 0 ? column.size : 255) + ")";
    case kText: {
      // Jet 4 counts the bytes of UTF-16 text.
      const size_t characters = jet3 ? column.size : column.size / 2;
      return "TEXT(" + std::to_string(characters > 0 ? characters : 255) + ")";
    }
    case kMemo:
      return "MEMO";
    case kRepId:
      return "GUID";
    case kNumeric:
      return "DECIMAL(" + std::to_string(column.precision) + "," + std::to_string(column.scale) +
             ")";
    case kComplex:
      return "LONG";
    case kBigInt:
      return "BIGINT";
    default:  // OLE objects and types this reader does not know: their bytes
      return "LONGBINARY";
  }
}

bool CImageReader::ReadColumns(MdbTableDef* table, std::vector<Column>* columns,
                               std::string* error) {
  for (unsigned k = 0; k < table->num_cols; ++k) {
    const MdbColumn* source = static_cast<const MdbColumn*>(g_ptr_array_index(table->columns, k));
    Column column;
    column.name = source->name;
    column.type = source->col_type;
    column.fixed = source->is_fixed != 0;
    column.size = source->col_size > 0 ? static_cast<size_t>(source->col_size) : 0;
    column.number = static_cast<unsigned>(source->col_num);
    column.fixedOffset = source->fixed_offset > 0 ? static_cast<size_t>(source->fixed_offset) : 0;
    column.varIndex = source->var_col_num;
    // libmdb keeps a numeric column's precision in col_scale and its scale in col_prec.
    column.precision = source->col_scale;
    column.scale = source->col_prec;
    const size_t needed = FixedSize(column.type);
    bool sound = !column.name.empty() && column.number < MDB_MAX_COLS;
    if (column.fixed)
      sound =
          sound && column.size >= needed && column.fixedOffset + column.size <= fileFormat.pageSize;
    else
      sound = sound && column.varIndex < MDB_MAX_COLS;
    if (column.type == kNumeric)
      sound = sound && column.precision >= 1 && column.precision <= 28 && column.scale >= 0 &&
              column.scale <= column.precision;
    if (!sound) {
      *error = "it is damaged (the definition of column '" + column.name + "' of table '" +
               table->name + "')";
      return false;
    }
    column.declared = DeclaredType(column, fileFormat.version == kJet3);
    if (column.type == kLong && source->is_long_auto) column.declared = "COUNTER";
    column.columnType = ColumnTypeFromDeclared(column.declared.c_str());
    columns->push_back(std::move(column));
  }
  return true;
}

// The row that a long value pointer (row number in the low byte, page above it) names.
bool CImageReader::PageRow(uint32_t pointer, Bytes* row) const {
  const size_t page = pointer >> 8, number = pointer & 0xFF;
  if (page == 0 || page >= imageSize / fileFormat.pageSize) return false;
  const unsigned char* p = image + page * fileFormat.pageSize;
  const size_t countAt = fileFormat.version == kJet3 ? 0x08 : 0x0C;
  if (p[0] != kDataPage) return false;
  const size_t rows = U16(p + countAt);
  const size_t table = countAt + 2;
  if (number >= rows || table + 2 * rows > fileFormat.pageSize) return false;
  const size_t start = U16(p + table + 2 * number) & kRowOffsetMask;
  const size_t end =
      number == 0 ? fileFormat.pageSize : U16(p + table + 2 * (number - 1)) & kRowOffsetMask;
  if (start < table + 2 * rows || start > end || end > fileFormat.pageSize) return false;
  row->data = p + start;
  row->size = end - start;
  return true;
}

// A memo or OLE value: inline, on one other page, or in a chain of rows on other pages.
bool CImageReader::LongValue(Bytes field, std::string* out, std::string* error) {
  out->clear();
  *error = "it is damaged (a memo or OLE value)";
  if (field.size < kLongValueHeader) return false;
  const uint32_t header = U32(field.data);
  const size_t length = header & kLongValueLengthMask;
  if (length > imageSize) return false;
  if (header & kLongValueInline) {
    if (length > field.size - kLongValueHeader) return false;
    out->assign(reinterpret_cast<const char*>(field.data + kLongValueHeader), length);
    return true;
  }
  uint32_t pointer = U32(field.data + 4);
  if (header & kLongValueOnePage) {
    Bytes row;
    if (!PageRow(pointer, &row) || row.size < length) return false;
    out->assign(reinterpret_cast<const char*>(row.data), length);
    return true;
  }
  // Each row of the chain begins with the pointer to the next; every row adds at least a byte,
  // so the chain ends within `length` rows, and a chain that comes back to a row is damaged.
  std::unordered_set<uint32_t> passed;
  while (out->size() < length) {
    Bytes row;
    if (!passed.insert(pointer).second || !PageRow(pointer, &row) || row.size <= 4) return false;
    pointer = U32(row.data);
    const size_t part = std::min(row.size - 4, length - out->size());
    out->append(reinterpret_cast<const char*>(row.data + 4), part);
    if (pointer == 0 && out->size() < length) return false;
  }
  return true;
}

// Text as the file stores it: Jet 3 in the file's code page; Jet 4 in UTF-16, or compressed
// (after FF FE, runs of one-byte characters and of UTF-16 characters, switched by a zero byte).
void CImageReader::Text(Bytes bytes, std::u16string* out) {
  out->clear();
  const unsigned char* p = bytes.data;
  size_t n = bytes.size;
  if (fileFormat.version != kJet3) {
    if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
      bool compressed = true;
      for (size_t i = 2; i < n;) {
        if (p[i] == 0) {
          compressed = !compressed;
          ++i;
        } else if (compressed) {
          out->push_back(p[i++]);
        } else if (i + 1 < n) {
          out->push_back(static_cast<char16_t>(U16(p + i)));
          i += 2;
        } else {
          break;
        }
      }
    } else {
      for (size_t i = 0; i + 1 < n; i += 2) out->push_back(static_cast<char16_t>(U16(p + i)));
    }
    return;
  }
  if (!toUtf16Tried) {
    toUtf16Tried = true;
    const std::string codePage = "CP" + std::to_string(fileFormat.codePage);
    if (fileFormat.codePage != 0) toUtf16 = iconv_open("UTF-16LE", codePage.c_str());
    if (toUtf16 == reinterpret_cast<iconv_t>(-1)) toUtf16 = iconv_open("UTF-16LE", "CP1252");
  }
  if (toUtf16 == reinterpret_cast<iconv_t>(-1)) {
    for (size_t i = 0; i < n; ++i) out->push_back(p[i] < 0x80 ? p[i] : 0xFFFD);
    return;
  }
  // A code page gives at most two UTF-16 units for a byte; a byte it does not map becomes U+FFFD.
  out->resize(2 * n);
  char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(p));
  char* to = reinterpret_cast<char*>(&(*out)[0]);
  size_t inLeft = n, room = out->size() * sizeof(char16_t);
  iconv(toUtf16, nullptr, nullptr, nullptr, nullptr);
  while (inLeft > 0 && iconv(toUtf16, &in, &inLeft, &to, &room) == static_cast<size_t>(-1)) {
    if (errno == E2BIG || room < sizeof(char16_t)) break;
    const char16_t replacement = 0xFFFD;
    memcpy(to, &replacement, sizeof replacement);
    to += sizeof replacement, room -= sizeof replacement;
    ++in, --inLeft;
    iconv(toUtf16, nullptr, nullptr, nullptr, nullptr);
  }
  out->resize((to - reinterpret_cast<char*>(&(*out)[0])) / sizeof(char16_t));
}

// Binds one value, converted from its bytes to the VARIANT of its column's type and stored as the
// SQLite engine stores that VARIANT.
bool CImageReader::BindValue(const Column& column, Bytes value, sqlite3_stmt* insert, int index,
                             std::string* error) {
  VARIANT v;
  VariantInit(&v);
  const unsigned char* p = value.data;
  if (value.size < FixedSize(column.type)) {
    *error = "it is damaged (a value of column '" + column.name + "')";
    return false;
  }
  switch (column.type) {
    case kByte:
      v.vt = VT_UI1, v.bVal = p[0];
      break;
    case kShort:
      v.vt = VT_I2, v.iVal = static_cast<SHORT>(U16(p));
      break;
    case kLong:
    case kComplex:
      v.vt = VT_I4, v.lVal = static_cast<LONG>(U32(p));
      break;
    case kBigInt:
      v.vt = VT_I8, v.llVal = static_cast<LONGLONG>(U64(p));
      break;
    case kMoney:
      v.vt = VT_CY, v.cyVal.int64 = static_cast<LONGLONG>(U64(p));
      break;
    case kFloat: {
      const uint32_t bits = U32(p);
      v.vt = VT_R4;
      memcpy(&v.fltVal, &bits, sizeof bits);
      break;
    }
    case kDouble:
    case kDateTime: {
      const uint64_t bits = U64(p);
      v.vt = VT_R8;
      memcpy(&v.dblVal, &bits, sizeof bits);
      // A date outside what the calendar covers keeps its number.
      if (column.type == kDateTime && IsDateInRange(v.dblVal)) v.vt = VT_DATE;
      break;
    }
    case kNumeric: {
      // A sign byte, then a 128-bit magnitude as four 32-bit words, the most significant first.
      uint128 magnitude = 0;
      for (int word = 0; word < 4; ++word) magnitude = magnitude << 32 | U32(p + 1 + 4 * word);
      if (magnitude > kDecimalMantissaLimit) {
        *error = "it is damaged (a value of column '" + column.name + "' is too large)";
        return false;
      }
      v.decVal = MakeDecimal(p[0] != 0, magnitude, column.scale);
      v.vt = VT_DECIMAL;
      break;
    }
    case kRepId: {
      char text[40];
      snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", U32(p),
               U16(p + 4), U16(p + 6), p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
      textValue.assign(text, text + strlen(text));
      break;
    }
    case kText:
      Text(value, &textValue);
      break;
    case kMemo:
      if (!LongValue(value, &longValue, error)) return false;
      Text({reinterpret_cast<const unsigned char*>(longValue.data()), longValue.size()},
           &textValue);
      break;
    case kOle:
      if (!LongValue(value, &longValue, error)) return false;
      return sqlite3_bind_blob(insert, index, longValue.data(), static_cast<int>(longValue.size()),
                               SQLITE_TRANSIENT) == SQLITE_OK;
    default:  // binary and unknown types: the bytes
      return sqlite3_bind_blob(insert, index, value.size > 0 ? value.data : p,
                               static_cast<int>(value.size), SQLITE_TRANSIENT) == SQLITE_OK;
  }
  if (column.type == kText || column.type == kMemo || column.type == kRepId) {
    v.bstrVal = SysAllocStringLen(textValue.data(), static_cast<UINT>(textValue.size()));
    if (v.bstrVal == nullptr) {
      *error = "out of memory";
      return false;
    }
    v.vt = VT_BSTR;
  }
  StoredValue stored;
  EncodeForStorage(column.columnType, v, &stored, &buffer);
  const int rc = BindStored(insert, index, stored, SQLITE_TRANSIENT);
  VariantClear(&v);
  return rc == SQLITE_OK;
}

bool CImageReader::CrackRow(Bytes row, const std::vector<Column>& columns,
                            std::vector<Field>* fields) const {
  const bool jet3 = fileFormat.version == kJet3;
  const size_t countSize = jet3 ? 1 : 2;
  const unsigned char* p = row.data;
  const size_t n = row.size;
  if (n < countSize + 1) return false;
  const size_t rowColumns = jet3 ? p[0] : U16(p);
  const size_t maskSize = (rowColumns + 7) / 8;
  if (maskSize >= n) return false;
  const unsigned char* nullMask = p + n - maskSize;
  // The variable-length values: the offset of each, and of the end of the last, from the row's
  // start, stored backwards before the null mask.
  std::vector<size_t>& offsets = rowOffsets;
  offsets.clear();
  size_t fixedEnd = n - maskSize;  // where the fixed values must end
  bool hasVariable = false;
  for (const Column& column : columns) hasVariable = hasVariable || !column.fixed;
  if (hasVariable) {
    size_t varCount, tableEnd;  // the offset table lies at and above tableEnd
    if (jet3) {
      // One byte per offset, plus a table of the offset numbers at which each further 256 bytes
      // of the row begin.
      if (n < maskSize + 2) return false;
      varCount = p[n - maskSize - 1];
      size_t jumps = (n - 1) / 256;
      const size_t jumpsEnd = n - maskSize - 1;
      if (jumpsEnd < jumps + varCount + 1 + countSize) return false;
      const size_t colPtr = jumpsEnd - jumps - 1;  // offset i at colPtr - i
      if ((colPtr - varCount) / 256 < jumps) --jumps;
      size_t jumpsUsed = 0;
      offsets.resize(varCount + 1);
      for (size_t i = 0; i <= varCount; ++i) {
        while (jumpsUsed < jumps && i == p[jumpsEnd - jumpsUsed - 1]) ++jumpsUsed;
        offsets[i] = p[colPtr - i] + 256 * jumpsUsed;
      }
      tableEnd = colPtr - varCount;
    } else {
      if (n < maskSize + 2 + countSize) return false;
      varCount = U16(p + n - maskSize - 2);
      if (n - maskSize - 2 < 2 * (varCount + 1) + countSize) return false;
      offsets.resize(varCount + 1);
      for (size_t i = 0; i <= varCount; ++i) offsets[i] = U16(p + n - maskSize - 4 - 2 * i);
      tableEnd = n - maskSize - 2 - 2 * (varCount + 1);
    }
    for (size_t i = 0; i <= varCount; ++i)
      if (offsets[i] < countSize || offsets[i] > tableEnd || (i > 0 && offsets[i] < offsets[i - 1]))
        return false;
    fixedEnd = offsets[0];
  }
  fields->assign(columns.size(), Field());
  for (size_t k = 0; k < columns.size(); ++k) {
    const Column& column = columns[k];
    Field& field = (*fields)[k];
    field.present = column.number / 8 < maskSize &&
                    (nullMask[column.number / 8] >> (column.number % 8) & 1) != 0;
    if (!field.present || column.type == kBool) continue;
    if (column.fixed) {
      const size_t start = countSize + column.fixedOffset;
      if (start + column.size <= fixedEnd) field.value = {p + start, column.size};
    } else if (column.varIndex + 1 < offsets.size()) {
      field.value = {p + offsets[column.varIndex],
                     offsets[column.varIndex + 1] - offsets[column.varIndex]};
    }
    // A value the row has no room for belongs to a column added after the row was written.
    if (field.value.data == nullptr) field.present = false;
  }
  return true;
}

bool CImageReader::StoreRow(const std::vector<Column>& columns, const std::vector<Field>& fields,
                            sqlite3_stmt* insert, std::string* error) {
  for (size_t k = 0; k < columns.size(); ++k) {
    const Column& column = columns[k];
    const int index = static_cast<int>(k) + 1;
    int rc;
    if (column.type == kBool) {
      // A yes/no value is its bit in the null mask.
      rc = sqlite3_bind_int64(insert, index, fields[k].present ? 1 : 0);
    } else if (!fields[k].present) {
      rc = sqlite3_bind_null(insert, index);
    } else {
      if (!BindValue(column, fields[k].value, insert, index, error)) return false;
      rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK) {
      *error = "out of memory";
      return false;
    }
  }
  return true;
}

void CImageReader::DataPages(const MdbTableDef* table, std::vector<size_t>* pages) const {
  pages->clear();
  const unsigned char* map = table->usage_map;
  const size_t size = map != nullptr ? table->map_sz : 0;
  const size_t pageCount = imageSize / fileFormat.pageSize;
  if (size >= 5 && map[0] == 0) {
    // A bitmap of the pages from a first page on.
    const size_t first = U32(map + 1);
    for (size_t bit = 0; bit < (size - 5) * 8 && first + bit < pageCount; ++bit)
      if (map[5 + bit / 8] >> (bit % 8) & 1) pages->push_back(first + bit);
  } else if (size >= 1 && map[0] == 1) {
    // The numbers of map pages, each a bitmap of the next run of pages after a 4-byte header.
    const size_t bitsPerPage = (fileFormat.pageSize - 4) * 8;
    for (size_t k = 0; k < (size - 1) / 4 && k * bitsPerPage < pageCount; ++k) {
      const size_t mapPage = U32(map + 1 + 4 * k);
      if (mapPage == 0 || mapPage >= pageCount) continue;
      const unsigned char* bits = image + mapPage * fileFormat.pageSize + 4;
      for (size_t bit = 0; bit < bitsPerPage && k * bitsPerPage + bit < pageCount; ++bit)
        if (bits[bit / 8] >> (bit % 8) & 1) pages->push_back(k * bitsPerPage + bit);
    }
  } else {
    // No map this reader knows: every page, of which only the table's own data pages count.
    for (size_t page = 1; page < pageCount; ++page) pages->push_back(page);
  }
}

bool CImageReader::ReadRows(MdbTableDef* table, const std::vector<Column>& columns,
                            const RowVisitor& visit, std::string* error) {
  const size_t countAt = fileFormat.version == kJet3 ? 0x08 : 0x0C;
  const size_t pageSize = fileFormat.pageSize;
  const std::string name = table->name;
  std::vector<Field> fields;
  std::vector<size_t> pages;
  DataPages(table, &pages);
  for (size_t number : pages) {
    // The map may name pages that are not this table's: they are passed over.
    const unsigned char* page = image + number * pageSize;
    if (page[0] != kDataPage || U32(page + 4) != table->entry->table_pg) continue;
    const size_t rows = U16(page + countAt);
    const size_t offsetTable = countAt + 2;
    if (offsetTable + 2 * rows > pageSize) {
      *error = "it is damaged (a data page of table '" + name + "')";
      return false;
    }
    for (size_t r = 0; r < rows; ++r) {
      const unsigned raw = U16(page + offsetTable + 2 * r);
      if (raw & kRowSkipped) continue;
      const size_t start = raw & kRowOffsetMask;
      const size_t end = r == 0 ? pageSize : U16(page + offsetTable + 2 * (r - 1)) & kRowOffsetMask;
      if (start < offsetTable + 2 * rows || start >= end || end > pageSize ||
          !CrackRow({page + start, end - start}, columns, &fields)) {
        *error = "it is damaged (a row of table '" + name + "')";
        return false;
      }
      if (!visit(fields, error)) {
        *error += " (table '" + name + "')";
        return false;
      }
    }
  }
  return true;
}

struct MdbCloser {
  void operator()(MdbHandle* mdb) const { mdb_close(mdb); }
};
struct TableFreer {
  void operator()(MdbTableDef* table) const { mdb_free_tabledef(table); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

// The definition of the table at page, with its columns; null when libmdb cannot read it.
MdbTableDef* ReadDefinition(MdbCatalogEntry* entry) {
  MdbTableDef* table = mdb_read_table(entry);
  if (table == nullptr) return nullptr;
  if (mdb_read_columns(table) == nullptr || table->columns == nullptr ||
      table->num_cols != table->columns->len) {
    mdb_free_tabledef(table);
    return nullptr;
  }
  return table;
}

bool CImageReader::ReadCatalogue(MdbHandle* mdb, std::string* error) {
  // The catalogue table is read here rather than by libmdb, which also parses every object's
  // properties and can loop forever on damaged ones.
  MdbCatalogEntry catalogue = {};
  catalogue.mdb = mdb;
  catalogue.object_type = MDB_TABLE;
  catalogue.table_pg = kCatalogueDefinitionPage;
  strcpy(catalogue.object_name, "MSysObjects");
  std::unique_ptr<MdbTableDef, TableFreer> table(ReadDefinition(&catalogue));
  std::vector<Column> columns;
  *error = "it is damaged (its catalogue cannot be read)";
  if (table == nullptr || !ReadColumns(table.get(), &columns, error)) return false;
  const auto position = [&](const char* name, int type) {
    for (size_t k = 0; k < columns.size(); ++k)
      if (columns[k].name == name && columns[k].type == type) return k;
    return columns.size();
  };
  const size_t idAt = position("Id", kLong), nameAt = position("Name", kText),
               typeAt = position("Type", kShort), flagsAt = position("Flags", kLong);
  if (idAt == columns.size() || nameAt == columns.size() || typeAt == columns.size() ||
      flagsAt == columns.size())
    return false;
  std::string utf8;
  return ReadRows(
      table.get(), columns,
      [&](const std::vector<Field>& fields, std::string*) {
        if (!fields[idAt].present || !fields[nameAt].present || !fields[typeAt].present)
          return true;
        const int type = static_cast<int16_t>(U16(fields[typeAt].value.data)) & 0x7F;
        const uint32_t flags = fields[flagsAt].present ? U32(fields[flagsAt].value.data) : 0;
        // Local tables that are neither system tables nor hidden by the engine.
        if (type != MDB_TABLE || (flags & 0x80000002) != 0) return true;
        Text(fields[nameAt].value, &textValue);
        utf8.clear();
        AppendUtf8(textValue.data(), textValue.size(), &utf8);
        auto entry = std::make_unique<MdbCatalogEntry>();
        *entry = MdbCatalogEntry();
        entry->mdb = mdb;
        entry->object_type = MDB_TABLE;
        entry->table_pg = U32(fields[idAt].value.data) & 0x00FFFFFF;
        snprintf(entry->object_name, sizeof entry->object_name, "%s", utf8.c_str());
        entries.push_back(std::move(entry));
        return true;
      },
      error);
}

bool CImageReader::Read(sqlite3* db, const ReadProgress& progress, ReadTotals* totals,
                        std::string* error) {
  // libmdb reads from its own copy: it gets a buffer it may treat as writable.
  std::vector<unsigned char> copy(image, image + imageSize);
  std::unique_ptr<MdbHandle, MdbCloser> mdb(mdb_open_buffer(copy.data(), copy.size(), MDB_NOFLAGS));
  if (mdb == nullptr) {
    *error = "libmdb does not read it";
    return false;
  }
  if (!ReadCatalogue(mdb.get(), error)) return false;
  // The tables first, so that the progress knows how many rows there are in all.
  std::vector<std::unique_ptr<MdbTableDef, TableFreer>> tables;
  long long rowsTotal = 0;
  for (const auto& entry : entries) {
    std::unique_ptr<MdbTableDef, TableFreer> table;
    if (entry->table_pg != 0 && entry->table_pg < imageSize / fileFormat.pageSize &&
        image[entry->table_pg * fileFormat.pageSize] == kTableDefinitionPage)
      table.reset(ReadDefinition(entry.get()));
    if (table == nullptr) {
      *error = std::string("it is damaged (the definition of table '") + entry->object_name + "')";
      return false;
    }
    rowsTotal += table->num_rows;
    tables.push_back(std::move(table));
  }
  if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  long long rowsDone = 0;
  bool read = true;
  for (auto& table : tables) {
    std::vector<Column> columns;
    if (!ReadColumns(table.get(), &columns, error)) {
      read = false;
      break;
    }
    std::string create = "CREATE TABLE " + sql::QuoteName(table->name) + " (";
    std::string insertSql = "INSERT INTO " + sql::QuoteName(table->name) + " VALUES (";
    for (size_t k = 0; k < columns.size(); ++k) {
      create += (k > 0 ? ", " : "") + sql::QuoteName(columns[k].name) + " " + columns[k].declared;
      insertSql += k > 0 ? ", ?" : "?";
    }
    create += ")";
    insertSql += ")";
    sqlite3_stmt* raw = nullptr;
    if (columns.empty() ||
        sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, insertSql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
      sqlite3_finalize(raw);
      *error = std::string("table '") + table->name +
               "' cannot be made: " + (columns.empty() ? "it has no columns" : sqlite3_errmsg(db));
      read = false;
      break;
    }
    std::unique_ptr<sqlite3_stmt, StatementFinalizer> insert(raw);
    read = ReadRows(
        table.get(), columns,
        [&](const std::vector<Field>& fields, std::string* why) {
          const bool stored = StoreRow(columns, fields, insert.get(), why);
          const int rc = stored ? sqlite3_step(insert.get()) : SQLITE_DONE;
          sqlite3_reset(insert.get());
          sqlite3_clear_bindings(insert.get());
          if (!stored) return false;
          if (rc != SQLITE_DONE) {
            *why = std::string("a row cannot be stored: ") + sqlite3_errmsg(db);
            return false;
          }
          if (++rowsDone % 4096 == 0 && progress) progress(rowsDone, rowsTotal);
          return true;
        },
        error);
    if (!read) break;
    if (totals != nullptr) ++totals->tables;
    if (progress) progress(rowsDone, rowsTotal);
  }
  if (read && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    read = false;
  }
  if (!read) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (totals != nullptr) *totals = ReadTotals();
    return false;
  }
  if (totals != nullptr) totals->rows = rowsDone;
  return true;
}

}  // namespace

bool ReadJetImage(const unsigned char* bytes, size_t size, sqlite3* db, std::string* error,
                  const ReadProgress& progress, ReadTotals* totals) {
  FileFormat format;
  if (!CheckImage(bytes, size, &format, error)) return false;
  error->clear();
  CImageReader reader(bytes, size, format);
  return reader.Read(db, progress, totals, error);
}

}  // namespace jet
}  // namespace ado
}  // namespace platform

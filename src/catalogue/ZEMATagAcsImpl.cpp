#include "catalogue/ZEMATagAcsImpl.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "catalogue/FBLibCatalogue.h"
#include "dbaccess/ADORecordset.h"
#include "dbaccess/Failures.h"
#include "dbaccess/PlatformError.h"
#include "halvkit.h"
#include "platform/crt/crt.h"
#include "tagdb/TagDatabase.h"
#include "tagdb/TagDbNames.h"

using tagdb::Name;
using tagdb::OpenTable;

namespace {

// A double narrowed to float by the float conversion (to nearest), which takes every value up to
// half a float step past FLT_MAX (3.4028235e38 as usually printed, too) to FLT_MAX. Values from
// there on lie beyond the float range and saturate to infinity, with their sign.
float NarrowToFloat(double value) {
  constexpr double kBeyondFloat = 0x1.ffffffp127;  // FLT_MAX + half its step: rounds up
  if (value >= kBeyondFloat) return HUGE_VALF;
  if (value <= -kBeyondFloat) return -HUGE_VALF;
  return static_cast<float>(value);
}

// The function block library catalogue read on a second thread while Load reads the tables.
// The thread makes no call on the database and touches nothing of the catalogue of tags; it is
// joined before Load leaves, on every path. When no thread can be started, the catalogue is
// read on the calling thread as the types ask for it.
class CCatalogueReadAhead {
 public:
  CCatalogueReadAhead(CFBLibCatalogue& catalogue, std::vector<std::pair<int, int>> typeIds) {
    if (typeIds.empty()) return;
    try {
      worker = std::thread([this, &catalogue, ids = std::move(typeIds)] {
        try {
          catalogue.ReadAhead(ids);
        } catch (...) {
          failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
    }
  }
  ~CCatalogueReadAhead() { Join(); }
  CCatalogueReadAhead(const CCatalogueReadAhead&) = delete;
  CCatalogueReadAhead& operator=(const CCatalogueReadAhead&) = delete;

  // Waits for the thread; true when it read the catalogue whole (or never ran).
  bool Join() {
    if (worker.joinable()) worker.join();
    return failure == nullptr;
  }
  // Waits for the thread and passes on what it threw.
  void JoinOrThrow() {
    if (!Join()) std::rethrow_exception(failure);
  }

 private:
  std::thread worker;
  std::exception_ptr failure;
};

}  // namespace

// The tags of the catalogue by TagID for the passes that look a tag up per row (value tables,
// display rows). Ids that lie close together (a plant numbered from 1) get a table indexed by
// id, one cache line per row; scattered ids keep the sorted pairs and a search.
class CZEMATagAcsImpl::CTagFinder {
 public:
  // sorted: every tag of the catalogue, in ascending TagID.
  explicit CTagFinder(std::vector<std::pair<int, CZEMATagImpl*>> sorted) {
    if (sorted.empty()) return;
    first = sorted.front().first;
    const long long range = static_cast<long long>(sorted.back().first) - first + 1;
    // The table costs 8 bytes an id in the range, the pairs 16 a tag.
    if (range <= 2 * static_cast<long long>(sorted.size()) + 64) {
      byId.assign(static_cast<size_t>(range), nullptr);
      for (const auto& entry : sorted)
        byId[static_cast<size_t>(entry.first - first)] = entry.second;
    } else {
      bySearch = std::move(sorted);
    }
  }

  // Starts a table's rows: the search begins again at the lowest id.
  void Restart() { previous = 0; }

  // The tag of tagId, or null.
  CZEMATagImpl* Find(int tagId) {
    if (!byId.empty()) {
      const long long offset = static_cast<long long>(tagId) - first;
      return offset >= 0 && offset < static_cast<long long>(byId.size())
                 ? byId[static_cast<size_t>(offset)]
                 : nullptr;
    }
    // Rows come mostly in ascending TagID, the tags of one type a few apart: the search steps
    // forward from the previous row's tag in strides that double (1, 2, 4, ...), then bisects the
    // last stride; it searches the whole array only for a row out of order.
    const size_t count = bySearch.size();
    size_t low = 0, high = count;
    if (previous < count && bySearch[previous].first <= tagId) {
      size_t bound = 1;
      while (previous + bound < count && bySearch[previous + bound].first < tagId) bound *= 2;
      low = previous + bound / 2;
      high = std::min(previous + bound + 1, count);
    }
    auto found = std::lower_bound(
        bySearch.begin() + static_cast<std::ptrdiff_t>(low),
        bySearch.begin() + static_cast<std::ptrdiff_t>(high), tagId,
        [](const std::pair<int, CZEMATagImpl*>& entry, int id) { return entry.first < id; });
    previous = static_cast<size_t>(found - bySearch.begin());
    return found != bySearch.end() && found->first == tagId ? found->second : nullptr;
  }

 private:
  int first = 0;
  std::vector<CZEMATagImpl*> byId;                      // by tagId - first; null: no tag
  std::vector<std::pair<int, CZEMATagImpl*>> bySearch;  // when byId is not used
  size_t previous = 0;
};

CZEMATagAcsImpl::~CZEMATagAcsImpl() {
  for (auto& entry : tags) delete entry.second;
  tags.clear();
  for (auto& entry : types) delete entry.second;
  types.clear();
}

void CZEMATagAcsImpl::GetTags(int typeId, int capacity, int* count, CZEMATag** result) {
  if (count == nullptr) return;
  *count = 0;
  if (capacity <= 0 || result == nullptr) return;
  for (int i = 0; i < capacity; ++i) result[i] = nullptr;
  for (const auto& entry : tags) {
    if (*count >= capacity) break;
    CZEMATagTypeImpl* tagType = entry.second->TypeImpl();
    if (tagType == nullptr) continue;
    if (typeId != 0 && tagType->TypeIdValue() != typeId) continue;
    result[(*count)++] = entry.second;
  }
}

CZEMATagImpl* CZEMATagAcsImpl::FindTag(int tagId) const {
  auto found = tags.find(tagId);
  return found == tags.end() ? nullptr : found->second;
}

CZEMATagTypeImpl* CZEMATagAcsImpl::FindType(int typeId) const {
  auto found = types.find(typeId);
  return found == types.end() ? nullptr : found->second;
}

bool CZEMATagAcsImpl::AddTag(int tagId, CZEMATagImpl* tag) {
  std::unique_ptr<CZEMATagImpl> owned(tag);
  if (!tags.emplace(tagId, owned.get()).second) return false;
  owned.release();
  return true;
}

bool CZEMATagAcsImpl::AddType(int typeId, CZEMATagTypeImpl* tagType) {
  std::unique_ptr<CZEMATagTypeImpl> owned(tagType);
  if (!types.emplace(typeId, owned.get()).second) return false;
  owned.release();
  return true;
}

int CZEMATagAcsImpl::Load(const char* path) {
  dbaccess::CallScope call;
  if (path == nullptr) {
    dbaccess::NoteFailure(dbaccess::FailureKind::kOther, "No path.");
    return 0;
  }
  // Closed when Load leaves, by return or by a PlatformError.
  const tagdb::DatabaseConnection database(OpenTagDatabaseReadOnly(path));
  if (!database) return 0;

  if (!LoadTagTypes(*database)) return 0;

  // The catalogue's files are read and parsed beside the table reads; a type gets its fields'
  // kinds once both are done, which gives what applying them right after its fields would.
  CFBLibCatalogue fbLib(hvk_GetNlsDir());
  std::vector<std::pair<int, int>> typeIds;
  typeIds.reserve(types.size());
  for (const auto& entry : types)
    typeIds.emplace_back(entry.second->GetLibID(), entry.second->GetModuleID());
  CCatalogueReadAhead readAhead(fbLib, std::move(typeIds));
  size_t typesWithFields = 0;
  try {
    for (auto& entry : types) {
      LoadTypeFields(*database, *entry.second);
      ++typesWithFields;
    }
    std::vector<std::pair<int, CZEMATagImpl*>> sorted;
    LoadTags(*database, sorted);
    // The tags added in ascending TagID are known in order already; otherwise (rows out of
    // order, a second Load) the map gives them.
    if (sorted.size() != tags.size()) sorted.assign(tags.begin(), tags.end());
    CTagFinder finder(std::move(sorted));
    for (auto& entry : types) LoadTypeValues(*database, *entry.second, finder);
    LoadHMIInfo(*database, finder);
  } catch (...) {
    // The types whose fields were read keep their kinds, as they would have had them before
    // the failure; the failure on its way wins over one of the catalogue's thread.
    if (readAhead.Join()) ApplyFieldKinds(fbLib, typesWithFields);
    throw;
  }
  readAhead.JoinOrThrow();
  ApplyFieldKinds(fbLib, types.size());
  return 1;
}

void CZEMATagAcsImpl::ApplyFieldKinds(CFBLibCatalogue& fbLib, size_t count) {
  for (auto& entry : types) {
    if (count-- == 0) break;
    fbLib.LoadFBLibCatalogue(*entry.second);
  }
}

bool CZEMATagAcsImpl::LoadTagTypes(CADODataBase& database) {
  auto recordset = OpenTable(database, Name(tagdb::TagTypesTable));
  if (!recordset) return false;
  while (!recordset->AtEndOfRecords()) {
    LONG typeId = 0, libId = -1, moduleId = -1;
    std::string typeName;
    recordset->ReadFieldLong(Name(tagdb::TypeIDColumn), typeId);
    recordset->ReadFieldText(Name(tagdb::TypeNameColumn), typeName, "");
    recordset->ReadFieldLong(Name(tagdb::TypeLibIDColumn), libId);
    recordset->ReadFieldLong(Name(tagdb::TypeModuleIDColumn), moduleId);

    auto tagType = std::make_unique<CZEMATagTypeImpl>();
    tagType->SetTypeID(typeId);
    tagType->SetTypeName(typeName);
    tagType->SetTypeLibID(libId);
    tagType->SetTypeModuleID(moduleId);
    AddType(typeId, tagType.release());
    recordset->MoveToNextRecord();
  }
  recordset->CloseRecordset();
  return true;
}

void CZEMATagAcsImpl::LoadTypeFields(CADODataBase& database, CZEMATagTypeImpl& tagType) {
  auto recordset = OpenTable(database, tagType.TypeNameRef().c_str());
  if (!recordset) return;
  const LONG columns = recordset->FieldCount();
  for (LONG i = 0; i < columns; ++i) {
    FieldInfo info;
    recordset->ReadFieldInfo(static_cast<int>(i), info);
    tagType.AddField(info.name);
  }
  recordset->CloseRecordset();
}

bool CZEMATagAcsImpl::LoadTags(CADODataBase& database,
                               std::vector<std::pair<int, CZEMATagImpl*>>& addedInOrder) {
  auto recordset = OpenTable(database, Name(tagdb::TagsTable));
  if (!recordset) return false;
  // Whether addedInOrder holds every tag of the map, in ascending TagID.
  bool inOrder = tags.empty();
  while (!recordset->AtEndOfRecords()) {
    LONG tagId = 0, tagType = 0;
    int group = 0, level = 0, almLevel = 0;
    // Read into fresh strings that the tag then takes over: one allocation per long text.
    std::string tagName, tagDesc;
    recordset->ReadFieldLong(Name(tagdb::TagIDColumn), tagId);
    recordset->ReadFieldText(Name(tagdb::TagNameColumn), tagName, "");
    recordset->ReadFieldText(Name(tagdb::TagDescColumn), tagDesc, "");
    recordset->ReadFieldLong(Name(tagdb::TagTypeColumn), tagType);
    recordset->ReadFieldInt(Name(tagdb::TagGroupColumn), group);
    recordset->ReadFieldInt(Name(tagdb::TagLevelColumn), level);
    recordset->ReadFieldInt(Name(tagdb::AlmLevelColumn), almLevel);

    // Rows come mostly in ascending TagID: a tag past the last one goes to the end of the map
    // without a search from its root; the first row of a TagID wins.
    const bool last = tags.empty() || tags.rbegin()->first < tagId;
    if (last || tags.find(tagId) == tags.end()) {
      auto tag = std::make_unique<CZEMATagImpl>();
      tag->SetName(std::move(tagName));
      tag->SetDesc(std::move(tagDesc));
      tag->SetType(FindType(tagType));
      tag->SetGroup(static_cast<uint8_t>(group & 0xFF));
      tag->SetAlmLevel(static_cast<uint8_t>(almLevel & 0xFF));
      tag->SetLevel(static_cast<uint8_t>(level & 0xFF));
      if (last) {
        CZEMATagImpl* added = tag.get();
        tags.emplace_hint(tags.end(), tagId, added);
        tag.release();  // the map holds it
        if (inOrder) addedInOrder.emplace_back(tagId, added);
      } else {
        inOrder = false;
        AddTag(tagId, tag.release());
      }
    }
    recordset->MoveToNextRecord();
  }
  recordset->CloseRecordset();
  return true;
}

void CZEMATagAcsImpl::LoadTypeValues(CADODataBase& database, CZEMATagTypeImpl& tagType,
                                     CTagFinder& finder) {
  auto recordset = OpenTable(database, tagType.TypeNameRef().c_str());
  if (!recordset) return;
  finder.Restart();
  LONG columns = -1;  // the column count, asked at the first row that has a tag
  while (!recordset->AtEndOfRecords()) {
    LONG tagId = 0;
    recordset->ReadFieldLong(Name(tagdb::TagIDColumn), tagId);
    if (CZEMATagImpl* tag = finder.Find(tagId)) {
      if (columns < 0) columns = recordset->FieldCount();
      const int count = static_cast<int>(columns > 0 ? columns : 0);
      tag->ReserveValues(static_cast<size_t>(count));
      // The row's values straight into the tag's own; a value that cannot be read stays empty,
      // so positions stay with the columns, and the reading goes on after it.
      VARIANT* values = tag->AppendEmptyValues(static_cast<size_t>(count));
      for (int at = 0; at < count;) {
        at += recordset->ReadFieldVariants(at, count - at, values + at);
        if (at < count) VariantClear(&values[at++]);
      }
    }
    recordset->MoveToNextRecord();
  }
  recordset->CloseRecordset();
}

bool CZEMATagAcsImpl::LoadHMIInfo(CADODataBase& database, CTagFinder& finder) {
  auto recordset = OpenTable(database, Name(tagdb::HMIInfoTable));
  if (!recordset) return false;
  finder.Restart();
  std::string fieldName, eu;
  while (!recordset->AtEndOfRecords()) {
    LONG tagId = 0, decimals = 0;
    double sch = 0.0, scl = 0.0;
    fieldName.clear();
    eu.clear();
    recordset->ReadFieldLong(Name(tagdb::TagIDColumn), tagId);
    recordset->ReadFieldText(Name(tagdb::FieldNameColumn), fieldName, "");
    recordset->ReadFieldDouble(Name(tagdb::SCHColumn), sch);
    recordset->ReadFieldDouble(Name(tagdb::SCLColumn), scl);
    recordset->ReadFieldText(Name(tagdb::EUColumn), eu, "");
    recordset->ReadFieldLong(Name(tagdb::DecimalColumn), decimals);

    if (CZEMATagImpl* tag = finder.Find(tagId)) {
      TagHMIInfo info;
      std::memset(&info, 0, sizeof info);
      info.SCH = NarrowToFloat(sch);
      info.SCL = NarrowToFloat(scl);
      // At most 7 bytes of the unit, never half a character; the rest of the 8 bytes stay zero.
      crt::_mbsnbcpy(reinterpret_cast<unsigned char*>(info.EU),
                     reinterpret_cast<const unsigned char*>(eu.c_str()), sizeof info.EU - 1);
      info.Decimal = decimals;
      tag->AddHMIInfo(fieldName, info);
    }
    recordset->MoveToNextRecord();
  }
  recordset->CloseRecordset();
  return true;
}

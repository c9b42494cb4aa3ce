#include "PlantDiff.h"

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <map>
#include <thread>

#include "Text.h"

namespace {

// Field name → value of a tag's value row; empty when it has none.
std::vector<std::pair<std::string, CCell>> ValueCells(const CTypeShape* type,
                                                      const CTagSnapshot& tag) {
  std::vector<std::pair<std::string, CCell>> cells;
  if (type == nullptr || !tag.hasValues) return cells;
  std::vector<CCell> decoded = DecodeCells(tag.values);
  for (size_t i = 0; i < type->fields.size() && i < decoded.size(); ++i)
    cells.emplace_back(type->fields[i].first, std::move(decoded[i]));
  return cells;
}

void CompareHead(const CTagSnapshot& from, const CTagSnapshot& to,
                 std::vector<CColumnChange>* changes) {
  if (from.head == to.head) return;
  const std::vector<CCell> a = DecodeCells(from.head), b = DecodeCells(to.head);
  for (size_t i = 0; i < kTagColumnCount; ++i) {
    if (a[i] == b[i]) continue;
    CColumnChange change;
    change.part = CColumnChange::kTag;
    change.table = "Tags";
    change.column = kTagColumns[i];
    change.before = a[i];
    change.after = b[i];
    changes->push_back(std::move(change));
  }
}

// Whether two types keep their values alike: the same name and fields. Asked for every tag of a
// plant and answered once per pair of types (their field texts are built only then).
class CShapeCache {
 public:
  bool Same(const CTypeShape* a, const CTypeShape* b) {
    if (a == nullptr || b == nullptr) return false;
    const auto key = std::make_pair(a, b);
    if (last && lastKey == key) return lastSame;
    auto found = known.find(key);
    if (found == known.end())
      found =
          known.emplace(key, EqualsNoCase(a->name, b->name) && a->FieldsText() == b->FieldsText())
              .first;
    last = true;
    lastKey = key;
    lastSame = found->second;
    return lastSame;
  }

 private:
  std::map<std::pair<const CTypeShape*, const CTypeShape*>, bool> known;
  bool last = false;
  std::pair<const CTypeShape*, const CTypeShape*> lastKey;
  bool lastSame = false;
};

void CompareValues(const CTypeShape* fromType, const CTagSnapshot& from, const CTypeShape* toType,
                   const CTagSnapshot& to, bool sameShape, std::vector<CColumnChange>* changes) {
  if (sameShape && from.hasValues == to.hasValues && from.values == to.values) return;
  const auto a = ValueCells(fromType, from), b = ValueCells(toType, to);
  const std::string table = toType != nullptr && to.hasValues ? toType->name
                            : fromType != nullptr             ? fromType->name
                                                              : "values";
  const auto add = [&](const std::string& column, const CCell* before, const CCell* after) {
    if (before != nullptr && after != nullptr && *before == *after) return;
    CColumnChange change;
    change.part = CColumnChange::kValue;
    change.table = table;
    change.column = column;
    if (before != nullptr) change.before = *before;
    if (after != nullptr) change.after = *after;
    changes->push_back(std::move(change));
  };
  if (sameShape && a.size() == b.size()) {  // the same fields in the same order
    for (size_t i = 0; i < b.size(); ++i) add(b[i].first, &a[i].second, &b[i].second);
    return;
  }
  // Fields of both sides by name, in the order of the later type, then those only before.
  for (const auto& [name, cell] : b) {
    const CCell* before = nullptr;
    for (const auto& old : a)
      if (EqualsNoCase(old.first, name)) before = &old.second;
    add(name, before, &cell);
  }
  for (const auto& [name, cell] : a) {
    bool kept = false;
    for (const auto& now : b) kept = kept || EqualsNoCase(now.first, name);
    if (!kept) add(name, &cell, nullptr);
  }
}

void CompareDisplay(const CTagSnapshot& from, const CTagSnapshot& to,
                    std::vector<CColumnChange>* changes) {
  if (from.hmi == to.hmi) return;
  const auto add = [&](const std::string& field, const std::string* before,
                       const std::string* after) {
    const std::vector<CCell> a = before != nullptr ? DecodeCells(*before) : std::vector<CCell>();
    const std::vector<CCell> b = after != nullptr ? DecodeCells(*after) : std::vector<CCell>();
    for (size_t i = 0; i < kHmiColumnCount; ++i) {
      if (before != nullptr && after != nullptr && a[i] == b[i]) continue;
      CColumnChange change;
      change.part = CColumnChange::kDisplay;
      change.table = "HMIInfo";
      change.field = field;
      change.column = kHmiColumns[i];
      if (before != nullptr) change.before = a[i];
      if (after != nullptr) change.after = b[i];
      changes->push_back(std::move(change));
    }
  };
  size_t i = 0, j = 0;
  while (i < from.hmi.size() || j < to.hmi.size()) {
    if (j == to.hmi.size() || (i < from.hmi.size() && from.hmi[i].first < to.hmi[j].first)) {
      add(from.hmi[i].first, &from.hmi[i].second, nullptr);
      ++i;
    } else if (i == from.hmi.size() || to.hmi[j].first < from.hmi[i].first) {
      add(to.hmi[j].first, nullptr, &to.hmi[j].second);
      ++j;
    } else {
      if (from.hmi[i].second != to.hmi[j].second)
        add(from.hmi[i].first, &from.hmi[i].second, &to.hmi[j].second);
      ++i;
      ++j;
    }
  }
}

std::string DescribeTypeChange(const CTypeShape& a, const CTypeShape& b) {
  std::vector<std::string> parts;
  if (a.id != b.id) parts.push_back(fmt::format("id {} → {}", a.id, b.id));
  if (a.libId != b.libId || a.moduleId != b.moduleId)
    parts.push_back(
        fmt::format("library/module {}/{} → {}/{}", a.libId, a.moduleId, b.libId, b.moduleId));
  if (a.hasTable != b.hasTable)
    parts.push_back(b.hasTable ? "value table added" : "value table removed");
  else if (a.FieldsText() != b.FieldsText())
    parts.push_back(fmt::format("fields ({}) → ({})", a.FieldsText(), b.FieldsText()));
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

}  // namespace

bool CTypeChange::OnlyLibraryModule() const {
  return kind == kChanged && from != nullptr && to != nullptr && from->id == to->id &&
         from->hasTable == to->hasTable && from->FieldsText() == to->FieldsText() &&
         (from->libId != to->libId || from->moduleId != to->moduleId);
}

std::vector<CColumnChange> TagColumns(const CPlantSnapshot& plant, const CTagSnapshot& tag) {
  std::vector<CColumnChange> columns;
  const std::vector<CCell> head = DecodeCells(tag.head);
  for (size_t i = 0; i < kTagColumnCount; ++i) {
    CColumnChange column;
    column.table = "Tags";
    column.column = kTagColumns[i];
    column.after = head[i];
    columns.push_back(std::move(column));
  }
  const CTypeShape* type = plant.TypeById(tag.typeId);
  for (auto& [name, cell] : ValueCells(type, tag)) {
    CColumnChange column;
    column.part = CColumnChange::kValue;
    column.table = type->name;
    column.column = name;
    column.after = cell;
    columns.push_back(std::move(column));
  }
  for (const auto& [field, encoded] : tag.hmi) {
    const std::vector<CCell> cells = DecodeCells(encoded);
    for (size_t i = 0; i < kHmiColumnCount; ++i) {
      CColumnChange column;
      column.part = CColumnChange::kDisplay;
      column.table = "HMIInfo";
      column.field = field;
      column.column = kHmiColumns[i];
      column.after = cells[i];
      columns.push_back(std::move(column));
    }
  }
  return columns;
}

CPlantDiff DiffPlants(const CPlantSnapshot& from, const CPlantSnapshot& to) {
  CPlantDiff diff;
  CShapeCache shapes;
  for (const CTypeShape& type : from.types) {
    const CTypeShape* other = to.TypeByName(type.name);
    if (from.TypeByName(type.name) != &type) continue;  // a repeated name: the first counts
    CTypeChange change;
    change.from = &type;
    change.to = other;
    if (other == nullptr) {
      change.kind = CTypeChange::kRemoved;
    } else {
      change.what = DescribeTypeChange(type, *other);
      if (change.what.empty()) continue;
    }
    diff.types.push_back(change);
  }
  for (const CTypeShape& type : to.types) {
    if (from.TypeByName(type.name) != nullptr || to.TypeByName(type.name) != &type) continue;
    CTypeChange change;
    change.kind = CTypeChange::kAdded;
    change.to = &type;
    diff.types.push_back(change);
  }

  for (const CTagSnapshot& tag : from.tags) {
    const CTagSnapshot* found = to.FindTag(tag.name);
    if (found == nullptr) {
      CTagChange change;
      change.kind = CTagChange::kRemoved;
      change.name = tag.name;
      change.from = &tag;
      diff.tags.push_back(std::move(change));
      ++diff.removed;
      continue;
    }
    const CTagSnapshot& other = *found;
    CTagChange change;
    change.name = tag.name;
    change.from = &tag;
    change.to = &other;
    CompareHead(tag, other, &change.columns);
    const CTypeShape* fromType = from.TypeById(tag.typeId);
    const CTypeShape* toType = to.TypeById(other.typeId);
    CompareValues(fromType, tag, toType, other, shapes.Same(fromType, toType), &change.columns);
    CompareDisplay(tag, other, &change.columns);
    if (change.columns.empty()) {
      ++diff.unchanged;
      continue;
    }
    diff.tags.push_back(std::move(change));
    ++diff.changed;
  }
  for (const CTagSnapshot& tag : to.tags) {
    if (from.FindTag(tag.name) != nullptr) continue;
    CTagChange change;
    change.kind = CTagChange::kAdded;
    change.name = tag.name;
    change.to = &tag;
    diff.tags.push_back(std::move(change));
    ++diff.added;
  }
  std::sort(diff.tags.begin(), diff.tags.end(),
            [](const CTagChange& a, const CTagChange& b) { return a.name < b.name; });
  return diff;
}

void ReadSideBySide(CPlantReader& fromReader, CPlantReader& toReader, CPlantSnapshot* from,
                    CPlantSnapshot* to) {
  std::exception_ptr failure;
  std::thread second([&] {
    try {
      toReader.Read(to);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  try {
    fromReader.Read(from);
  } catch (...) {
    second.join();
    throw;
  }
  second.join();
  if (failure) std::rethrow_exception(failure);
}

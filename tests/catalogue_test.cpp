// The in-memory catalogue: tag types with their fields and kinds, tags with their values and
// display information, and the catalogue's maps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "catalogue/ZEMATagAcsImpl.h"
#include "catalogue/ZEMATagImpl.h"
#include "catalogue/ZEMATagTypeImpl.h"
#include "platform/faults/faults.h"

namespace {

VARIANT Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

VARIANT Text(const char16_t* text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

// A type with the columns of its table, the first being TagID.
CZEMATagTypeImpl* MakeType(int id, const std::vector<std::string>& columns) {
  auto* type = new CZEMATagTypeImpl();
  type->SetTypeID(id);
  type->SetTypeName("T" + std::to_string(id));
  for (const auto& column : columns) type->AddField(column.c_str());
  return type;
}

// Fields of a tag of one kind, with the values cleared afterwards.
struct Fetched {
  int result = -1;
  int count = -1;
  std::vector<std::string> names;
  std::vector<int> kinds;
  std::vector<LONG> longs;
};

Fetched Fetch(CZEMATag& tag, int kind, int capacity) {
  std::vector<TagFieldValue> fields(static_cast<size_t>(capacity > 0 ? capacity : 1));
  for (auto& field : fields) VariantInit(&field.value);
  Fetched out;
  out.result = tag.GetFields(kind, capacity, &out.count, fields.data());
  for (int i = 0; i < out.count; ++i) {
    out.names.emplace_back(fields[i].name);
    out.kinds.push_back(fields[i].kind);
    out.longs.push_back(fields[i].value.vt == VT_I4 ? fields[i].value.lVal : -999);
  }
  for (auto& field : fields) VariantClear(&field.value);
  return out;
}

TEST(TagTypeTest, FieldKindsComeFromAttributeTextsExactly) {
  std::unique_ptr<CZEMATagTypeImpl> type(MakeType(1, {"TagID", "Setpoint", "PV", "pv", "Mode"}));
  type->SetFieldKind("PV", "in");
  EXPECT_EQ(type->FieldAt(2)->kind, ZEMA_KIND_INPUT);
  EXPECT_EQ(type->FieldAt(3)->kind, ZEMA_KIND_INPUT) << "every field of that name, any case";
  type->SetFieldKind("setpoint", "out");
  EXPECT_EQ(type->FieldAt(1)->kind, ZEMA_KIND_OUTPUT);
  type->SetFieldKind("Setpoint", "Out");
  EXPECT_EQ(type->FieldAt(1)->kind, ZEMA_KIND_NONE) << "attribute texts are case-sensitive";
  type->SetFieldKind("Mode", "IN");
  EXPECT_EQ(type->FieldAt(4)->kind, ZEMA_KIND_NONE);
  type->SetFieldKind("Mode", "in");
  type->SetFieldKind("Mode", "");
  EXPECT_EQ(type->FieldAt(4)->kind, ZEMA_KIND_NONE) << "a later empty text resets the kind";
  type->SetFieldKind("Nothing", "in");
  type->SetFieldKind(nullptr, "in");
  EXPECT_EQ(type->FieldAt(0)->kind, ZEMA_KIND_NONE);

  EXPECT_EQ(type->FieldAt(-1), nullptr);
  EXPECT_EQ(type->FieldAt(type->FieldCount()), nullptr);
  EXPECT_EQ(type->FieldCount(), 5);
}

TEST(TagTypeTest, AnEmptyTypeHasNoFieldsAndIgnoresKinds) {
  CZEMATagTypeImpl type;
  type.SetFieldKind("PV", "in");
  EXPECT_EQ(type.FieldCount(), 0);
  EXPECT_EQ(type.FieldAt(0), nullptr);
}

class TagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    type.reset(MakeType(7, {"TagID", "A", "B", "C", "D"}));
    type->SetFieldKind("A", "in");
    type->SetFieldKind("B", "out");
    type->SetFieldKind("D", "in");
    tag.SetType(type.get());
    for (LONG v : {70, 1, 2, 3, 4}) {
      VARIANT value = Long(v);
      tag.AppendValue(value);
    }
  }
  std::unique_ptr<CZEMATagTypeImpl> type;
  CZEMATagImpl tag;
};

TEST_F(TagTest, GetFieldsSelectsByKindInColumnOrderWithoutTagID) {
  Fetched all = Fetch(tag, ZEMA_KIND_ALL, 10);
  EXPECT_EQ(all.result, 1);
  EXPECT_EQ(all.names, (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(all.longs, (std::vector<LONG>{1, 2, 3, 4}));
  EXPECT_EQ(all.kinds, (std::vector<int>{2, 3, 0, 2}));

  Fetched inputs = Fetch(tag, ZEMA_KIND_INPUT, 10);
  EXPECT_EQ(inputs.names, (std::vector<std::string>{"A", "D"}));
  EXPECT_EQ(inputs.longs, (std::vector<LONG>{1, 4}));
  EXPECT_EQ(Fetch(tag, ZEMA_KIND_OUTPUT, 10).names, (std::vector<std::string>{"B"}));
  EXPECT_EQ(Fetch(tag, ZEMA_KIND_NONE, 10).names, (std::vector<std::string>{"C"}));
  EXPECT_EQ(Fetch(tag, 42, 10).count, 0);
  EXPECT_EQ(tag.GetFieldCount(), 5) << "the TagID value is counted";
}

TEST_F(TagTest, GetFieldsStopsAtCapacity) {
  Fetched two = Fetch(tag, ZEMA_KIND_ALL, 2);
  EXPECT_EQ(two.result, 1);
  EXPECT_EQ(two.names, (std::vector<std::string>{"A", "B"}));
  Fetched none = Fetch(tag, ZEMA_KIND_ALL, 0);
  EXPECT_EQ(none.result, 1);
  EXPECT_EQ(none.count, 0);
  EXPECT_EQ(Fetch(tag, ZEMA_KIND_ALL, -3).count, 0);
  int count = 5;
  EXPECT_EQ(tag.GetFields(ZEMA_KIND_ALL, 0, &count, nullptr), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(tag.GetFields(ZEMA_KIND_ALL, 3, &count, nullptr), 0) << "no array to fill";
  EXPECT_EQ(tag.GetFields(ZEMA_KIND_ALL, 3, nullptr, nullptr), 0);
}

TEST_F(TagTest, TagIdColumnIsHiddenInAnyCapitals) {
  std::unique_ptr<CZEMATagTypeImpl> odd(MakeType(8, {"tagid", "X", "TAGID"}));
  odd->SetFieldKind("TAGID", "in");
  CZEMATagImpl other;
  other.SetType(odd.get());
  for (LONG v : {1, 2, 3}) {
    VARIANT value = Long(v);
    other.AppendValue(value);
  }
  EXPECT_EQ(Fetch(other, ZEMA_KIND_ALL, 5).names, (std::vector<std::string>{"X"}));
  EXPECT_EQ(Fetch(other, ZEMA_KIND_INPUT, 5).count, 0);
}

TEST_F(TagTest, FieldsWithoutValuesAreSkipped) {
  type->AddField("E");  // the field list grew, as on a second load
  type->AddField("F");
  Fetched all = Fetch(tag, ZEMA_KIND_ALL, 10);
  EXPECT_EQ(all.names, (std::vector<std::string>{"A", "B", "C", "D"}));
}

TEST_F(TagTest, GetFieldsCopiesTextAndReleasesWhatTheCallerHeld) {
  std::unique_ptr<CZEMATagTypeImpl> textType(MakeType(9, {"TagID", "Unit"}));
  CZEMATagImpl textTag;
  textTag.SetType(textType.get());
  VARIANT id = Long(1), unit = Text(u"bar");
  textTag.AppendValue(id);
  textTag.AppendValue(unit);
  VariantClear(&unit);  // the tag holds its own copy

  TagFieldValue field;
  field.value = Text(u"previous content");  // released by the copy
  int count = 0;
  ASSERT_EQ(textTag.GetFields(ZEMA_KIND_ALL, 1, &count, &field), 1);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(field.name, "Unit");
  ASSERT_EQ(field.value.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(field.value.bstrVal), u"bar");
  VariantClear(&field.value);
}

TEST_F(TagTest, LongFieldNamesAreCutAtACharacterBoundary) {
  // 30 ASCII bytes, then a 3-byte UTF-8 character that would end at byte 33.
  std::string longName = std::string(30, 'n') + "\xE6\xB8\xA9" + "tail";
  std::unique_ptr<CZEMATagTypeImpl> longType(MakeType(10, {"TagID", longName}));
  CZEMATagImpl longTag;
  longTag.SetType(longType.get());
  VARIANT a = Long(1), b = Long(2);
  longTag.AppendValue(a);
  longTag.AppendValue(b);
  Fetched got = Fetch(longTag, ZEMA_KIND_ALL, 1);
  ASSERT_EQ(got.count, 1);
  EXPECT_EQ(got.names[0], std::string(30, 'n'));
}

TEST_F(TagTest, AFailingCopyRaisesWithTheRecordsFilledSoFar) {
  std::vector<TagFieldValue> fields(4);
  for (auto& field : fields) VariantInit(&field.value);
  platform::FaultInject("VariantCopy", E_OUTOFMEMORY, /*skip=*/2);
  int count = 0;
  try {
    tag.GetFields(ZEMA_KIND_ALL, 4, &count, fields.data());
    ADD_FAILURE() << "expected PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), E_OUTOFMEMORY);
  }
  platform::FaultClearAll();
  EXPECT_EQ(count, 2);
  EXPECT_STREQ(fields[1].name, "B");
  for (auto& field : fields) VariantClear(&field.value);
}

TEST(TagNoTypeTest, ATagWithoutTypeReportsNoFieldsButCountsItsValues) {
  CZEMATagImpl tag;
  VARIANT v = Long(3);
  tag.AppendValue(v);
  TagFieldValue field;
  VariantInit(&field.value);
  int count = 9;
  EXPECT_EQ(tag.GetFields(ZEMA_KIND_ALL, 1, &count, &field), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(tag.GetFieldCount(), 1);
  EXPECT_EQ(tag.GetType(), nullptr);
  EXPECT_STREQ(tag.GetName(), "");
  EXPECT_STREQ(tag.GetDesc(), "");
}

TEST(TagHmiTest, DisplayInformationIsExactCaseAndFirstWins) {
  CZEMATagImpl tag;
  TagHMIInfo first{100.0f, -5.0f, "degC", 2};
  TagHMIInfo second{1.0f, 0.0f, "K", 0};
  tag.AddHMIInfo("PV", first);
  tag.AddHMIInfo("PV", second);

  TagHMIInfo got;
  std::memset(&got, 0x5A, sizeof got);
  ASSERT_EQ(tag.GetHMIInfo("PV", &got), 1);
  EXPECT_EQ(got.SCH, 100.0f);
  EXPECT_EQ(got.SCL, -5.0f);
  EXPECT_STREQ(got.EU, "degC");
  EXPECT_EQ(got.Decimal, 2);

  TagHMIInfo untouched;
  std::memset(&untouched, 0x5A, sizeof untouched);
  EXPECT_EQ(tag.GetHMIInfo("pv", &untouched), 0);
  EXPECT_EQ(tag.GetHMIInfo("P", &untouched), 0);
  EXPECT_EQ(tag.GetHMIInfo(nullptr, &untouched), 0);
  EXPECT_EQ(tag.GetHMIInfo("PV", nullptr), 0);
  EXPECT_EQ(static_cast<unsigned char>(untouched.EU[0]), 0x5A);
}

TEST(CatalogueTest, GetTagsDeliversTypedTagsOfOneTypeInTagIdOrder) {
  CZEMATagAcsImpl catalogue;
  CZEMATagTypeImpl* analog = MakeType(1, {"TagID"});
  CZEMATagTypeImpl* digital = MakeType(2, {"TagID"});
  ASSERT_TRUE(catalogue.AddType(1, analog));
  ASSERT_TRUE(catalogue.AddType(2, digital));
  EXPECT_FALSE(catalogue.AddType(1, MakeType(1, {})));  // the first of an id wins
  EXPECT_EQ(catalogue.FindType(1), analog);

  const int ids[] = {30, 10, 20, 40, 5};
  CZEMATagTypeImpl* typeOf[] = {analog, digital, analog, nullptr, analog};
  for (int i = 0; i < 5; ++i) {
    auto* tag = new CZEMATagImpl();
    tag->SetName("tag" + std::to_string(ids[i]));
    tag->SetType(typeOf[i]);
    ASSERT_TRUE(catalogue.AddTag(ids[i], tag));
  }
  auto* duplicate = new CZEMATagImpl();
  duplicate->SetName("duplicate");
  EXPECT_FALSE(catalogue.AddTag(10, duplicate));
  EXPECT_STREQ(catalogue.FindTag(10)->GetName(), "tag10");
  EXPECT_EQ(catalogue.FindTag(11), nullptr);
  EXPECT_EQ(catalogue.GetTagCount(), 5) << "tags without a type are counted";

  auto names = [&](int typeId, int capacity) {
    std::vector<CZEMATag*> out(static_cast<size_t>(capacity), reinterpret_cast<CZEMATag*>(1));
    int count = -1;
    catalogue.GetTags(typeId, capacity, &count, out.data());
    std::vector<std::string> got;
    for (int i = 0; i < count; ++i) got.emplace_back(out[i]->GetName());
    for (int i = count; i < capacity; ++i) EXPECT_EQ(out[i], nullptr);
    return got;
  };
  EXPECT_EQ(names(1, 10), (std::vector<std::string>{"tag5", "tag20", "tag30"}));
  EXPECT_EQ(names(2, 10), (std::vector<std::string>{"tag10"}));
  EXPECT_EQ(names(0, 10), (std::vector<std::string>{"tag5", "tag10", "tag20", "tag30"}));
  EXPECT_EQ(names(1, 2), (std::vector<std::string>{"tag5", "tag20"}));
  EXPECT_TRUE(names(3, 4).empty());

  int count = -1;
  catalogue.GetTags(1, 0, &count, nullptr);
  EXPECT_EQ(count, 0);
  catalogue.GetTags(1, -1, &count, nullptr);
  EXPECT_EQ(count, 0);
  catalogue.GetTags(1, 5, nullptr, nullptr);  // nothing to report into: nothing happens
}

}  // namespace

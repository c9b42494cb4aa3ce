// A caller of the library: includes only the public headers and links only libZEMATagAcs.so.
// Usage: consumer [tag-database] [expected-tag-count]
// Without arguments it checks the empty catalogue; with a database it loads it and reads every
// field of every tag.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ZEMABatch.h"
#include "ZEMAGeneration.h"
#include "ZEMATagAcs.h"
#include "oleauto.h"

#define CHECK(condition)                                                           \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      return 1;                                                                    \
    }                                                                              \
  } while (0)

int main(int argc, char** argv) {
  CZEMATagAcs* catalogue = CZEMATagAcs::Instance();
  CHECK(catalogue != nullptr);
  CHECK(CZEMATagAcs::Instance() == catalogue);
  CHECK(catalogue->GetTagCount() == 0);

  VARIANT scratch;
  VariantInit(&scratch);
  scratch.vt = VT_BSTR;
  scratch.bstrVal = SysAllocString(u"scratch");
  CHECK(SysStringLen(scratch.bstrVal) == 7);
  CHECK(VariantClear(&scratch) == S_OK && scratch.vt == VT_EMPTY);

  unsigned long long generation = 7;
  CHECK(ZemaConfigGeneration(nullptr, &generation) == 0 && generation == 7);
  CHECK(ZemaConfigGeneration("/nonexistent/plant.db", &generation) == 0 && generation == 7);

  std::string firstName;
  if (argc >= 2) {
    // The generation is kept for tag database files; a server has none yet.
    const bool server = std::strstr(argv[1], "://") != nullptr;
    unsigned long long again = 0;
    if (!server) {
      CHECK(ZemaConfigGeneration(argv[1], &generation) == 1);
      CHECK(ZemaConfigGeneration(argv[1], &again) == 1 && again == generation);
    }
    CHECK(catalogue->Load(argv[1]) == 1);
    const int tagCount = catalogue->GetTagCount();
    if (argc >= 3) CHECK(tagCount == std::atoi(argv[2]));
    std::vector<CZEMATag*> tags(static_cast<size_t>(tagCount));
    int count = 0;
    catalogue->GetTags(0, tagCount, &count, tags.data());
    CHECK(count == tagCount);
    if (count > 0) firstName = tags[0]->GetName();
    long values = 0;
    std::vector<TagFieldValue> fields(64);
    for (auto& field : fields) VariantInit(&field.value);
    for (int i = 0; i < count; ++i) {
      CHECK(tags[i]->GetName()[0] != '\0');
      CHECK(tags[i]->GetType() != nullptr);
      int got = 0;
      CHECK(tags[i]->GetFields(ZEMA_KIND_ALL, 64, &got, fields.data()) == 1);
      CHECK(got == tags[i]->GetFieldCount() - 1);
      for (int f = 0; f < got; ++f) {
        CHECK(fields[f].value.vt != VT_EMPTY);
        ++values;
      }
    }
    for (auto& field : fields) VariantClear(&field.value);
    std::printf("consumer: %d tags, %ld values read\n", count, values);
  } else {
    int count = -1;
    CZEMATag* none[1] = {nullptr};
    catalogue->GetTags(0, 1, &count, none);
    CHECK(count == 0);
  }

  // The batch entry points refuse a missing writer and say so.
  char why[64] = "unchanged";
  CHECK(ZemaBeginBatch(nullptr) == 0);
  CHECK(ZemaLastError(why, sizeof why) == ZEMA_ERR_OTHER && std::strcmp(why, "No writer.") == 0);
  CHECK(ZemaCommitBatch(nullptr) == 0 && ZemaRollbackBatch(nullptr) == 0);
  CZEMATagAcs::Release();
  if (argc >= 2 && !firstName.empty()) {
    // The first tag deleted in a batch that is rolled back: the file keeps every tag.
    CZEMAConfigAcs* writer = CZEMAConfigAcs::Open(argv[1]);
    CHECK(ZemaBeginBatch(writer) == 1 && ZemaLastError(why, sizeof why) == ZEMA_ERR_NONE);
    const char* const names[] = {firstName.c_str()};
    CHECK(writer->DeleteTags(names, 1) == 1);
    CHECK(ZemaRollbackBatch(writer) == 1);
    writer->Close();
    const int before = std::atoi(argc >= 3 ? argv[2] : "0");
    CHECK(CZEMATagAcs::Instance()->Load(argv[1]) == 1);
    CHECK(argc < 3 || CZEMATagAcs::Instance()->GetTagCount() == before);
    CZEMATagAcs::Release();
  }
  // Read through volatile: the compiler must not see that the pointer is null.
  CZEMAConfigAcs* volatile noWriter = nullptr;
  noWriter->Close();
  std::printf("consumer: ok\n");
  return 0;
}

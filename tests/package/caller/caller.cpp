// A caller of the installed library: takes the catalogue, reads a tag database when given one,
// and releases the catalogue. Usage: caller [tag-database expected-tag-count]
#include <ZEMABatch.h>
#include <ZEMATagAcs.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  CZEMATagAcs* catalogue = CZEMATagAcs::Instance();
  if (catalogue == nullptr || catalogue->GetTagCount() != 0) {
    std::fprintf(stderr, "caller: no empty catalogue\n");
    return 1;
  }
  if (argc == 3) {
    if (catalogue->Load(argv[1]) != 1) {
      std::fprintf(stderr, "caller: %s did not load\n", argv[1]);
      return 1;
    }
    const int count = catalogue->GetTagCount();
    std::vector<CZEMATag*> tags(static_cast<size_t>(count) + 1);
    int typed = 0;
    catalogue->GetTags(0, count, &typed, tags.data());
    if (count != std::atoi(argv[2]) || typed != count) {
      std::fprintf(stderr, "caller: %d tags (%d typed), expected %s\n", count, typed, argv[2]);
      return 1;
    }
    TagFieldValue fields[16];
    for (TagFieldValue& field : fields) VariantInit(&field.value);
    int filled = 0;
    if (count > 0 && tags[0]->GetFields(ZEMA_KIND_ALL, 16, &filled, fields) != 1) {
      std::fprintf(stderr, "caller: GetFields failed\n");
      return 1;
    }
    for (TagFieldValue& field : fields) VariantClear(&field.value);
    std::printf("caller: %d tags; the first, %s, has %d fields\n", count,
                count > 0 ? tags[0]->GetName() : "-", filled);
  }
  if (ZemaBeginBatch(nullptr) != 0 || ZemaLastError(nullptr, 0) != ZEMA_ERR_OTHER) {
    std::fprintf(stderr, "caller: a batch without a writer\n");
    return 1;
  }
  CZEMATagAcs::Release();
  std::printf("caller: ok\n");
  return 0;
}

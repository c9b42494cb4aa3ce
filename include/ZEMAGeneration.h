// ZemaConfigGeneration: has a tag database changed since it was loaded?
//
// A running station loads its tag configuration once (CZEMATagAcs::Load) and must notice when
// someone changes it. Reading the generation costs a tiny fraction of a Load: it reads no tag
// table. The pattern:
//
//   unsigned long long loaded = 0, now = 0;
//   ZemaConfigGeneration(path, &loaded);       // before the Load, never after it
//   catalogue->Load(path);
//   every few seconds:
//     if (ZemaConfigGeneration(path, &now) == 1 && now != loaded) {
//       loaded = now;
//       (release the catalogue and) Load again
//     }
//
// Reading the generation before the Load means a write that commits in between is never lost:
// at worst the station loads once more than needed.
//
// What the number is: on a database made by `zematag init` (or given an audit trail by
// `zematag audit enable`) a counter that triggers raise in the same transaction as every write
// to the tag tables, the same for every process and below 2^63. On any other database the
// library counts, within this process, the commits that it sees between calls; those numbers
// have the top bit set and mean nothing to another process. Either way the number changes after
// every committed write that changes the tag tables (and may change on other commits too), and
// when the file is replaced by another one. Compare numbers for equality only.
//
// Threads: may be called from any thread. The library keeps a read-only connection open per
// path between calls (up to 16 paths); they close when the library unloads.
#ifndef ZEMATAGACS_GENERATION_H
#define ZEMATAGACS_GENERATION_H

#if defined(ZEMATAGACS_BUILDING)
#define ZEMATAGACS_GENERATION_API __attribute__((visibility("default")))
#else
#define ZEMATAGACS_GENERATION_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Stores the generation of the tag database file at path in *generation and returns 1. Returns
// 0 and leaves *generation unchanged when path or generation is null, the file is missing or is
// not a database, or the engine fails (a write lock held for more than a few seconds).
ZEMATAGACS_GENERATION_API int ZemaConfigGeneration(const char* path,
                                                   unsigned long long* generation);

#ifdef __cplusplus
}
#endif

#endif

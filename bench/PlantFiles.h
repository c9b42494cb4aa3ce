// Writes the files of the benchmark plant with plain SQLite and plain file output: the tag
// database, an empty database of the same layout, the function block library catalogue and a
// large catalogue-like XML document.
#ifndef ZEMA_BENCH_PLANTFILES_H
#define ZEMA_BENCH_PLANTFILES_H

#include <stddef.h>

#include <string>

namespace bench {

// Writes a tag database of `tags` tags over `types` types at path (replacing what is there), in
// one transaction, in WAL mode. With tags 0 the database holds the layout and TagTypes only.
void WritePlantDatabase(const std::string& path, int tags, int types);

// Writes nlsDir/FBLib/FBLib.xml with kCatalogueBlocks function blocks and one module file per
// type below nlsDir/FBLib/<library folder>/.
void WriteCatalogue(const std::string& nlsDir, int types);

// Writes a catalogue-like XML document of at least `bytes` bytes at path.
void WriteXmlDocument(const std::string& path, size_t bytes);

// Removes path and its -wal and -shm companions; copies a database file (whose -wal companion,
// if any, must be empty) to another path.
void RemoveDatabase(const std::string& path);
void CopyDatabase(const std::string& from, const std::string& to);

}  // namespace bench

#endif

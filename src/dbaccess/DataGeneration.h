// The generation of a database file, for the entry point of include/ZEMAGeneration.h: the data
// access layer's reader (platform/ado/generation.h) under the access layer's name.
#ifndef ZEMA_DBACCESS_DATAGENERATION_H
#define ZEMA_DBACCESS_DATAGENERATION_H

// True with *generation set; false (nothing stored) when the file does not answer.
bool ReadDataGeneration(const char* path, unsigned long long* generation);

#endif

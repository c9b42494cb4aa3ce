// The toolkit library: the one service of it that ZEMATagAcs uses.
#ifndef HALVKIT_H
#define HALVKIT_H

#ifdef __cplusplus
extern "C" {
#endif

// Returns the toolkit's language directory, without a trailing separator: the value of the
// environment variable HVK_NLS_DIR when it is set and not empty, else share/Halvkit0101/nls
// under the install prefix. The string stays valid until the next call.
__attribute__((visibility("default"))) const char* hvk_GetNlsDir(void);

#ifdef __cplusplus
}
#endif

#endif

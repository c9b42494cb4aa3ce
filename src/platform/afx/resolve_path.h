// The path that a Windows program's file name means on Linux: backslashes are separators, and a
// component whose exact case does not exist is matched without regard to ASCII case (the
// smallest matching name when there are several, so that the result does not depend on the
// order of the directory listing).
#ifndef PLATFORM_AFX_RESOLVE_PATH_H
#define PLATFORM_AFX_RESOLVE_PATH_H

#include <string>

// The existing file or directory that path names, or "" when there is none (or path is null or
// empty).
std::string AfxResolvePath(const char* path);

#endif

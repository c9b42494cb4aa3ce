// A temporary folder for one test, removed with everything in it when the object goes.
#ifndef ZEMA_TESTS_SUPPORT_TEMPDIR_H
#define ZEMA_TESTS_SUPPORT_TEMPDIR_H

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const { return path + "/" + name; }
  // Writes bytes into Path()/name (creating missing folders); returns the full path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path;
};

#endif

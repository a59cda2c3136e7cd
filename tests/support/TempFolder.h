// A uniquely named folder under /tmp that lives as long as the object: created in the
// constructor (mkdtemp, mode 0700), removed with everything in it by the destructor. Removal
// never follows symbolic links, and a failure to remove is ignored (a destructor must not
// throw; a leftover folder in /tmp is harmless). Not copyable or movable, so exactly one owner
// removes it. Path() is stable for the object's life and ends with '/'.
#pragma once

#include <string>

namespace korvane::test {

class TempFolder {
 public:
  // Throws std::runtime_error with the errno text when the folder cannot be created.
  explicit TempFolder(const std::string& prefix = "korvane-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + name; the file itself is not created.
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

}  // namespace korvane::test

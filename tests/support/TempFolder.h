// TempFolder: a uniquely named folder under the system's temporary folder that lives as long as
// the object. Created in the constructor (mkdtemp, mode 0700); removed with everything in it by
// the destructor, after giving the owner back every permission a test may have taken away.
// Removal never follows symbolic links (std::filesystem::remove_all removes a link itself, never
// what it points to), so link targets outside the folder survive the clean-up as they must
// survive the code under test; a failure to remove is ignored (a leftover folder in the
// temporary folder is harmless, and a destructor must not throw). Not copyable or movable, so
// exactly one owner removes it.
//
// The one temporary-folder helper of all the tests: header-only, so that any test binary can use
// it without linking the media helpers.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace korvane::test {

class TempFolder {
 public:
  // Throws std::invalid_argument for a prefix that is not a plain name, std::runtime_error with
  // the errno text when the folder cannot be created.
  explicit TempFolder(const std::string& prefix = "korvane-test") {
    if (prefix.empty() || prefix.find('/') != std::string::npos) {
      throw std::invalid_argument("TempFolder prefix must be a plain name, not '" + prefix + "'");
    }
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed for " + pattern + ": " + std::strerror(errno));
    }
    root_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(root_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  // `relative` inside the folder (the folder itself when empty), as a string; `trailing`
  // appends the '/' folder paths carry.
  std::string Path(const std::string& relative = {}, bool trailing = false) const {
    std::string path = relative.empty() ? root_.string() : (root_ / relative).string();
    if (trailing) path += '/';
    return path;
  }
  // A file inside the folder; the file itself is not created.
  std::string File(const std::string& name) const { return Path(name); }

  void WriteFile(const std::string& relative, const std::string& content = "data") const {
    std::ofstream(root_ / relative, std::ios::binary) << content;
  }
  void MakeFolder(const std::string& relative) const { std::filesystem::create_directories(root_ / relative); }
  void MakeLink(const std::string& relative, const std::filesystem::path& target) const {
    std::filesystem::create_symlink(target, root_ / relative);
  }
  bool Exists(const std::string& relative) const {
    return std::filesystem::exists(std::filesystem::symlink_status(root_ / relative));
  }

 private:
  std::filesystem::path root_;
};

}  // namespace korvane::test

// A fresh folder under the system's temporary folder, removed with everything in it when the
// test ends (std::filesystem::remove_all never follows symbolic links, so link targets outside
// the folder survive the clean-up as they must survive the code under test).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace korvane::test {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvane-win32-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
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
  // `relative` inside the folder, as a string; `trailing` appends the '/' folder paths carry.
  std::string Path(const std::string& relative = {}, bool trailing = false) const {
    std::string path = relative.empty() ? root_.string() : (root_ / relative).string();
    if (trailing) path += '/';
    return path;
  }

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

#include "TempFolder.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace korvane::test {

TempFolder::TempFolder(const std::string& prefix) {
  if (prefix.empty() || prefix.find('/') != std::string::npos) {
    throw std::invalid_argument("TempFolder prefix must be a plain name, not '" + prefix + "'");
  }
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed for " + pattern + ": " + std::strerror(errno));
  }
  path_ = std::string(buffer.data()) + "/";
}

TempFolder::~TempFolder() {
  // remove_all removes a symbolic link itself, never what it points to.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace korvane::test

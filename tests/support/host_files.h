// Files and folders of the host that tests make and read beside their machines.
#pragma once

#include <cstddef>
#include <string>

namespace qztest {

// The whole file as bytes; empty when it cannot be read.
std::string ReadHostFile(const std::string& path);
// Writes the bytes as the whole file, making its folder first; false when not all were written.
bool WriteHostFile(const std::string& path, const std::string& data);

// Deterministic content, so a resumed file can be compared with the whole.
std::string Pattern(size_t n);

// A fresh host folder under the temporary folder, removed with the object.
class HostDir {
 public:
  HostDir();
  ~HostDir();
  HostDir(const HostDir&) = delete;
  HostDir& operator=(const HostDir&) = delete;

  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace qztest

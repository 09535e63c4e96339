// Signed module packages, signed definition files, their check, and release folders.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qzpack {

struct PackageFile {
  std::string path;  // host file
  std::string name;  // entry name in the package
};

// Each returns an empty string on success, otherwise what went wrong.
std::string SignPackage(const std::vector<PackageFile>& files, const std::string& keyPath, const std::string& outPath);
std::string SignDefinition(const std::string& xmlPath, const std::string& keyPath, const std::string& outPath);

// Container bytes around a payload, signed with the key (a 2,048-bit RSA private key).
std::string SignContainer(const std::string& payload, const std::string& keyPath, std::string* error);

// Checks a package or definition file as the updater would, printing the verdict. Exit status:
// 0 accepted, 1 refused, 2 the certificates themselves are refused or unreadable.
int Verify(const std::string& caPath, const std::string& certPath, const std::string& file, bool definition);

struct ReleaseOptions {
  std::string agentDir, manifest, outDir;
  std::string caCert, fsCert, fsKey;
  uint32_t build = 0;           // 1 to 4294967295, signed on the definition's root
  uint32_t expiresDays = 0;     // 0: the definition does not expire
};
std::string Release(const ReleaseOptions& o);

}  // namespace qzpack

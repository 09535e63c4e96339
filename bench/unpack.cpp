// ZipArchive::UnzipSignedFile of one signed package on a throw-away simulated machine, checked
// against the source files afterwards; prints the wall time and the peak resident memory of this
// process.   bench_unpack WORKDIR CA.pem FS.crt PACKAGE.qz SOURCEDIR ENTRY...
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_machine.h"
#include "crypto/cert.h"
#include "crypto/zip_archive.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

void Copy(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

// Compares in pieces so the check adds nothing to the peak memory of the unpacking.
bool SameFile(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  for (;;) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount()) return false;
    if (!std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin())) return false;
    if (fa.gcount() == 0) return true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: bench_unpack WORKDIR CA.pem FS.crt PACKAGE.qz SOURCEDIR ENTRY...\n");
    return 2;
  }
  int result = -1;
  double seconds = 0;
  bool same = true;
  {
    qzbench::Machine machine(argv[1]);
    win::Files().CreateDirectoryW(u"C:\\in");
    win::Files().CreateDirectoryW(u"C:\\work");
    Copy(argv[2], machine.HostPath(u"C:\\in\\ca.pem"));
    Copy(argv[3], machine.HostPath(u"C:\\in\\fs.crt"));
    Copy(argv[4], machine.HostPath(u"C:\\in\\pkg.qz"));
    qz::qzRSACert ca, fs;
    if (ca.Load("C:\\in\\ca.pem", nullptr) != 0 || fs.Load("C:\\in\\fs.crt", &ca) != 0) {
      std::fprintf(stderr, "cannot load the certificates\n");
      return 1;
    }
    qz::ZipArchive zip;
    const auto start = std::chrono::steady_clock::now();
    result = zip.UnzipSignedFile(u"C:\\in\\pkg.qz", u"C:\\work", fs);
    seconds = qzbench::Seconds(start);
    for (int i = 6; i < argc; ++i) {
      const std::string out = machine.HostPath(u"C:\\work\\" + win::Utf8ToWide(argv[i]));
      if (!SameFile(std::string(argv[5]) + "/" + argv[i], out)) {
        std::fprintf(stderr, "%s differs from its source\n", argv[i]);
        same = false;
      }
    }
  }
  std::printf("result %d\nseconds %.3f\npeak_rss_mib %.1f\n", result, seconds, qzbench::PeakRssMib());
  return result == 0 && same ? 0 : 1;
}

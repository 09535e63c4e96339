// File digest through the platform (1,024-byte blocks, as the agent reads) of a large file on a
// simulated machine. Prints the host path it digested, the seconds and the hex digest; the script
// times the peer on the same file.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "bench_machine.h"
#include "crypto/digest.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_digest DIR MIB\n");
    return 2;
  }
  const uint64_t mib = std::stoull(argv[2]);
  qzbench::Machine m(argv[1]);
  const std::u16string win = u"C:\\bench\\big.bin";
  const std::string host = m.HostPath(win);
  std::filesystem::create_directories(std::filesystem::path(host).parent_path());
  {
    std::ofstream out(host, std::ios::binary);
    std::vector<char> block(1 << 20);
    std::mt19937_64 rng(42);
    for (uint64_t i = 0; i < mib; ++i) {
      for (size_t k = 0; k < block.size(); k += 8) *reinterpret_cast<uint64_t*>(&block[k]) = rng();
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  qz::Digest d{};
  auto t0 = std::chrono::steady_clock::now();
  if (!qz::DigestFile(win, &d)) {
    std::fprintf(stderr, "digest failed\n");
    return 1;
  }
  double secs = qzbench::Seconds(t0);
  std::printf("file %s\nours %.3f\ndigest %s\npeak_rss_mib %.1f\n", host.c_str(), secs,
              qz::HexEncode(d).c_str(), qzbench::PeakRssMib());
  std::fflush(stdout);
  // Keep the machine (and the file) until the script has timed the peer: it signals by closing stdin.
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  return 0;
}

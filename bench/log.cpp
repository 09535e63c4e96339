// Lines per second of the encrypted logger against the plain one, same calls, same machine.
#include <cstdio>

#include "bench_machine.h"
#include "logging/enc_logger.h"
#include "logging/logger.h"

namespace {

double LinesPerSecond(qz::Logger& log, const char16_t* folder, int lines) {
  log.SetMaxFileSize(4193280);
  if (log.Open(folder, u"bench") != 0) return 0;
  log.SetLogLevel(0);
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < lines; ++i) {
    log.Log(u"Bench", u"LinesPerSecond", 1, u"line %d of the benchmark: %s", i, u"에이전트 모듈 설치 시작");
  }
  double secs = qzbench::Seconds(t0);
  log.Close();
  return lines / secs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_log DIR LINES\n");
    return 2;
  }
  int lines = std::atoi(argv[2]);
  qzbench::Machine m(argv[1]);
  qz::Logger plain;
  qz::EncLogger enc;
  double p = LinesPerSecond(plain, u"C:\\bench\\plain", lines);
  double e = LinesPerSecond(enc, u"C:\\bench\\enc", lines);
  std::printf("plain_lines_per_s %.0f\nenc_lines_per_s %.0f\npeak_rss_mib %.1f\n", p, e, qzbench::PeakRssMib());
  return 0;
}

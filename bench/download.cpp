// WebQuery::DownloadHttps of one file on a throw-away simulated machine; prints the wall time and
// the peak resident memory of this process.   bench_download WORKDIR PORT PATH SIZE
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_machine.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transport/web_query.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_download WORKDIR PORT PATH SIZE\n");
    return 2;
  }
  const uint32_t size = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
  int32_t result = 0;
  double seconds = 0;
  {
    qzbench::Machine machine(argv[1]);
    qz::WebQuery q(30000);
    q.Initialize(nullptr);
    q.SetHost(u"127.0.0.1");
    q.SetHttpsPort(static_cast<uint32_t>(std::atoi(argv[2])));
    win::Files().CreateDirectoryW(u"C:\\dl");
    const auto start = std::chrono::steady_clock::now();
    result = q.DownloadHttps(win::Utf8ToWide(argv[3]), size, u"file.bin", u"C:\\dl", true);
    seconds = qzbench::Seconds(start);
  }
  std::printf("result %d\nseconds %.3f\npeak_rss_mib %.1f\n", result, seconds, qzbench::PeakRssMib());
  return result == static_cast<int32_t>(size) ? 0 : 1;
}

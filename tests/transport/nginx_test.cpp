// The download and resume cases against nginx, a server we did not write.
#include <gtest/gtest.h>

#include "download_table.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"

namespace {

using namespace qztest;

class NginxDownloadTest : public testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Paths, NginxDownloadTest, testing::Values("win10-x64", "vista"),
                         [](const auto& info) { return std::string(info.param) == "vista" ? "libcurl" : "WinHttp"; });

TEST_P(NginxDownloadTest, DownloadsResumeAndRename) {
  HostDir dir;
  MakeCertificate(dir);
  Nginx nginx(dir);
  ASSERT_TRUE(PortOpen(nginx.port)) << ReadHostFile(dir / "nginx/error.log");
  TestMachine m(GetParam());
  m.Enter();
  {
    qz::WebQuery q(5000);
    ASSERT_TRUE(q.Initialize(nullptr));
    q.SetHost(u"127.0.0.1");
    q.SetHttpsPort(static_cast<uint32_t>(nginx.port));
    RunDownloadTable(q, m, q.UsesCurl(), [&](const std::string& rel, const std::string& data) {
      WriteHostFile(dir / ("www/" + rel), data);
    });
  }
  m.Leave();
}

}  // namespace

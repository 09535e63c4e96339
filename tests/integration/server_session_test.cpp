// The server session against qzserver: the updater's install run binds, asks for temporary web
// usage and queries the settings; a long series of requests passes the server's stamp check and
// an altered digest does not.
#include <gtest/gtest.h>

#include "config/registry_layout.h"
#include "platform/platform.h"
#include "protocol/server_queries.h"
#include "support/fake_time.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "updater/entry.h"

using namespace qz;
using namespace qztest;

namespace {

constexpr char16_t kSetup[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
constexpr char16_t kUpdater[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c\\qzUpdater.exe";
constexpr char kGuid[] = "00112233445566778899AABBCCDDEEFF";

std::string CommandOf(const JournalEntry& e) {
  const size_t p = e.body.find("&_c=");
  return p == std::string::npos ? "" : e.body.substr(p + 4, e.body.find('&', p + 4) - p - 4);
}

TEST(ServerSession, InstallRunBindsAsksForWebUsageAndQueriesTheSettings) {
  HostDir dir;
  MakeCertificate(dir);
  QzServer server(dir, {"--set", "public_ip=203.0.113.7", "--set", "lang=1"});
  ASSERT_GT(server.httpsPort, 0);

  TestMachine m("win10-x64");
  m.Install("qzUpdater", kUpdater);
  m.Enter(u"C:\\test\\probe.exe", 32);
  const std::string cfg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV version=\"3.0\">\n"
                          "  <serial>VH-2024-0001</serial>\n  <server>127.0.0.1</server>\n  <port>" +
                          std::to_string(server.httpPort) + "</port>\n  <ssl>" + std::to_string(server.httpsPort) +
                          "</ssl>\n</tarlinLMV>";
  WriteHostFile(m.HostPath(kSetup) + "/server.cfg", cfg);

  EXPECT_EQ(m.Run(u"\"" + std::u16string(kUpdater) + u"\" --install", kSetup), kExitDone);

  std::vector<std::string> commands;
  for (const auto& e : server.Journal()) {
    commands.push_back(CommandOf(e));
    EXPECT_EQ(e.path, "/CAgentRequest");
    EXPECT_EQ(e.tls.rfind("TLSv1.", 0), 0u);
    EXPECT_NE(std::find(e.headers.begin(), e.headers.end(), "Qz-Stamp: valid"), e.headers.end()) << e.body;
    if (CommandOf(e) == "tmp_web") {
      // 203.0.113.7 in host byte order.
      EXPECT_NE(e.body.find("&id=0&ip_p=3405803783"), std::string::npos) << e.body;
    }
  }
  // Then the module work's report (this setup folder carries no agent to install).
  EXPECT_EQ(commands, (std::vector<std::string>{"public_ip", "tmp_web", "agt_cfg", "log"}));
}

TEST(ServerSession, ServerAcceptsALongSeriesAndRefusesAnAlteredDigest) {
  HostDir dir;
  MakeCertificate(dir);
  QzServer server(dir, {"--set", "client." + std::string(kGuid) + "=42"});
  ASSERT_GT(server.httpsPort, 0);
  TestMachine m("win10-x64");
  m.Enter();

  ConfigContext config;
  config.settings.agentGuid = kGuid;
  config.settings.clientId = 42;
  AgentQuery query;
  qzCryptoUtil signer;
  AgentContext ctx;
  ctx.query = &query;
  ctx.signer = &signer;
  ctx.config = &config;
  ASSERT_TRUE(query.Initialize(nullptr));
  // The transport's pauses between polls take no time; I/O waits and the clock are real.
  auto clock = std::make_unique<PauseCountingTime>();
  clock->SetNow(static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count()));
  win::Platform::Current().SetTime(std::move(clock));
  ASSERT_TRUE(SetManagerServer(ctx, "127.0.0.1", static_cast<uint32_t>(server.httpPort),
                               static_cast<uint32_t>(server.httpsPort)));
  ASSERT_TRUE(BindPublicIp(ctx));
  EXPECT_EQ(ctx.PublicIp(), "127.0.0.1");
  for (int i = 0; i < 1000; ++i) {
    QueryBuilder q;
    ASSERT_GT(QueryManagerServerSetting(ctx, q), 0) << i;
    ASSERT_EQ(ctx.langType, 1) << i;
  }

  QueryBuilder q;
  q.Begin(ctx, "agt_cfg", 42);
  std::string body(q.Body());
  const size_t th = body.find("&_th=") + 5;
  body[th] = body[th] == 'A' ? 'B' : 'A';
  std::vector<char> answer(kAnswerBufferSize);
  EXPECT_EQ(query.RequestSecure(kAgentRequestPath, body, answer, true), kServerErrorRebind1);

  const auto journal = server.Journal();
  ASSERT_EQ(journal.size(), 1002u);
  for (size_t i = 0; i + 1 < journal.size(); ++i)
    ASSERT_NE(std::find(journal[i].headers.begin(), journal[i].headers.end(), "Qz-Stamp: valid"),
              journal[i].headers.end());
  EXPECT_NE(std::find(journal.back().headers.begin(), journal.back().headers.end(),
                      "Qz-Stamp: refused (_th does not match _t)"),
            journal.back().headers.end());
}

}  // namespace

// The request envelope and body encoding, the answer checks, the session and settings queries and
// the reports to the server's log, against a scripted server.
#include <tinyxml2.h>

#include "config/registry_layout.h"
#include "config/sealed_value.h"
#include "crypto/machine_code.h"
#include "protocol/protocol_fixture.h"
#include "protocol/server_messages.h"
#include "protocol/server_queries.h"

using namespace qz;
using namespace qztest;

namespace {

class AgentQueryTest : public SessionTest {
 protected:
  AgentQueryTest() {
    ctx_.clientKey = kKeyA;
    ctx_.serverKey = kKeyB;
    signer_.SetKeyA(kKeyA);
    signer_.SetKeyB(kKeyB);
    signer_.keyA = signer_.keyB = 0;
  }
  std::map<std::string, std::string> LastForm() { return ParseBody(query_.Bodies().back()); }
};

TEST_F(AgentQueryTest, TextValuesArePercentEncodedAsForms) {
  struct Case {
    std::u16string value;
    std::string wire;
  } cases[] = {
      {u"a b&c", "a+b%26c"}, {u"é", "%C3%A9"}, {u"~", "~"}, {u"A-z.0_9", "A-z.0_9"},
      {u"100%/=", "100%25%2F%3D"}, {u"가", "%EA%B0%80"},
  };
  for (const auto& c : cases) {
    QueryBuilder q;
    ASSERT_EQ(q.Begin(ctx_, "log", 12), 0);
    ASSERT_EQ(q.AddText("msg", c.value), 0);
    const std::string body(q.Body());
    EXPECT_EQ(body.substr(body.find("&msg=") + 5), c.wire) << c.wire;
  }
}

TEST_F(AgentQueryTest, EnvelopeCarriesTheGuidStampDigestCommandAndId) {
  QueryBuilder q;
  ASSERT_EQ(q.Begin(ctx_, "agt_cfg", 0xFFFFFFFFu), 0);
  ASSERT_EQ(q.AddNumber("kind", 4096), 0);
  ASSERT_EQ(q.AddTime(18446744073709551615ull), 0);
  auto form = ParseBody(q.Body());
  EXPECT_EQ(std::string(q.Body()).rfind("_uuid=" + std::string(kGuid) + "&_t=", 0), 0u);
  EXPECT_EQ(form["_uuid"].size(), 32u);
  qzCryptoUtil client;
  client.SetKeyA(kKeyA);
  std::string th;
  client.DigestA(&th, 80, std::stoull(form["_t"]));
  EXPECT_EQ(form["_th"], th);
  EXPECT_EQ(form["_c"], "agt_cfg");
  EXPECT_EQ(form["id"], "-1");  // signed, as the server expects
  EXPECT_EQ(form["kind"], "4096");
  EXPECT_EQ(form["time"], "18446744073709551615");
  EXPECT_EQ(q.Free(), kQueryBodySize - q.Body().size());
}

TEST_F(AgentQueryTest, BodiesThatDoNotFitAreRefusedWithWhatFitKept) {
  QueryBuilder q;
  ASSERT_EQ(q.Begin(ctx_, "log", 1), 0);
  EXPECT_EQ(q.AddText("msg", std::u16string(1024, u'a')), kQueryOverflow);
  EXPECT_EQ(q.AddText("msg", std::u16string(1023, u'a')), 0);
  int rc = 0;
  while ((rc = q.AddText("m", std::u16string(1000, u'/'))) == 0) {
  }
  EXPECT_EQ(rc, kQueryOverflow);
  EXPECT_LE(q.Body().size(), kQueryBodySize);
  EXPECT_GE(q.Free(), 1u);
  EXPECT_EQ(q.AddNumber("n", 1), kQueryOverflow);
}

TEST_F(AgentQueryTest, AnswerStampTest) {
  qzCryptoUtil server;
  server.SetKeyB(kKeyB);
  std::string good;
  server.DigestB(&good, 80, 5);
  struct Case {
    std::string root;
    bool forged;
  } cases[] = {
      {"<r/>", false},
      {"<r _th=\"00\"/>", false},
      {"<r _t=\"5\"/>", false},
      {"<r _t=\"0\" _th=\"anything\"/>", false},
      {"<r _t=\"5\" _th=\"" + good + "\"/>", false},
      {"<r _t=\"5\" _th=\"WRONG\"/>", true},
  };
  for (const auto& c : cases) {
    tinyxml2::XMLDocument doc;
    doc.Parse(c.root.c_str());
    EXPECT_EQ(IsAnswerForged(ctx_, doc.RootElement()), c.forged) << c.root;
  }
}

TEST_F(AgentQueryTest, ServerErrorsAndProtocolErrorsAreLogged) {
  struct Case {
    std::string xml, line;
  } cases[] = {
      {"<r><error>denied</error></r>", "WARNING"},
      {"<r>odd answer</r>", "  FATAL"},
      {"<r><x/></r>", "  FATAL"},
  };
  const std::string texts[] = {"Server error: denied", "Protocol error: odd answer", "Protocol error found"};
  for (size_t i = 0; i < std::size(cases); ++i) {
    log_.Clear();
    tinyxml2::XMLDocument doc;
    doc.Parse(cases[i].xml.c_str());
    ProtocolError(ctx_, u"GetAgentUpdate", doc.RootElement());
    EXPECT_TRUE(log_.Has(texts[i])) << log_.text();
    EXPECT_TRUE(log_.Has(cases[i].line)) << log_.text();
  }
}

TEST_F(AgentQueryTest, ResultNames) {
  EXPECT_EQ(ResultName(0), u"No Data");
  EXPECT_EQ(ResultName(-11), u"데이터 수신 버퍼의 용량이 부족함");
  EXPECT_EQ(ResultName(-20), u"");
  EXPECT_EQ(ResultName(-21), u"정의되지 않은 에러 코드값");
  EXPECT_EQ(ResultName(-1003), u"정의되지 않은 에러 코드값");
  EXPECT_EQ(ResultName(5), u"정의되지 않은 에러 코드값");
}

TEST_F(AgentQueryTest, ClientIdChecks) {
  // The Common key must exist for the zero-ID reset.
  CommonRegKey common;
  ASSERT_EQ(OpenOrCreateKey(kCommonKey, common.put()), 0);
  auto check = [&](const std::string& cid) {
    tinyxml2::XMLDocument doc;
    const std::string xml = Stamped("<cid>" + cid + "</cid>");
    doc.Parse(xml.c_str());
    return CheckDataIntegrity(ctx_, doc.RootElement());
  };
  EXPECT_TRUE(check("0012"));
  EXPECT_FALSE(check("13"));
  EXPECT_TRUE(log_.Has("Server returns invalid client ID: 0000000D"));

  config_.settings.clientId = 5;
  EXPECT_FALSE(check("0"));
  EXPECT_EQ(config_.settings.clientId, 0u);
  uint32_t stored = 99;
  EXPECT_EQ(config_.store.ReadClientId(common, &stored), 0);
  EXPECT_EQ(stored, 0u);
  EXPECT_TRUE(log_.Has("Server returns zero client ID"));
  EXPECT_TRUE(check("0"));

  std::string altered = Stamped("<cid>12</cid>", 5);
  altered.replace(altered.find("_t=\"5\""), 6, "_t=\"6\"");
  tinyxml2::XMLDocument doc;
  doc.Parse(altered.c_str());
  config_.settings.clientId = 12;
  EXPECT_FALSE(CheckDataIntegrity(ctx_, doc.RootElement()));
  EXPECT_FALSE(CheckDataIntegrity(ctx_, nullptr));
  EXPECT_TRUE(log_.Has("Invalid server in QueryManagerServerSetting"));
}

TEST_F(AgentQueryTest, SettingsQueryDefaults) {
  struct Case {
    std::string children;
    int32_t lang;
    uint32_t menu, patchTimeOut, mir;
  } cases[] = {
      {"<cid>12</cid><langType>2</langType>", 0, 0xFFFF0, 120, 0},
      {"<cid>12</cid><langType>1</langType><patchTimeOut>0</patchTimeOut><menu>16</menu>", 1, 16, 120, 0},
      {"<cid>12</cid><langType>1</langType><patchTimeOut>30</patchTimeOut><mir_plc>7</mir_plc>", 1, 0xFFFF0, 30, 7},
  };
  for (const auto& c : cases) {
    query_.onRequest = [&](const auto&) { return Reply{0, Stamped(c.children)}; };
    QueryBuilder q;
    EXPECT_GT(QueryManagerServerSetting(ctx_, q), 0);
    EXPECT_EQ(LastForm()["_c"], "agt_cfg");
    EXPECT_EQ(LastForm()["id"], "12");
    EXPECT_EQ(ctx_.langType, c.lang) << c.children;
    EXPECT_EQ(ctx_.menu, c.menu) << c.children;
    EXPECT_EQ(ctx_.patchTimeOut, c.patchTimeOut) << c.children;
    EXPECT_EQ(ctx_.mirPlc, c.mir) << c.children;
  }
  // A failed query or a foreign client falls back to Korean.
  query_.onRequest = [&](const auto&) { return Reply{0, Stamped("<cid>99</cid><langType>1</langType>")}; };
  QueryBuilder q;
  ctx_.langType = 1;
  QueryManagerServerSetting(ctx_, q);
  EXPECT_EQ(ctx_.langType, 0);
  query_.onRequest = [&](const auto&) { return Reply{-2, {}}; };
  ctx_.langType = 1;
  EXPECT_EQ(QueryManagerServerSetting(ctx_, q), -2);
  EXPECT_EQ(ctx_.langType, 0);
  EXPECT_TRUE(log_.Has("정책서버 연결 실패: 웹 서버 연결 객체 생성에 실패함(-2, "));
}

TEST_F(AgentQueryTest, PublicIpSetsKeysOnlyWhenTheyChangeAndFollowsTheServerClock) {
  const uint64_t local = time_->GetSystemTimeMs();
  const uint64_t hourAhead = local + 3600000;
  query_.onRequest = [&](const auto&) {
    return Reply{0, "<result _t=\"" + std::to_string(hourAhead) + "\"><ip>10.1.2.3</ip><client>" + kKeyA +
                        "</client><server>" + std::string(64, 'z') + "</server></result>"};
  };
  EXPECT_TRUE(BindPublicIp(ctx_));
  EXPECT_EQ(LastForm()["_c"], "public_ip");
  EXPECT_EQ(LastForm()["id"], "0");
  EXPECT_EQ(signer_.keyA, 0);  // same key text: left as it is
  EXPECT_EQ(signer_.keyB, 1);
  EXPECT_EQ(ctx_.PublicIp(), "10.1.2.3");
  EXPECT_TRUE(IsCertificateCheckBypassed(query_));

  for (int i = 0; i < 3; ++i) {
    time_->Advance(5000);
    QueryBuilder q;
    q.Begin(ctx_, "alive", 12);
    const uint64_t t = std::stoull(ParseBody(q.Body())["_t"]);
    const uint64_t now = time_->GetSystemTimeMs();
    EXPECT_GE(t, now + 3600000 - 50);  // each stamp takes a 1 ms pause
    EXPECT_LE(t, now + 3600000 + 50);
  }

  // No ip: the public IP is cleared.
  query_.onRequest = [&](const auto&) { return Reply{0, "<result><error>busy</error></result>"}; };
  EXPECT_FALSE(BindPublicIp(ctx_));
  EXPECT_EQ(ctx_.PublicIp(), "");
  EXPECT_TRUE(log_.Has("Server error: busy"));
  query_.onRequest = [&](const auto&) { return Reply{-1003, {}}; };
  EXPECT_FALSE(BindPublicIp(ctx_));
  EXPECT_TRUE(log_.Has("IP 정보 요청 실패: 정의되지 않은 에러 코드값(-1003, "));
}

// A re-bind (the alive thread's) never turns the certificate check back on: a check that another
// thread's request runs while the public_ip request is under way still sees it bypassed.
TEST_F(AgentQueryTest, ARebindNeverTurnsTheCertificateCheckBackOn) {
  std::vector<bool> seenDuringRequest;
  query_.onRequest = [&](const auto&) {
    seenDuringRequest.push_back(IsCertificateCheckBypassed(query_));
    return Reply{0, std::string("<result><ip>10.1.2.3</ip><client>") + kKeyA + "</client></result>"};
  };
  EXPECT_FALSE(IsCertificateCheckBypassed(query_));
  EXPECT_TRUE(BindPublicIp(ctx_));
  EXPECT_TRUE(BindPublicIp(ctx_));
  query_.onRequest = [&](const auto&) {
    seenDuringRequest.push_back(IsCertificateCheckBypassed(query_));
    return Reply{-1003, {}};
  };
  EXPECT_FALSE(BindPublicIp(ctx_));
  // The first binding decides; every later one finds it decided.
  EXPECT_EQ(seenDuringRequest, (std::vector<bool>{false, true, true}));
  EXPECT_TRUE(IsCertificateCheckBypassed(query_));
}

TEST_F(AgentQueryTest, UpdateQueryNeedsEveryElement) {
  struct Case {
    std::string children;
    bool ok;
    std::string logged;
  } cases[] = {
      {"<qzu>qzUpdater.exe</qzu><chk>" + std::string(64, 'a') + "</chk><agb>331</agb>", true, ""},
      {"<qzu>qzUpdater.exe</qzu><agb>331</agb>", false, "업데이터 파일의 체크섬 값이 없음"},
      {"<qzu>qzUpdater.exe</qzu><chk>00</chk>", false, "에이전트 버전 정보가 없음"},
      {"<chk>00</chk><agb>331</agb><error>no updater</error>", false, "Server error: no updater"},
  };
  for (const auto& c : cases) {
    log_.Clear();
    query_.onRequest = [&](const auto&) { return Reply{0, Stamped(c.children)}; };
    UpdateInfo info;
    QueryBuilder q;
    EXPECT_EQ(GetUpdateInfo(ctx_, &info, q), c.ok) << c.children;
    EXPECT_EQ(LastForm()["_c"], "agt_ver");
    if (c.ok) {
      EXPECT_EQ(info.build, 331u);
    } else {
      EXPECT_TRUE(log_.Has(c.logged)) << log_.text();
    }
  }
  // A forged stamp counts as no answer.
  query_.onRequest = [&](const auto&) {
    std::string a = Stamped("<qzu>q</qzu><chk>00</chk><agb>1</agb>");
    a[a.find("_th=\"") + 5] ^= 1;
    return Reply{0, a};
  };
  UpdateInfo info;
  QueryBuilder q;
  EXPECT_FALSE(GetUpdateInfo(ctx_, &info, q));
}

TEST_F(AgentQueryTest, ReportsInTheServersLanguage) {
  query_.SetServerAddress(Ipv4HostOrder("127.0.0.1"));
  ctx_.langType = 1;
  EXPECT_TRUE(Report(ctx_, kMsgUpdateSucceeded, kReportKindNotice, 1234u));
  const std::string body = query_.Bodies().back();
  EXPECT_NE(body.find("&msg=Success+updating+agent+modules+%28Build%3A+1234%29"), std::string::npos) << body;
  auto form = LastForm();
  EXPECT_EQ(form["_c"], "log");
  EXPECT_EQ(form["server"], "2130706433");
  EXPECT_EQ(form["kind"], "1");
  EXPECT_NE(form["time"], form["_t"]);

  ctx_.langType = 0;
  EXPECT_TRUE(Report(ctx_, kMsgUpdateSucceeded, kReportKindNotice, 1234u));
  EXPECT_EQ(LastForm()["msg"], "에이전트 모듈 업데이트 성공 (Build: 1234)");
  EXPECT_NE(query_.Bodies().back().find("&msg=%EC%97%90%EC%9D%B4%EC%A0%84%ED%8A%B8+"), std::string::npos);
}

TEST_F(AgentQueryTest, UnsentReportIsKeptInTheAgentKey) {
  query_.simpleResult = -2;
  ctx_.langType = 1;
  EXPECT_FALSE(Report(ctx_, kMsgInstallFailed, kReportKindNotice));
  EXPECT_TRUE(log_.Has("Fail to send log: Fail to install agent modules (-2)"));
  RegKey agent;
  ASSERT_EQ(OpenOrCreateKey(kAgentKey, agent.put()), 0);
  std::string text, kind, when;
  // The site of an empty serial: the base key.
  qzAES base;
  base.SetPassword("");
  ASSERT_EQ(ReadSealedValue(base, agent.get(), "value17", 4096, &text), 0);
  ASSERT_EQ(ReadSealedValue(base, agent.get(), "value18", 4096, &kind), 0);
  ASSERT_EQ(ReadSealedValue(base, agent.get(), "value19", 4096, &when), 0);
  const std::u16string expected = u"Fail to install agent modules";
  ASSERT_EQ(text.size(), 2 * expected.size() + 2);
  std::u16string got;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    got += static_cast<char16_t>(static_cast<uint8_t>(text[i]) | static_cast<uint8_t>(text[i + 1]) << 8);
  EXPECT_EQ(got, expected + u'\0');
  EXPECT_EQ(kind, std::string("\x01\x00\x00\x00", 4));
  ASSERT_EQ(when.size(), 8u);
  uint64_t t = 0;
  for (int i = 7; i >= 0; --i) t = t << 8 | static_cast<uint8_t>(when[i]);
  EXPECT_EQ(t, query_.lastUnsent.time);
  EXPECT_EQ(query_.lastUnsent.kind, 1u);
}

TEST(ServerMessages, EveryRowHasBothLanguages) {
  for (size_t i = 0; i < kServerMessageCount; ++i) {
    EXPECT_FALSE(ServerMessageTable[i].korean.empty()) << i;
    EXPECT_FALSE(ServerMessageTable[i].english.empty()) << i;
    // Both columns take the same arguments.
    auto conversions = [](std::u16string_view f) {
      std::u16string out;
      for (size_t p = f.find(u'%'); p != std::u16string_view::npos; p = f.find(u'%', p + 1)) {
        size_t e = p + 1;
        while (e < f.size() && !std::isalpha(static_cast<unsigned char>(f[e] < 128 ? f[e] : 0))) ++e;
        while (e < f.size() && f[e] == u'l') ++e;
        if (e < f.size()) out += f[e];
      }
      return out;
    };
    EXPECT_EQ(conversions(ServerMessageTable[i].korean), conversions(ServerMessageTable[i].english)) << i;
  }
  EXPECT_EQ(ServerMessageTable[70].english, u"Lack of system drive(%uMb) : %s, %uMb, %uMb");
  EXPECT_EQ(ServerMessageTable[71].english, u"User Info's Renewed");
}

}  // namespace

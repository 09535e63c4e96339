#include "syscontrol/agent_stop.h"

#include <gtest/gtest.h>

#include <fstream>

#include "fixtures.h"
#include "syscontrol/agent_service.h"

namespace {

using namespace win;
using sctest::Seconds;

class AgentStop : public ::testing::Test {
 protected:
  sctest::AgentMachine m;

  void InstallAll() {
    m.Install("qzTarlinSvc", u"qzTarlinSvc.exe");
    m.Install("lmvAgent", u"lmvAgent.exe");
    m.Install("lmvAssistant", u"lmvAssistant.exe");
  }
  void StartService() {
    ASSERT_TRUE(qz::RunServiceCommand(m.ctx, u"install"));
    ASSERT_TRUE(qz::RunServiceCommand(m.ctx, u"start"));
    m.WaitForNote("qzTarlinSvc: running");
  }
  std::vector<std::string> NotesFrom(size_t from) {
    auto n = m.Notes();
    return std::vector<std::string>(n.begin() + static_cast<long>(std::min(from, n.size())), n.end());
  }
};

TEST_F(AgentStop, NothingRunningMakesNoCallAndEndsWithTheFinalPause) {
  InstallAll();
  qz::StopAllAgentProcess(m.ctx);
  EXPECT_EQ(m.time->Pauses(), std::vector<DWORD>{3000});
  EXPECT_EQ(m.Notes(), std::vector<std::string>{});
  EXPECT_EQ(m.log.Lines(), std::vector<std::string>{"TarlinUpdater::StopAllAgentProcess 2 에이전트 모듈 종료 시도"});
}

TEST_F(AgentStop, AnAgentIgnoringItsQuitIsEndedByForce) {
  InstallAll();
  m.Launch(u"lmvAgent.exe", u"-ignore", "lmvAgent: listening");
  qz::StopAllAgentProcess(m.ctx);
  // 30 s for the agent to end by itself, QuitAgent's 5 s, then the final pause.
  EXPECT_EQ(m.time->Pauses(), Seconds(30 + 5, {3000}));
  EXPECT_TRUE(m.HasNote("lmvAgent: quit requested"));
  EXPECT_TRUE(m.log.Has("AgentUtil::QuitAgent 3 에이전트 종료 대기 실패")) << m.log.Dump();
  EXPECT_TRUE(m.log.Has("TarlinUpdater::StopAllAgentProcess 3 에이전트를 강제적으로 종료함"));
  EXPECT_EQ(qz::GetProcessID(qz::kAgentProcess), 0u);
}

TEST_F(AgentStop, ARegisteredServiceIsStoppedButStaysRegistered) {
  InstallAll();
  StartService();
  m.Launch(u"lmvAssistant.exe", u"", "lmvAssistant: listening");
  size_t mark = m.Notes().size();
  qz::StopAllAgentProcess(m.ctx);
  auto notes = NotesFrom(mark);
  EXPECT_NE(std::find(notes.begin(), notes.end(), "qzTarlinSvc: stop requested"), notes.end());
  EXPECT_NE(std::find(notes.begin(), notes.end(), "qzTarlinSvc: -stop"), notes.end());
  EXPECT_NE(std::find(notes.begin(), notes.end(), "lmvAssistant: quit requested"), notes.end());
  EXPECT_TRUE(m.log.Has("보조 에이전트 종료 함수 호출 성공")) << m.log.Dump();
  EXPECT_FALSE(qz::IsServiceProcessRunning());
  EXPECT_EQ(qz::GetProcessID(qz::kAssistantProcess), 0u);
  EXPECT_TRUE(qz::IsAgentServiceInstalled());
  // One state poll, the waits after the remote request and the stop command, the assistant's 2 s,
  // QuitAssistant's look, the final pause.
  auto pauses = m.time->Pauses();
  ASSERT_GE(pauses.size(), 4u);
  EXPECT_EQ(std::vector<DWORD>(pauses.begin(), pauses.begin() + 3), (std::vector<DWORD>{1000, 2000, 3000}));
  EXPECT_EQ(pauses.back(), 3000u);
}

TEST_F(AgentStop, QuitCallsFollowTheExceptionCodes) {
  struct Case {
    const char* name;
    std::string program;  // built program installed under the process name
    std::u16string args;
    bool assistant;
    bool bound;
    bool result;
    std::vector<DWORD> pauses;  // Seconds(1): ends after answering, seen at one of the looks
    bool stillRunning;
    const char* logged;
  };
  const Case cases[] = {
      {"agent obeys", "lmvAgent", u"", false, true, true, Seconds(1), false, ""},
      {"agent ends slowly", "lmvAgent", u"-slow 2500", false, true, true, Seconds(1), false, ""},
      {"agent ignores", "lmvAgent", u"-ignore", false, true, false, Seconds(5), true, "에이전트 종료 대기 실패"},
      {"no agent endpoint (1722)", "lmvKeeper", u"", false, true, true, {}, true, ""},
      {"agent breaks the call (1726)", "lmvAgent", u"-break", false, true, false, {}, false,
       "에이전트 종료 요청 실패: 1726"},
      {"no binding", "lmvAgent", u"", false, false, false, {}, true, "에이전트 종료 요청 실패: 1702"},
      {"assistant obeys", "lmvAssistant", u"", true, true, true, Seconds(1), false, ""},
      {"assistant breaks the call (1726)", "lmvAssistant", u"-break", true, true, true, {}, false, ""},
      {"no assistant endpoint (1722)", "lmvKeeper", u"", true, true, true, {}, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sctest::AgentMachine am;
    const std::u16string process = c.assistant ? qz::kAssistantProcess : qz::kAgentProcess;
    am.Install(c.program, process);
    std::string ready = c.program == "lmvKeeper" ? "" : c.program + ": listening";
    am.Launch(process, c.args, ready);
    if (!c.bound) am.ctx.bindings = nullptr;
    bool result = c.assistant ? qz::QuitAssistant(am.ctx) : qz::QuitAgent(am.ctx);
    EXPECT_EQ(result, c.result);
    auto pauses = am.time->Pauses();
    if (c.result && c.pauses == Seconds(1)) {
      // A program that ends after answering is seen gone at one of the looks.
      EXPECT_LE(pauses.size(), 4u);
      EXPECT_EQ(pauses, Seconds(static_cast<int>(pauses.size())));
    } else {
      EXPECT_EQ(pauses, c.pauses);
    }
    if (!c.stillRunning) {
      // A process that ended or broke its call is gone once its exit is seen.
      EXPECT_TRUE(qz::WaitForProcessExit(process, 5000));
    } else {
      EXPECT_NE(qz::GetProcessID(process), 0u);
    }
    if (*c.logged) {
      EXPECT_TRUE(am.log.Has(c.logged)) << am.log.Dump();
    }
  }
}

TEST_F(AgentStop, ServiceCheckInstallsAndStartsOnlyWhatIsMissing) {
  struct Case {
    const char* name;
    bool registered;
    bool running;
    std::vector<std::string> verbs;
  };
  const Case cases[] = {
      {"registered and running", true, true, {}},
      {"registered, not running", true, false, {"qzTarlinSvc: -start"}},
      {"missing", false, false, {"qzTarlinSvc: -install", "qzTarlinSvc: -start"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sctest::AgentMachine am;
    am.Install("qzTarlinSvc", u"qzTarlinSvc.exe");
    if (c.registered) {
      ASSERT_TRUE(qz::RunServiceCommand(am.ctx, u"install"));
    }
    if (c.running) {
      ASSERT_TRUE(qz::RunServiceCommand(am.ctx, u"start"));
      am.WaitForNote("qzTarlinSvc: running");
    }
    size_t mark = am.Notes().size();
    qz::RunServiceCheckMode(am.ctx);
    std::vector<std::string> verbs;
    auto notes = am.Notes();
    for (size_t i = mark; i < notes.size(); ++i) {
      if (notes[i].rfind("qzTarlinSvc: -", 0) == 0) verbs.push_back(notes[i]);
    }
    EXPECT_EQ(verbs, c.verbs);
    EXPECT_TRUE(qz::IsAgentServiceInstalled());
    EXPECT_TRUE(qz::IsServiceProcessRunning());
  }
}

TEST_F(AgentStop, RestartEndsTheAgentAndStartsTheServiceAgain) {
  InstallAll();
  StartService();
  DWORD before = qz::GetProcessID(qz::kServiceProcess);
  m.Launch(u"lmvAgent.exe", u"", "lmvAgent: listening");
  qz::RunRestartMode(m.ctx);
  EXPECT_EQ(qz::GetProcessID(qz::kAgentProcess), 0u);
  DWORD after = qz::GetProcessID(qz::kServiceProcess);
  EXPECT_NE(after, 0u);
  EXPECT_NE(after, before);
}

TEST_F(AgentStop, StopModeAlsoRemovesTheRunningProcessProtectionDriver) {
  std::ofstream(m.machine.HostPath(m.folder + u"\\qzPrtProcX64.sys")) << "driver";
  qz::DriverService installer;
  qz::DetectPrtProc(installer);
  ASSERT_EQ(installer.InstallAndStart(), qz::kDriverDone);
  qz::DriverRecords records;
  qz::RunStopMode(m.ctx, records);
  qz::DriverService probe;
  EXPECT_EQ(qz::DetectPrtProc(probe), qz::kProbeStopped);
  EXPECT_FALSE(probe.IsRunning());
}

TEST(ServiceCommand, RunsTheQuotedProgramOfTheInstallFolder) {
  sctest::AgentMachine m;
  EXPECT_EQ(qz::ServiceCommandLine(m.folder, u"start"),
            u"\"C:\\Program Files (x86)\\varnholt\\KSM\\qzTarlinSvc.exe\" -start");
  EXPECT_FALSE(qz::RunServiceCommand(m.ctx, u"install"));  // no program yet
  m.Install("qzTarlinSvc", u"qzTarlinSvc.exe");
  // A planted C:\Program.exe would run for an unquoted path.
  m.machine.Install("wsprobe", u"C:\\Program.exe");
  EXPECT_TRUE(qz::RunServiceCommand(m.ctx, u"install"));
  EXPECT_TRUE(m.HasNote("qzTarlinSvc: -install"));
  EXPECT_TRUE(qz::IsAgentServiceInstalled());

  qz::SysContext unreadable = m.ctx;
  unreadable.readInstallFolder = [](const qz::CommonRegKey&, std::u16string*) { return false; };
  EXPECT_FALSE(qz::RunServiceCommand(unreadable, u"start"));
  Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt");
  EXPECT_FALSE(qz::RunServiceCommand(m.ctx, u"start"));
  EXPECT_FALSE(qz::IsServiceProcessRunning());
}

}  // namespace

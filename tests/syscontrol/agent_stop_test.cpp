#include "syscontrol/agent_stop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
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

int CountProcesses(std::u16string_view image) {
  std::vector<PROCESSENTRY32W> entries;
  Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &entries);
  int n = 0;
  for (const auto& e : entries) n += EqualsNoCase(e.szExeFile, image) ? 1 : 0;
  return n;
}

// A program that serves no endpoint answers the quit call with 1722, which counts as a success:
// every copy that is still there must be ended all the same.
TEST_F(AgentStop, EveryCopyOfAProgramThatQuitWithoutEndingIsEndedByForce) {
  struct Case {
    const char16_t* process;
    const char* quitLogged;
    const char* forceLogged;
  };
  const Case cases[] = {
      {qz::kAgentProcess, "에이전트 종료 함수 호출 성공", "TarlinUpdater::StopAllAgentProcess 3 에이전트를 강제적으로 종료함"},
      {qz::kAssistantProcess, "보조 에이전트 종료 함수 호출 성공",
       "TarlinUpdater::StopAllAgentProcess 3 보조 에이전트를 강제 종료함"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.process));
    sctest::AgentMachine am;
    am.Install("lmvKeeper", c.process);
    am.Launch(c.process);
    am.Launch(c.process);
    ASSERT_EQ(CountProcesses(c.process), 2);
    qz::StopAllAgentProcess(am.ctx);
    // Ended processes leave the snapshot once their end is seen.
    EXPECT_TRUE(qz::WaitForProcessExit(c.process, 5000));
    EXPECT_EQ(CountProcesses(c.process), 0);
    EXPECT_TRUE(am.log.Has(c.quitLogged)) << am.log.Dump();
    EXPECT_TRUE(am.log.Has(c.forceLogged)) << am.log.Dump();
  }
}

TEST_F(AgentStop, KillProcessByNameEndsEveryCopy) {
  m.Install("lmvKeeper", u"lmvKeeper.exe");
  for (int i = 0; i < 3; ++i) m.Launch(u"lmvKeeper.exe");
  ASSERT_EQ(CountProcesses(u"lmvKeeper.exe"), 3);
  EXPECT_TRUE(qz::KillProcessByName(u"lmvKeeper.exe"));
  // Ended processes leave the snapshot once their end is seen.
  EXPECT_TRUE(qz::WaitForProcessExit(u"lmvKeeper.exe", 5000));
  EXPECT_EQ(CountProcesses(u"lmvKeeper.exe"), 0);
  EXPECT_TRUE(qz::KillProcessByName(u"lmvKeeper.exe"));  // none left: nothing to do
}

// Passes every call on, except that one process cannot be opened, as a protected one cannot.
class OneProtectedProcess : public IProcesses {
 public:
  OneProtectedProcess(std::unique_ptr<IProcesses> inner, DWORD pid) : inner_(std::move(inner)), pid_(pid) {}
  std::unique_ptr<IProcesses> Release() { return std::move(inner_); }

  BOOL SnapshotProcesses(DWORD f, std::vector<PROCESSENTRY32W>* e) override { return inner_->SnapshotProcesses(f, e); }
  BOOL ProcessIdToSessionId(DWORD pid, DWORD* s) override { return inner_->ProcessIdToSessionId(pid, s); }
  HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) override {
    if (pid == pid_) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    return inner_->OpenProcess(access, inherit, pid);
  }
  BOOL TerminateProcess(HANDLE p, UINT c) override { return inner_->TerminateProcess(p, c); }
  BOOL GetExitCodeProcess(HANDLE p, DWORD* c) override { return inner_->GetExitCodeProcess(p, c); }
  DWORD GetProcessId(HANDLE p) override { return inner_->GetProcessId(p); }
  BOOL CreateProcessW(std::u16string_view a, std::u16string_view c, DWORD f, std::u16string_view d,
                      const STARTUPINFOW& s, PROCESS_INFORMATION* i) override {
    return inner_->CreateProcessW(a, c, f, d, s, i);
  }
  BOOL ShellExecuteExW(SHELLEXECUTEINFOW* i) override { return inner_->ShellExecuteExW(i); }
  DWORD GetCurrentProcessId() override { return inner_->GetCurrentProcessId(); }
  std::u16string GetCommandLineW() override { return inner_->GetCommandLineW(); }
  [[noreturn]] void ExitProcess(UINT c) override {
    inner_->ExitProcess(c);
    std::abort();
  }

 private:
  std::unique_ptr<IProcesses> inner_;
  DWORD pid_;
};

// A copy that cannot be opened is a failure, reported with its error; the others are ended.
TEST_F(AgentStop, AProcessThatCannotBeOpenedIsAFailureNotASuccess) {
  m.Install("lmvKeeper", qz::kAgentProcess);
  for (int i = 0; i < 3; ++i) m.Launch(qz::kAgentProcess);
  std::vector<PROCESSENTRY32W> entries;
  Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &entries);
  DWORD second = 0;
  int seen = 0;
  for (const auto& e : entries) {
    if (EqualsNoCase(e.szExeFile, qz::kAgentProcess) && ++seen == 2) second = e.th32ProcessID;
  }
  ASSERT_NE(second, 0u);
  Platform& p = Platform::Current();
  auto* guard = new OneProtectedProcess(p.SetProcesses(nullptr), second);
  p.SetProcesses(std::unique_ptr<IProcesses>(guard));

  EXPECT_FALSE(qz::KillProcessByName(qz::kAgentProcess));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(qz::WaitForProcessExit(qz::kAgentProcess, 3000));
  EXPECT_EQ(CountProcesses(qz::kAgentProcess), 1);
  qz::StopAllAgentProcess(m.ctx);
  EXPECT_TRUE(m.log.Has("TarlinUpdater::StopAllAgentProcess 3 5 - 에이전트 강제 종료 실패")) << m.log.Dump();
  EXPECT_FALSE(m.log.Has("에이전트를 강제적으로 종료함")) << m.log.Dump();
  p.SetProcesses(guard->Release());
}

// A service program stuck in its command is ended after five minutes (a time-scaled pause here)
// and the stop sequence goes on without it.
TEST_F(AgentStop, AServiceProgramThatNeverFinishesItsCommandIsEndedAfterTheBound) {
  InstallAll();
  StartService();
  // The service runs; its program file is now one that never returns from "-stop".
  const std::u16string program = m.folder + u"\\qzTarlinSvc.exe";
  ASSERT_TRUE(Files().MoveFileExW(program, program + u".old", 0));
  m.Install("lmvKeeper", u"qzTarlinSvc.exe");
  const auto start = std::chrono::steady_clock::now();
  qz::StopAllAgentProcess(m.ctx);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_TRUE(m.log.Has("TarlinUpdater::RunServiceCommand 3 서비스 프로그램이 5분 안에 끝나지 않아 강제 종료함: \""))
      << m.log.Dump();
  EXPECT_TRUE(m.log.Has("TarlinUpdater::StopAllAgentProcess 3 메인 에이전트 종료 실패")) << m.log.Dump();
  EXPECT_EQ(CountProcesses(qz::kServiceProcess), 0);
  // The bound holds for every verb.
  const auto again = std::chrono::steady_clock::now();
  EXPECT_FALSE(qz::RunServiceCommand(m.ctx, u"start"));
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::seconds(60));
  EXPECT_GE(std::chrono::steady_clock::now() - again,
            std::chrono::milliseconds(qz::kServiceCommandLimitMs / 100 - 100));
  EXPECT_EQ(CountProcesses(qz::kServiceProcess), 0);
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

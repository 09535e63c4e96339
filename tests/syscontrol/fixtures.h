// Fixtures of the system-control tests: a logger that keeps its lines, a clock that records every
// pause and passes it on to the machine (time-scaled), and a machine with the agent's folder.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/process_internal.h"
#include "platform/winsim/services.h"
#include "support/capture_logger.h"
#include "support/test_machine.h"
#include "syscontrol/context.h"

namespace sctest {

// Multi-process tests run their waits a hundred times faster, in this process and its children.
inline const bool kTimeScaled = [] {
  setenv("WINSIM_TIME_SCALE", "0.01", 1);
  return true;
}();

using qztest::CaptureLogger;

// Records each pause (Sleep) and hands everything to the machine's clock.
class RecordingTime : public win::ITime {
 public:
  explicit RecordingTime(std::unique_ptr<win::ITime> inner) : inner_(std::move(inner)) {}
  std::vector<win::DWORD> Pauses() {
    std::lock_guard lock(mutex_);
    return pauses_;
  }
  uint64_t GetSystemTimeMs() override { return inner_->GetSystemTimeMs(); }
  win::SYSTEMTIME GetSystemTime() override { return inner_->GetSystemTime(); }
  win::SYSTEMTIME GetLocalTime() override { return inner_->GetLocalTime(); }
  win::SYSTEMTIME UtcMsToLocal(uint64_t ms) override { return inner_->UtcMsToLocal(ms); }
  uint64_t GetTickCount64() override { return inner_->GetTickCount64(); }
  void Sleep(win::DWORD ms) override {
    {
      std::lock_guard lock(mutex_);
      pauses_.push_back(ms);
    }
    inner_->Sleep(ms);
  }
  win::HANDLE CreateEventW(win::BOOL m, win::BOOL s) override { return inner_->CreateEventW(m, s); }
  win::BOOL SetEvent(win::HANDLE e) override { return inner_->SetEvent(e); }
  win::BOOL ResetEvent(win::HANDLE e) override { return inner_->ResetEvent(e); }
  win::DWORD WaitForSingleObject(win::HANDLE o, win::DWORD ms, win::WaitKind k) override {
    return inner_->WaitForSingleObject(o, ms, k);
  }

 private:
  std::unique_ptr<win::ITime> inner_;
  std::mutex mutex_;
  std::vector<win::DWORD> pauses_;
};

// Pauses of 1,000 ms taken n times, then the others.
inline std::vector<win::DWORD> Seconds(int n, std::vector<win::DWORD> then = {}) {
  std::vector<win::DWORD> v(static_cast<size_t>(n), 1000);
  v.insert(v.end(), then.begin(), then.end());
  return v;
}

// A machine on which this test acts as the 32-bit updater in the agent's folder, with the
// registry's Common key present and the install folder handed to the code as the reader would.
class AgentMachine {
 public:
  explicit AgentMachine(const std::string& profile = "win10-x64") : machine(profile) {
    std::filesystem::create_directories(machine.HostPath(u"C:\\qzt"));
    win::Platform& p = machine.Enter(u"C:\\qzt\\qzUpdater.exe", 32);
    time = new RecordingTime(p.SetTime(nullptr));
    p.SetTime(std::unique_ptr<win::ITime>(time));
    folder = win::Files().ExpandEnvironmentStringsW(u"%ProgramFiles%\\varnholt\\KSM");
    std::filesystem::create_directories(machine.HostPath(folder));
    win::HKEY k = nullptr;
    win::Registry().RegCreateKeyW(win::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt\\KSM\\Common", &k);
    win::Registry().RegCloseKey(k);
    ctx.logger = &log;
    ctx.bindings = &bindings;
    std::u16string f = folder;
    ctx.readInstallFolder = [f](const qz::CommonRegKey&, std::u16string* out) {
      *out = f;
      return true;
    };
    bindings.Create(log);
  }
  // Ends every program left on the machine (services included) before it goes.
  ~AgentMachine() {
    bindings.Free();
    winsim::EndMachineProcesses(dynamic_cast<winsim::WinsimPlatform&>(win::Platform::Current()).machine(), 1);
    for (auto h : started_) {
      win::Time().WaitForSingleObject(h, win::INFINITE);
      win::CloseHandle(h);
    }
  }

  // Copies a built program into the agent's folder under a Windows name.
  void Install(const std::string& program, const std::u16string& name) {
    machine.Install(program, folder + u"\\" + name);
  }
  // Starts a program of the agent's folder with arguments; waits for the note it writes when
  // ready, when given.
  void Launch(const std::u16string& name, const std::u16string& args = u"", const std::string& readyNote = "") {
    win::PROCESS_INFORMATION pi;
    win::STARTUPINFOW si;
    std::u16string cmd = u"\"" + folder + u"\\" + name + u"\" " + args;
    ASSERT_TRUE(win::Processes().CreateProcessW(u"", cmd, 0, folder, si, &pi));
    win::CloseHandle(pi.hThread);
    started_.push_back(pi.hProcess);
    if (!readyNote.empty()) WaitForNote(readyNote);
  }
  void WaitForNote(const std::string& note) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!HasNote(note)) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no note: " << note;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // Debug texts the machine's programs recorded, in order.
  std::vector<std::string> Notes() {
    std::vector<std::string> out;
    for (const auto& e : machine.Journal()) {
      if (e.kind == "OutputDebugString") out.push_back(e.text);
    }
    return out;
  }
  bool HasNote(const std::string& note) {
    for (const auto& n : Notes()) {
      if (n == note) return true;
    }
    return false;
  }

  qztest::TestMachine machine;
  CaptureLogger log;
  RecordingTime* time = nullptr;
  qz::AgentBindings bindings;
  qz::SysContext ctx;
  std::u16string folder;

 private:
  std::vector<win::HANDLE> started_;
};

}  // namespace sctest

#include <gtest/gtest.h>

#include "fixtures.h"
#include "syscontrol/agent_service.h"

namespace {

using namespace win;

// Counts COM initialisations and passes everything on.
class CountingTasks : public ITaskScheduler {
 public:
  explicit CountingTasks(std::unique_ptr<ITaskScheduler> inner) : inner_(std::move(inner)) {}
  int inits = 0;
  HRESULT CoInitializeEx(DWORD c) override {
    ++inits;
    return inner_->CoInitializeEx(c);
  }
  HRESULT CoInitializeSecurity(LONG a, DWORD b, DWORD c, DWORD d) override {
    return inner_->CoInitializeSecurity(a, b, c, d);
  }
  void CoUninitialize() override { inner_->CoUninitialize(); }
  HRESULT CoCreateInstance(const GUID& c, DWORD x, const GUID& i, void** o) override {
    return inner_->CoCreateInstance(c, x, i, o);
  }

 private:
  std::unique_ptr<ITaskScheduler> inner_;
};

HRESULT WithRootFolder(const std::function<HRESULT(ITaskFolder*)>& f) {
  Tasks().CoInitializeEx(COINIT_MULTITHREADED);
  void* object = nullptr;
  HRESULT hr = Tasks().CoCreateInstance(CLSID_TaskScheduler, CLSCTX_INPROC_SERVER, IID_ITaskService, &object);
  if (SUCCEEDED(hr)) {
    auto* service = static_cast<ITaskService*>(object);
    service->Connect();
    ITaskFolder* folder = nullptr;
    hr = service->GetFolder(u"\\", &folder);
    if (SUCCEEDED(hr)) {
      hr = f(folder);
      folder->Release();
    }
    service->Release();
  }
  Tasks().CoUninitialize();
  return hr;
}

TEST(AgentTask, DeletesTheTaskAndCountsAMissingOneAsDeleted) {
  sctest::AgentMachine m("win10-x64");
  ASSERT_EQ(WithRootFolder([](ITaskFolder* f) {
              return f->RegisterTask(qz::kAgentTaskName, u"<Task/>", TASK_CREATE_OR_UPDATE);
            }),
            S_OK);
  EXPECT_TRUE(qz::DeleteAgentTaskSchedule(m.log));
  EXPECT_TRUE(m.log.Has("TaskScheduler::DeleteTask 1 Deleted Agent Task Schedule")) << m.log.Dump();
  EXPECT_EQ(WithRootFolder([](ITaskFolder* f) { return f->GetTask(qz::kAgentTaskName); }),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  EXPECT_TRUE(qz::DeleteAgentTaskSchedule(m.log));
  EXPECT_TRUE(m.log.Has("TaskScheduler::DeleteTask 1 Agent Task does not exist")) << m.log.Dump();
}

TEST(AgentTask, OnXpOnlyTheRunKeyIsTouched) {
  sctest::AgentMachine m("winxp-sp3");
  auto* counting = new CountingTasks(Platform::Current().SetTasks(nullptr));
  Platform::Current().SetTasks(std::unique_ptr<ITaskScheduler>(counting));
  HKEY run = nullptr;
  ASSERT_EQ(Registry().RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", &run),
            0);
  const char16_t value[] = u"C:\\agent.exe";
  Registry().RegSetValueExW(run, qz::kAgentTaskName, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);

  EXPECT_TRUE(qz::DeleteAgentTaskSchedule(m.log));
  EXPECT_TRUE(m.log.Has("TaskScheduler::DeleteStartProgram_XP 1 Deleted Start Program Reg Value"));
  DWORD size = 0;
  EXPECT_EQ(Registry().RegQueryValueExW(run, qz::kAgentTaskName, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

  EXPECT_TRUE(qz::DeleteAgentTaskSchedule(m.log));
  EXPECT_TRUE(m.log.Has("TaskScheduler::DeleteStartProgram_XP 3 does not Exist Schedule"));
  EXPECT_EQ(counting->inits, 0);
  Registry().RegCloseKey(run);
}

}  // namespace

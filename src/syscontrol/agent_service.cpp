#include "syscontrol/agent_service.h"

#include "config/reg_key.h"
#include "platform/file_util.h"

namespace qz {

using namespace win;

namespace {
constexpr char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char16_t kTag[] = u"TaskScheduler";
}  // namespace

std::u16string ServiceCommandLine(std::u16string_view installFolder, std::u16string_view verb) {
  std::u16string cmd = u"\"" + std::u16string(installFolder) + u"\\" + kServiceProgram + u"\" -" + std::u16string(verb);
  return cmd.size() < MAX_PATH ? cmd : std::u16string();
}

bool RunServiceCommand(const SysContext& ctx, std::u16string_view verb) {
  CommonRegKey common;
  if (OpenCommonKey(KEY_READ, &common) != ERROR_SUCCESS) return false;
  std::u16string folder;
  if (!ctx.readInstallFolder || !ctx.readInstallFolder(common, &folder)) return false;
  if (!PathExists(folder + u"\\" + kServiceProgram)) return false;
  std::u16string cmd = ServiceCommandLine(folder, verb);
  if (cmd.empty()) return false;
  STARTUPINFOW si;
  PROCESS_INFORMATION pi;
  if (!Processes().CreateProcessW(u"", cmd, CREATE_NO_WINDOW, u"", si, &pi)) return false;
  // A service program that never finishes its command must not hold the updater (and every later
  // run, refused as a second instance) for ever: after the bound it is ended and the work goes on.
  bool finished = Time().WaitForSingleObject(pi.hProcess, kServiceCommandLimitMs, WaitKind::Pause) == WAIT_OBJECT_0;
  if (!finished) {
    if (ctx.logger) {
      ctx.logger->Log(u"TarlinUpdater", u"RunServiceCommand", kLogWarning,
                      u"서비스 프로그램이 %u분 안에 끝나지 않아 강제 종료함: %s", kServiceCommandLimitMs / 60000, cmd);
    }
    Processes().TerminateProcess(pi.hProcess, kServiceCommandTimedOut);
    Time().WaitForSingleObject(pi.hProcess, kServiceCommandEndMs, WaitKind::Limit);
  }
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return finished;
}

TaskScheduler::~TaskScheduler() {
  if (service_) service_->Release();
}

bool TaskScheduler::CoInit() {
  HRESULT hr = Tasks().CoInitializeEx(COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    log_.Log(kTag, u"CoInit", kLogWarning, u"Failed to initialize COM library. Errocode : %x, Window ErrorCode : %d",
             static_cast<uint32_t>(hr), GetLastError());
    return false;
  }
  hr = Tasks().CoInitializeSecurity(-1, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, EOAC_NONE);
  if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
    log_.Log(kTag, u"CoInit", kLogWarning,
             u"Failed to initialize security library. Errcode : %x, Window ErrorCode : %d", static_cast<uint32_t>(hr),
             GetLastError());
    Tasks().CoUninitialize();
    return false;
  }
  return true;
}

bool TaskScheduler::Initialize() {
  void* object = nullptr;
  HRESULT hr = Tasks().CoCreateInstance(CLSID_TaskScheduler, CLSCTX_INPROC_SERVER, IID_ITaskService, &object);
  if (FAILED(hr)) {
    log_.Log(kTag, u"Initialize", kLogWarning, u"Failed to create an instance of ITaskService: %x",
             static_cast<uint32_t>(hr));
    return false;
  }
  service_ = static_cast<ITaskService*>(object);
  hr = service_->Connect();
  if (FAILED(hr)) {
    log_.Log(kTag, u"Initialize", kLogWarning, u"ITaskService::Connect failed: %x", static_cast<uint32_t>(hr));
    service_->Release();
    service_ = nullptr;
    return false;
  }
  return true;
}

bool TaskScheduler::DeleteTask() {
  if (!Initialize()) return false;
  ITaskFolder* folder = nullptr;
  HRESULT hr = service_->GetFolder(u"\\", &folder);
  if (FAILED(hr)) {
    log_.Log(kTag, u"DeleteTask", kLogWarning, u"Cannot get Root Folder pointer: %x", static_cast<uint32_t>(hr));
    service_->Release();
    service_ = nullptr;
    return false;
  }
  hr = folder->DeleteTask(kAgentTaskName, 0);
  folder->Release();
  service_->Release();
  service_ = nullptr;
  if (SUCCEEDED(hr)) {
    log_.Log(kTag, u"DeleteTask", kLogInfo, u"Deleted Agent Task Schedule");
    return true;
  }
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
    log_.Log(kTag, u"DeleteTask", kLogInfo, u"Agent Task does not exist");
    return true;
  }
  log_.Log(kTag, u"DeleteTask", kLogWarning, u"Agent Task Delete Failed: %x", static_cast<uint32_t>(hr));
  return false;
}

bool TaskScheduler::DeleteStartProgram_XP() {
  HKEY run = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, &run) != ERROR_SUCCESS) {
    log_.Log(kTag, u"DeleteStartProgram_XP", kLogWarning, u"Fail to open Reg Key");
    return false;
  }
  LONG rc = Registry().RegDeleteValueW(run, kAgentTaskName);
  Registry().RegCloseKey(run);
  if (rc == ERROR_SUCCESS) {
    log_.Log(kTag, u"DeleteStartProgram_XP", kLogInfo, u"Deleted Start Program Reg Value");
    return true;
  }
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
    log_.Log(kTag, u"DeleteStartProgram_XP", kLogWarning, u"does not Exist Schedule");
    return true;
  }
  log_.Log(kTag, u"DeleteStartProgram_XP", kLogWarning, u"Fail to Delete Reg Value");
  return false;
}

bool DeleteAgentTaskSchedule(ILogger& log) {
  TaskScheduler tasks(log);
  OSVERSIONINFOEXW v;
  if (Os().GetVersionExW(&v) && v.dwMajorVersion == 5) return tasks.DeleteStartProgram_XP();
  if (!tasks.CoInit()) return false;
  bool deleted = tasks.DeleteTask();
  Tasks().CoUninitialize();
  return deleted;
}

}  // namespace qz

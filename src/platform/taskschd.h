// COM initialisation and the Task Scheduler 2.0 objects the system uses, shaped like ole32's
// CoInitializeEx/CoInitializeSecurity/CoCreateInstance and ITaskService/ITaskFolder. The task
// scheduler is the only COM class created through here.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace win {

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD RPC_C_AUTHN_LEVEL_DEFAULT = 0;
constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
constexpr DWORD EOAC_NONE = 0;
constexpr LONG TASK_CREATE_OR_UPDATE = 0x6;
constexpr LONG TASK_LOGON_NONE = 0;

constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);
constexpr HRESULT RPC_E_TOO_LATE = static_cast<HRESULT>(0x80010119u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);

inline constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
  return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

// {0F87369F-A4E5-4CFC-BD3E-73E6154572DD}
inline constexpr GUID CLSID_TaskScheduler = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
// {2FABA4C7-4DA9-4013-9697-20CC3FD40F85}
inline constexpr GUID IID_ITaskService = {0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};

class ITaskFolder {
 public:
  // Deletes a task of this folder; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when there is none.
  virtual HRESULT DeleteTask(std::u16string_view name, LONG flags) = 0;
  // Registers a task from its XML text (TASK_CREATE_OR_UPDATE).
  virtual HRESULT RegisterTask(std::u16string_view name, std::u16string_view xmlText, LONG flags) = 0;
  // S_OK when the task exists (GetTask without the task object).
  virtual HRESULT GetTask(std::u16string_view name) = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~ITaskFolder() = default;
};

class ITaskService {
 public:
  // Local computer and current user: every argument empty.
  virtual HRESULT Connect() = 0;
  virtual HRESULT GetFolder(std::u16string_view path, ITaskFolder** folder) = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~ITaskService() = default;
};

class ITaskScheduler {
 public:
  virtual ~ITaskScheduler() = default;
  // Per thread, as ole32 counts it: S_OK the first time, S_FALSE again, RPC_E_CHANGED_MODE for
  // another model.
  virtual HRESULT CoInitializeEx(DWORD coInit) = 0;
  // Process-wide, once: RPC_E_TOO_LATE afterwards.
  virtual HRESULT CoInitializeSecurity(LONG authnServices, DWORD authnLevel, DWORD impLevel, DWORD capabilities) = 0;
  virtual void CoUninitialize() = 0;
  // Only CLSID_TaskScheduler/IID_ITaskService; the object is an ITaskService*.
  virtual HRESULT CoCreateInstance(const GUID& clsid, DWORD clsContext, const GUID& iid, void** object) = 0;
};

}  // namespace win

// COM initialisation and the task scheduler of a simulated machine. Tasks live where Windows
// caches them, HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Schedule\TaskCache (Tree\NAME
// with its Id, Tasks\{Id} with its path and XML). Task Scheduler 2.0 exists from Windows Vista on.
#include <atomic>
#include <mutex>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

namespace {

constexpr char16_t kTree[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Schedule\\TaskCache\\Tree\\";
constexpr char16_t kTasks[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Schedule\\TaskCache\\Tasks\\";

thread_local int tComInits = 0;
thread_local DWORD tComModel = 0;

bool ValidTaskName(std::u16string_view name) {
  return !name.empty() && name.find_first_of(u"\\/") == std::u16string_view::npos;
}

class Folder : public ITaskFolder {
 public:
  explicit Folder(std::shared_ptr<Machine> m) : m_(m), reg_(MakeRegistry(m)) {}

  HRESULT DeleteTask(std::u16string_view name, LONG) override {
    if (!ValidTaskName(name)) return E_INVALIDARG;
    std::u16string id;
    if (!ReadId(name, &id)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    // The task cache is the machine's, whatever the caller's view.
    reg_->RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kTree + std::u16string(name), KEY_WOW64_64KEY);
    if (!id.empty()) reg_->RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kTasks + id, KEY_WOW64_64KEY);
    return S_OK;
  }

  HRESULT RegisterTask(std::u16string_view name, std::u16string_view xml, LONG flags) override {
    if (!ValidTaskName(name)) return E_INVALIDARG;
    std::u16string id;
    bool exists = ReadId(name, &id);
    if (exists && !(flags & 0x4)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);  // TASK_UPDATE not asked
    if (!exists && !(flags & 0x2)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);  // TASK_CREATE not asked
    if (id.empty()) {
      GUID g;
      Com().CoCreateGuid(&g);
      id = u"{" + Utf8ToWide(UuidToStringA(g)) + u"}";
    }
    HKEY k = nullptr;
    if (reg_->RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTree + std::u16string(name), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &k, nullptr) != ERROR_SUCCESS) {
      return E_FAIL;
    }
    SetSz(k, u"Id", id);
    reg_->RegCloseKey(k);
    if (reg_->RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTasks + id, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &k, nullptr) != ERROR_SUCCESS) {
      return E_FAIL;
    }
    SetSz(k, u"Path", u"\\" + std::u16string(name));
    SetSz(k, u"Xml", xml);
    reg_->RegCloseKey(k);
    return S_OK;
  }

  HRESULT GetTask(std::u16string_view name) override {
    std::u16string id;
    return ValidTaskName(name) && ReadId(name, &id) ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }

  ULONG Release() override {
    delete this;
    return 0;
  }

 private:
  bool ReadId(std::u16string_view name, std::u16string* id) {
    HKEY k = nullptr;
    if (reg_->RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTree + std::u16string(name), 0, KEY_READ | KEY_WOW64_64KEY, &k) !=
        ERROR_SUCCESS) {
      return false;
    }
    char16_t buf[64] = {};
    DWORD size = sizeof buf - 2, type = 0;
    if (reg_->RegQueryValueExW(k, u"Id", &type, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS) {
      *id = std::u16string(buf, size / 2);
      while (!id->empty() && id->back() == 0) id->pop_back();
    }
    reg_->RegCloseKey(k);
    return true;
  }
  void SetSz(HKEY k, std::u16string_view name, std::u16string_view text) {
    std::u16string s(text);
    s.push_back(0);
    reg_->RegSetValueExW(k, name, REG_SZ, reinterpret_cast<const BYTE*>(s.data()), static_cast<DWORD>(s.size() * 2));
  }

  std::shared_ptr<Machine> m_;
  std::unique_ptr<IRegistry> reg_;
};

class Service : public ITaskService {
 public:
  explicit Service(std::shared_ptr<Machine> m) : m_(std::move(m)) {}
  HRESULT Connect() override {
    connected_ = true;
    return S_OK;
  }
  HRESULT GetFolder(std::u16string_view path, ITaskFolder** folder) override {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    if (!connected_) return HRESULT_FROM_WIN32(1247);  // ERROR_ONLY_IF_CONNECTED
    if (path != u"\\") return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);  // only the root folder exists
    *folder = new Folder(m_);
    return S_OK;
  }
  ULONG Release() override {
    delete this;
    return 0;
  }

 private:
  std::shared_ptr<Machine> m_;
  bool connected_ = false;
};

class WinsimTasks : public ITaskScheduler {
 public:
  explicit WinsimTasks(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

  HRESULT CoInitializeEx(DWORD coInit) override {
    DWORD model = coInit & COINIT_APARTMENTTHREADED;
    if (tComInits > 0) {
      if (model != tComModel) return RPC_E_CHANGED_MODE;
      ++tComInits;
      return S_FALSE;
    }
    tComModel = model;
    tComInits = 1;
    return S_OK;
  }

  HRESULT CoInitializeSecurity(LONG, DWORD, DWORD, DWORD) override {
    if (tComInits == 0) return CO_E_NOTINITIALIZED;
    bool expected = false;
    return securitySet_.compare_exchange_strong(expected, true) ? S_OK : RPC_E_TOO_LATE;
  }

  void CoUninitialize() override {
    if (tComInits > 0) --tComInits;
  }

  HRESULT CoCreateInstance(const GUID& clsid, DWORD context, const GUID& iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (tComInits == 0) return CO_E_NOTINITIALIZED;
    if (!IsEqualGUID(clsid, CLSID_TaskScheduler) || !(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    OSVERSIONINFOEXW v;
    if (!Os().GetVersionExW(&v) || v.dwMajorVersion < 6) return REGDB_E_CLASSNOTREG;
    if (!IsEqualGUID(iid, IID_ITaskService)) return E_NOINTERFACE;
    *object = static_cast<ITaskService*>(new Service(m_));
    return S_OK;
  }

 private:
  std::shared_ptr<Machine> m_;
  std::atomic<bool> securitySet_{false};
};

}  // namespace

std::unique_ptr<ITaskScheduler> MakeTasks(std::shared_ptr<Machine> m) {
  return std::make_unique<WinsimTasks>(std::move(m));
}

}  // namespace winsim

// COM initialisation and Task Scheduler 2.0 through ole32 and the scheduler's own COM objects. The
// project's task service and folder wrap the real ones and convert text to BSTRs at the edge.
#include <cstring>
#include <memory>
#include <string>

#include "platform/taskschd.h"
#include "platform/win32/services.h"
#include "platform/win32/win_api.h"

#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>

namespace win32 {

namespace {

::GUID Guid(const win::GUID& g) {
  ::GUID r;
  r.Data1 = g.Data1;
  r.Data2 = g.Data2;
  r.Data3 = g.Data3;
  std::memcpy(r.Data4, g.Data4, 8);
  return r;
}

// A BSTR for the length of one call.
class Bstr {
 public:
  explicit Bstr(std::u16string_view s) : b_(::SysAllocStringLen(W(s.data()), static_cast<UINT>(s.size()))) {}
  ~Bstr() { ::SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return b_; }
  bool ok() const { return b_ != nullptr; }

 private:
  BSTR b_;
};

VARIANT Empty() {
  VARIANT v;
  ::VariantInit(&v);
  return v;
}

class Folder : public win::ITaskFolder {
 public:
  explicit Folder(::ITaskFolder* real) : real_(real) {}

  win::HRESULT DeleteTask(std::u16string_view name, win::LONG flags) override {
    Bstr n(name);
    if (!n.ok()) return E_OUTOFMEMORY;
    return real_->DeleteTask(n.get(), flags);
  }

  win::HRESULT RegisterTask(std::u16string_view name, std::u16string_view xmlText, win::LONG flags) override {
    Bstr n(name), x(xmlText);
    if (!n.ok() || !x.ok()) return E_OUTOFMEMORY;
    // The account and logon type come from the task's own XML.
    ::IRegisteredTask* task = nullptr;
    HRESULT hr = real_->RegisterTask(n.get(), x.get(), flags, Empty(), Empty(), TASK_LOGON_NONE, Empty(), &task);
    if (task) task->Release();
    return hr;
  }

  win::HRESULT GetTask(std::u16string_view name) override {
    Bstr n(name);
    if (!n.ok()) return E_OUTOFMEMORY;
    ::IRegisteredTask* task = nullptr;
    HRESULT hr = real_->GetTask(n.get(), &task);
    if (task) task->Release();
    return hr;
  }

  win::ULONG Release() override {
    delete this;
    return 0;
  }

 protected:
  ~Folder() override { real_->Release(); }

 private:
  ::ITaskFolder* real_;
};

class Service : public win::ITaskService {
 public:
  explicit Service(::ITaskService* real) : real_(real) {}

  win::HRESULT Connect() override { return real_->Connect(Empty(), Empty(), Empty(), Empty()); }

  win::HRESULT GetFolder(std::u16string_view path, win::ITaskFolder** folder) override {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    Bstr p(path);
    if (!p.ok()) return E_OUTOFMEMORY;
    ::ITaskFolder* real = nullptr;
    HRESULT hr = real_->GetFolder(p.get(), &real);
    if (FAILED(hr)) return hr;
    if (!real) return E_POINTER;
    *folder = new Folder(real);
    return hr;
  }

  win::ULONG Release() override {
    delete this;
    return 0;
  }

 protected:
  ~Service() override { real_->Release(); }

 private:
  ::ITaskService* real_;
};

class Win32Tasks : public win::ITaskScheduler {
 public:
  win::HRESULT CoInitializeEx(win::DWORD coInit) override { return ::CoInitializeEx(nullptr, coInit); }

  win::HRESULT CoInitializeSecurity(win::LONG authnServices, win::DWORD authnLevel, win::DWORD impLevel,
                                    win::DWORD capabilities) override {
    return ::CoInitializeSecurity(nullptr, authnServices, nullptr, nullptr, authnLevel, impLevel, nullptr,
                                  capabilities, nullptr);
  }

  void CoUninitialize() override { ::CoUninitialize(); }

  win::HRESULT CoCreateInstance(const win::GUID& clsid, win::DWORD clsContext, const win::GUID& iid,
                                void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    // The task scheduler is the one class created through here.
    if (!win::IsEqualGUID(clsid, win::CLSID_TaskScheduler)) return REGDB_E_CLASSNOTREG;
    if (!win::IsEqualGUID(iid, win::IID_ITaskService)) return E_NOINTERFACE;
    const ::GUID c = Guid(clsid), i = Guid(iid);
    void* real = nullptr;
    HRESULT hr = ::CoCreateInstance(c, nullptr, clsContext, i, &real);
    if (FAILED(hr)) return hr;
    if (!real) return E_POINTER;
    *object = static_cast<win::ITaskService*>(new Service(static_cast<::ITaskService*>(real)));
    return hr;
  }
};

}  // namespace

std::unique_ptr<win::ITaskScheduler> MakeTasks() { return std::make_unique<Win32Tasks>(); }

}  // namespace win32

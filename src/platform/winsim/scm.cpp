// The service manager of a simulated machine. Configuration lives where Windows keeps it, in the
// registry under HKLM\SYSTEM\CurrentControlSet\Services; run-time state (state, process, pending
// control) and open handles live in the machine's state database, so every process of the
// machine sees one manager. An own-process service counts as running only while its process lives.
#include "platform/winsim/scm.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/process_internal.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

void EnsureScmSchema(Db& db) {
  db.Exec(
      "CREATE TABLE IF NOT EXISTS scm_state(name TEXT PRIMARY KEY COLLATE NOCASE, state INTEGER, pid INTEGER,"
      " start INTEGER, accepted INTEGER, exit_code INTEGER, specific INTEGER, checkpoint INTEGER,"
      " wait_hint INTEGER, hold INTEGER, control INTEGER, connected INTEGER);"
      "CREATE TABLE IF NOT EXISTS scm_handles(id INTEGER PRIMARY KEY, pid INTEGER, start INTEGER,"
      " name TEXT COLLATE NOCASE);");
}

namespace {

constexpr char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services\\";
constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
// How long a controller waits for a service program to connect or to take a control (not scaled).
constexpr int kServiceWaitMs = 30000;

bool Live(int pid, uint64_t start) {
  auto s = ProcessStartTime(pid);
  return s && *s == start;
}

uint64_t SelfStart() { return ProcessStartTime(getpid()).value_or(0); }

struct StateRow {
  bool exists = false;
  DWORD state = SERVICE_STOPPED;
  int pid = 0;
  uint64_t start = 0;
  DWORD accepted = 0, exitCode = 0, specific = 0, checkpoint = 0, waitHint = 0, hold = 0, control = 0;
  bool connected = false;
};

StateRow ReadRow(Machine& m, std::u16string_view name) {
  return m.WithState([&](Db& db) {
    EnsureScmSchema(db);
    StateRow r;
    auto st = db.Prepare(
        "SELECT state, pid, start, accepted, exit_code, specific, checkpoint, wait_hint, hold, control, connected"
        " FROM scm_state WHERE name=?");
    st.Bind(1, WideToUtf8(name));
    if (st.Step()) {
      r.exists = true;
      r.state = static_cast<DWORD>(st.Int(0));
      r.pid = static_cast<int>(st.Int(1));
      r.start = static_cast<uint64_t>(st.Int(2));
      r.accepted = static_cast<DWORD>(st.Int(3));
      r.exitCode = static_cast<DWORD>(st.Int(4));
      r.specific = static_cast<DWORD>(st.Int(5));
      r.checkpoint = static_cast<DWORD>(st.Int(6));
      r.waitHint = static_cast<DWORD>(st.Int(7));
      r.hold = static_cast<DWORD>(st.Int(8));
      r.control = static_cast<DWORD>(st.Int(9));
      r.connected = st.Int(10) != 0;
    }
    return r;
  });
}

void WriteRow(Machine& m, std::u16string_view name, const StateRow& r) {
  m.WithState([&](Db& db) {
    EnsureScmSchema(db);
    db.Prepare(
          "INSERT OR REPLACE INTO scm_state(name, state, pid, start, accepted, exit_code, specific, checkpoint,"
          " wait_hint, hold, control, connected) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)")
        .Bind(1, WideToUtf8(name))
        .Bind(2, static_cast<int64_t>(r.state))
        .Bind(3, static_cast<int64_t>(r.pid))
        .Bind(4, static_cast<int64_t>(r.start))
        .Bind(5, static_cast<int64_t>(r.accepted))
        .Bind(6, static_cast<int64_t>(r.exitCode))
        .Bind(7, static_cast<int64_t>(r.specific))
        .Bind(8, static_cast<int64_t>(r.checkpoint))
        .Bind(9, static_cast<int64_t>(r.waitHint))
        .Bind(10, static_cast<int64_t>(r.hold))
        .Bind(11, static_cast<int64_t>(r.control))
        .Bind(12, static_cast<int64_t>(r.connected ? 1 : 0))
        .Step();
    return 0;
  });
}

void DeleteRow(Machine& m, std::u16string_view name) {
  m.WithState([&](Db& db) {
    EnsureScmSchema(db);
    db.Prepare("DELETE FROM scm_state WHERE name=?").Bind(1, WideToUtf8(name)).Step();
    return 0;
  });
}

struct Config {
  DWORD type = 0, start = SERVICE_DEMAND_START, errorControl = SERVICE_ERROR_NORMAL;
  std::u16string imagePath, displayName, objectName;
  bool deleteFlag = false;
  bool IsDriver() const { return (type & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) != 0; }
};

class Reg {
 public:
  explicit Reg(std::shared_ptr<Machine> m) : reg_(MakeRegistry(std::move(m))) {}

  std::optional<Config> Read(std::u16string_view name) {
    HKEY k = nullptr;
    if (reg_->RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(name), 0, KEY_READ | KEY_WOW64_64KEY, &k) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    Config c;
    c.type = Dword(k, u"Type");
    c.start = Dword(k, u"Start");
    c.errorControl = Dword(k, u"ErrorControl");
    c.imagePath = Sz(k, u"ImagePath");
    c.displayName = Sz(k, u"DisplayName");
    c.objectName = Sz(k, u"ObjectName");
    c.deleteFlag = Dword(k, u"DeleteFlag") != 0;
    reg_->RegCloseKey(k);
    if (c.type == 0) return std::nullopt;  // a key without a service in it
    return c;
  }

  bool Write(std::u16string_view name, const Config& c) {
    HKEY k = nullptr;
    if (reg_->RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(name), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &k, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    SetDword(k, u"Type", c.type);
    SetDword(k, u"Start", c.start);
    SetDword(k, u"ErrorControl", c.errorControl);
    SetSz(k, u"ImagePath", c.imagePath, REG_EXPAND_SZ);
    SetSz(k, u"DisplayName", c.displayName, REG_SZ);
    if (!c.objectName.empty()) SetSz(k, u"ObjectName", c.objectName, REG_SZ);
    reg_->RegCloseKey(k);
    return true;
  }

  void MarkForDelete(std::u16string_view name) {
    HKEY k = nullptr;
    if (reg_->RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(name), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &k) == ERROR_SUCCESS) {
      SetDword(k, u"DeleteFlag", 1);
      reg_->RegCloseKey(k);
    }
  }

  void Remove(std::u16string_view name) { reg_->SHDeleteKeyW(HKEY_LOCAL_MACHINE, Path(name)); }

  std::vector<std::u16string> Names() {
    std::vector<std::u16string> out;
    HKEY k = nullptr;
    if (reg_->RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ | KEY_WOW64_64KEY,
                            &k) != ERROR_SUCCESS) {
      return out;
    }
    for (DWORD i = 0;; ++i) {
      char16_t buf[260];
      DWORD n = 260;
      LONG rc = reg_->RegEnumKeyExW(k, i, buf, &n);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc == ERROR_SUCCESS) out.emplace_back(buf, n);
    }
    reg_->RegCloseKey(k);
    return out;
  }

 private:
  static std::u16string Path(std::u16string_view name) { return kServicesKey + std::u16string(name); }
  DWORD Dword(HKEY k, std::u16string_view v) {
    DWORD d = 0, size = 4, type = 0;
    return reg_->RegQueryValueExW(k, v, &type, reinterpret_cast<BYTE*>(&d), &size) == ERROR_SUCCESS ? d : 0;
  }
  std::u16string Sz(HKEY k, std::u16string_view v) {
    DWORD size = 0, type = 0;
    if (reg_->RegQueryValueExW(k, v, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    std::u16string s(size / 2 + 1, u'\0');
    if (reg_->RegQueryValueExW(k, v, &type, reinterpret_cast<BYTE*>(s.data()), &size) != ERROR_SUCCESS) return {};
    s.resize(size / 2);
    while (!s.empty() && s.back() == 0) s.pop_back();
    return s;
  }
  void SetDword(HKEY k, std::u16string_view v, DWORD d) {
    reg_->RegSetValueExW(k, v, REG_DWORD, reinterpret_cast<const BYTE*>(&d), 4);
  }
  void SetSz(HKEY k, std::u16string_view v, std::u16string_view text, DWORD type) {
    std::u16string s(text);
    s.push_back(0);
    reg_->RegSetValueExW(k, v, type, reinterpret_cast<const BYTE*>(s.data()), static_cast<DWORD>(s.size() * 2));
  }

  std::unique_ptr<IRegistry> reg_;
};

class ScmObject : public KernelObject {
 public:
  ScmObject(bool manager, std::u16string name, DWORD access, int64_t row)
      : manager(manager), name(std::move(name)), access(access), row(row) {}
  bool manager;
  std::u16string name;
  DWORD access;
  int64_t row;
};

class DeviceObject : public KernelObject {
 public:
  explicit DeviceObject(std::u16string name) : name(std::move(name)) {}
  std::u16string name;
};

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// The service program's side, one per process.
struct Dispatcher {
  std::mutex mutex;
  std::u16string name;
  LPHANDLER_FUNCTION handler;
};

class WinsimServiceManager : public IServiceManager {
 public:
  explicit WinsimServiceManager(std::shared_ptr<Machine> m) : m_(m), reg_(m) {}

  SC_HANDLE OpenSCManagerW(std::u16string_view machine, std::u16string_view database, DWORD access) override {
    return Guard<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
      if (!machine.empty() && !EqualsNoCase(machine, Utf8ToWide(m_->Config().computerName))) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
      }
      if (!database.empty() && !EqualsNoCase(database, SERVICES_ACTIVE_DATABASEW)) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
      }
      SweepAll();
      return Wrap(Handles().Add(std::make_shared<ScmObject>(true, u"", access, 0)));
    });
  }

  SC_HANDLE CreateServiceW(SC_HANDLE scm, std::u16string_view name, std::u16string_view displayName, DWORD access,
                           DWORD type, DWORD startType, DWORD errorControl, std::u16string_view binaryPath) override {
    return Guard<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
      auto mgr = Manager(scm);
      if (!mgr) return nullptr;
      if (!(mgr->access & SC_MANAGER_CREATE_SERVICE)) return NullWith(ERROR_ACCESS_DENIED);
      if (!ValidName(name)) return NullWith(ERROR_INVALID_NAME);
      if (type != SERVICE_KERNEL_DRIVER && type != SERVICE_FILE_SYSTEM_DRIVER && type != SERVICE_WIN32_OWN_PROCESS) {
        return NullWith(ERROR_INVALID_PARAMETER);
      }
      if (startType > SERVICE_DISABLED || errorControl > SERVICE_ERROR_CRITICAL || binaryPath.empty()) {
        return NullWith(ERROR_INVALID_PARAMETER);
      }
      if (auto existing = reg_.Read(name)) {
        return NullWith(existing->deleteFlag ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
      }
      Config c;
      c.type = type;
      c.start = startType;
      c.errorControl = errorControl;
      // Windows keeps a driver's full Win32 path in NT form.
      std::u16string path(binaryPath);
      if (c.IsDriver() && path.size() > 2 && path[1] == u':') path = u"\\??\\" + path;
      c.imagePath = path;
      c.displayName = displayName.empty() ? std::u16string(name) : std::u16string(displayName);
      if (!c.IsDriver()) c.objectName = u"LocalSystem";
      if (!reg_.Write(name, c)) return NullWith(ERROR_ACCESS_DENIED);
      DeleteRow(*m_, name);
      return OpenHandle(name, access);
    });
  }

  SC_HANDLE OpenServiceW(SC_HANDLE scm, std::u16string_view name, DWORD access) override {
    return Guard<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
      if (!Manager(scm)) return nullptr;
      if (!ValidName(name)) return NullWith(ERROR_INVALID_NAME);
      if (!reg_.Read(name)) return NullWith(ERROR_SERVICE_DOES_NOT_EXIST);
      return OpenHandle(name, access);
    });
  }

  BOOL StartServiceW(SC_HANDLE service, const std::vector<std::u16string>&) override {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
      auto s = Service(service, SERVICE_START);
      if (!s) return FALSE;
      auto c = reg_.Read(s->name);
      if (!c) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
      if (c->deleteFlag) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
      if (c->start == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED);
      if (StatusOf(s->name, *c).dwCurrentState != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
      StateRow old = ReadRow(*m_, s->name);
      if (c->IsDriver()) {
        std::u16string file = DriverFile(c->imagePath);
        DWORD attrs = Files().GetFileAttributesW(file);
        if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY)) return Fail(ERROR_FILE_NOT_FOUND);
        StateRow r;
        r.state = SERVICE_RUNNING;
        r.accepted = SERVICE_ACCEPT_STOP;
        r.hold = old.hold;
        WriteRow(*m_, s->name, r);
        return TRUE;
      }
      StateRow r;
      r.state = SERVICE_START_PENDING;
      r.hold = old.hold;
      WriteRow(*m_, s->name, r);
      int pid = 0;
      uint64_t start = 0;
      std::u16string cmd = Files().ExpandEnvironmentStringsW(c->imagePath);
      if (!SpawnServiceProcess(m_, cmd, &pid, &start)) {
        DWORD err = GetLastError();
        r.state = SERVICE_STOPPED;
        WriteRow(*m_, s->name, r);
        return Fail(err == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : err);
      }
      m_->WithState([&](Db& db) {
        db.Prepare("UPDATE scm_state SET pid=?, start=? WHERE name=?")
            .Bind(1, static_cast<int64_t>(pid))
            .Bind(2, static_cast<int64_t>(start))
            .Bind(3, WideToUtf8(s->name))
            .Step();
        return 0;
      });
      // StartService returns once the program has connected to the manager.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kServiceWaitMs);
      while (std::chrono::steady_clock::now() < deadline) {
        if (ReadRow(*m_, s->name).connected) return TRUE;
        if (!Live(pid, start)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    });
  }

  BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
      DWORD need = control == SERVICE_CONTROL_STOP          ? SERVICE_STOP
                   : control == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                                                            : 0x0040;  // SERVICE_PAUSE_CONTINUE
      auto s = Service(service, need);
      if (!s) return FALSE;
      auto c = reg_.Read(s->name);
      if (!c) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
      SERVICE_STATUS now = StatusOf(s->name, *c);
      if (status) *status = now;
      if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
        return Fail(now.dwCurrentState == SERVICE_STOPPED ? ERROR_SERVICE_NOT_ACTIVE : ERROR_INVALID_SERVICE_CONTROL);
      }
      if (now.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
      if (control == SERVICE_CONTROL_INTERROGATE) return TRUE;
      if (now.dwCurrentState != SERVICE_RUNNING && now.dwCurrentState != SERVICE_PAUSED) {
        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
      }
      if (!(now.dwControlsAccepted & SERVICE_ACCEPT_STOP)) return Fail(ERROR_INVALID_SERVICE_CONTROL);
      StateRow r = ReadRow(*m_, s->name);
      if (c->IsDriver()) {
        r.state = SERVICE_STOPPED;
        r.accepted = 0;
        WriteRow(*m_, s->name, r);
      } else {
        m_->WithState([&](Db& db) {
          db.Prepare("UPDATE scm_state SET control=? WHERE name=?")
              .Bind(1, static_cast<int64_t>(control))
              .Bind(2, WideToUtf8(s->name))
              .Step();
          return 0;
        });
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kServiceWaitMs);
        while (true) {
          StateRow now2 = ReadRow(*m_, s->name);
          if (now2.control == 0 || !Live(now2.pid, now2.start)) break;
          if (std::chrono::steady_clock::now() >= deadline) {
            if (status) *status = StatusOf(s->name, *c);
            return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
      if (status) *status = StatusOf(s->name, *c);
      Sweep(s->name);
      return TRUE;
    });
  }

  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
      auto s = Service(service, SERVICE_QUERY_STATUS);
      if (!s) return FALSE;
      auto c = reg_.Read(s->name);
      if (!c) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
      *status = StatusOf(s->name, *c);
      return TRUE;
    });
  }

  BOOL QueryServiceConfigW(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config) override {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
      auto s = Service(service, SERVICE_QUERY_CONFIG);
      if (!s) return FALSE;
      auto c = reg_.Read(s->name);
      if (!c) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
      config->dwServiceType = c->type;
      config->dwStartType = c->start;
      config->dwErrorControl = c->errorControl;
      config->lpBinaryPathName = c->imagePath;
      config->lpServiceStartName = c->objectName;
      config->lpDisplayName = c->displayName;
      return TRUE;
    });
  }

  BOOL DeleteService(SC_HANDLE service) override {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
      auto s = Service(service, DELETE);
      if (!s) return FALSE;
      auto c = reg_.Read(s->name);
      if (!c) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
      if (c->deleteFlag) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
      reg_.MarkForDelete(s->name);
      return TRUE;
    });
  }

  BOOL CloseServiceHandle(SC_HANDLE handle) override {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
      auto o = Handles().GetAs<ScmObject>(Unwrap(handle));
      if (!o) return Fail(ERROR_INVALID_HANDLE);
      Handles().Close(Unwrap(handle));
      if (!o->manager) {
        m_->WithState([&](Db& db) {
          db.Prepare("DELETE FROM scm_handles WHERE id=?").Bind(1, o->row).Step();
          return 0;
        });
        Sweep(o->name);
      }
      return TRUE;
    });
  }

  BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW& entry) override {
    const int pid = getpid();
    const uint64_t start = SelfStart();
    // Connect: the manager started this process for this service and waits for it.
    bool connected = Guard<bool>(false, [&] {
      return m_->WithState([&](Db& db) {
        EnsureScmSchema(db);
        Transaction t(db);
        auto st = db.Prepare("SELECT pid, start, connected, state FROM scm_state WHERE name=?");
        st.Bind(1, WideToUtf8(entry.lpServiceName));
        if (!st.Step()) return false;
        int rowPid = static_cast<int>(st.Int(0));
        if (st.Int(2) != 0 || st.Int(3) != SERVICE_START_PENDING || (rowPid != 0 && rowPid != pid)) return false;
        db.Prepare("UPDATE scm_state SET pid=?, start=?, connected=1 WHERE name=?")
            .Bind(1, static_cast<int64_t>(pid))
            .Bind(2, static_cast<int64_t>(start))
            .Bind(3, WideToUtf8(entry.lpServiceName))
            .Step();
        t.Commit();
        return true;
      });
    });
    if (!connected) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    {
      std::lock_guard lock(dispatcher_.mutex);
      dispatcher_.name = entry.lpServiceName;
    }
    std::atomic<bool> mainDone{false};
    std::thread main([&] {
      entry.lpServiceProc({entry.lpServiceName});
      mainDone = true;
    });
    while (true) {
      StateRow r;
      try {
        r = ReadRow(*m_, entry.lpServiceName);
      } catch (...) {
        r.state = SERVICE_STOPPED;
      }
      if (r.control != 0) {
        LPHANDLER_FUNCTION handler;
        {
          std::lock_guard lock(dispatcher_.mutex);
          handler = dispatcher_.handler;
        }
        if (handler) handler(r.control);
        Guard<int>(0, [&] {
          return m_->WithState([&](Db& db) {
            db.Prepare("UPDATE scm_state SET control=0 WHERE name=? AND pid=?")
                .Bind(1, WideToUtf8(entry.lpServiceName))
                .Bind(2, static_cast<int64_t>(pid))
                .Step();
            return 0;
          });
        });
        continue;
      }
      if (mainDone && (r.state == SERVICE_STOPPED || r.pid != pid)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    main.join();
    return TRUE;
  }

  SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(std::u16string_view name, LPHANDLER_FUNCTION handler) override {
    std::lock_guard lock(dispatcher_.mutex);
    if (dispatcher_.name.empty() || !EqualsNoCase(dispatcher_.name, name)) {
      SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
      return nullptr;
    }
    dispatcher_.handler = std::move(handler);
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(&dispatcher_);
  }

  BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) override {
    if (handle != reinterpret_cast<SERVICE_STATUS_HANDLE>(&dispatcher_)) return Fail(ERROR_INVALID_HANDLE);
    std::u16string name;
    {
      std::lock_guard lock(dispatcher_.mutex);
      name = dispatcher_.name;
    }
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
      m_->WithState([&](Db& db) {
        db.Prepare(
              "UPDATE scm_state SET state=?, accepted=?, exit_code=?, specific=?, checkpoint=?, wait_hint=?"
              " WHERE name=? AND pid=?")
            .Bind(1, static_cast<int64_t>(status.dwCurrentState))
            .Bind(2, static_cast<int64_t>(status.dwControlsAccepted))
            .Bind(3, static_cast<int64_t>(status.dwWin32ExitCode))
            .Bind(4, static_cast<int64_t>(status.dwServiceSpecificExitCode))
            .Bind(5, static_cast<int64_t>(status.dwCheckPoint))
            .Bind(6, static_cast<int64_t>(status.dwWaitHint))
            .Bind(7, WideToUtf8(name))
            .Bind(8, static_cast<int64_t>(getpid()))
            .Step();
        return 0;
      });
      if (status.dwCurrentState == SERVICE_STOPPED) Sweep(name);
      return TRUE;
    });
  }

 private:
  template <class R, class F>
  static R Guard(R failed, F&& f) {
    try {
      return f();
    } catch (...) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return failed;
    }
  }
  static SC_HANDLE NullWith(DWORD code) {
    SetLastError(code);
    return nullptr;
  }
  static SC_HANDLE Wrap(HANDLE h) { return reinterpret_cast<SC_HANDLE>(h); }
  static HANDLE Unwrap(SC_HANDLE h) { return reinterpret_cast<HANDLE>(h); }
  static bool ValidName(std::u16string_view name) {
    return !name.empty() && name.size() <= 256 && name.find_first_of(u"/\\") == std::u16string_view::npos;
  }

  std::shared_ptr<ScmObject> Manager(SC_HANDLE h) {
    auto o = Handles().GetAs<ScmObject>(Unwrap(h));
    if (!o || !o->manager) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    return o;
  }

  std::shared_ptr<ScmObject> Service(SC_HANDLE h, DWORD need) {
    auto o = Handles().GetAs<ScmObject>(Unwrap(h));
    if (!o || o->manager) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if ((o->access & need) != need) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    return o;
  }

  SC_HANDLE OpenHandle(std::u16string_view name, DWORD access) {
    int64_t row = m_->WithState([&](Db& db) {
      EnsureScmSchema(db);
      db.Prepare("INSERT INTO scm_handles(pid, start, name) VALUES(?,?,?)")
          .Bind(1, static_cast<int64_t>(getpid()))
          .Bind(2, static_cast<int64_t>(SelfStart()))
          .Bind(3, WideToUtf8(name))
          .Step();
      return db.LastInsertId();
    });
    return Wrap(Handles().Add(std::make_shared<ScmObject>(false, std::u16string(name), access, row)));
  }

  SERVICE_STATUS StatusOf(std::u16string_view name, const Config& c) {
    StateRow r = ReadRow(*m_, name);
    SERVICE_STATUS st;
    st.dwServiceType = c.type;
    DWORD state = r.exists ? r.state : SERVICE_STOPPED;
    if (!c.IsDriver() && state != SERVICE_STOPPED && !(r.pid && Live(r.pid, r.start))) {
      state = SERVICE_STOPPED;
      st.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    } else {
      st.dwWin32ExitCode = r.exitCode;
      st.dwServiceSpecificExitCode = r.specific;
    }
    if (r.hold) state = r.hold;
    st.dwCurrentState = state;
    if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
      st.dwControlsAccepted = c.IsDriver() ? SERVICE_ACCEPT_STOP : r.accepted;
    }
    if (state != SERVICE_RUNNING && state != SERVICE_STOPPED) {
      st.dwCheckPoint = r.checkpoint;
      st.dwWaitHint = r.waitHint;
    }
    return st;
  }

  // A driver's file: "\??\C:\x.sys", "\SystemRoot\...", "system32\drivers\x.sys" or a Win32 path.
  static std::u16string DriverFile(std::u16string path) {
    if (path.rfind(u"\\??\\", 0) == 0) return path.substr(4);
    if (StartsWithNoCase(path, u"\\SystemRoot\\")) return u"C:\\Windows\\" + path.substr(12);
    if (path.size() > 1 && path[1] == u':') return path;
    return u"C:\\Windows\\" + path;
  }

  int LiveHandles(std::u16string_view name) {
    return m_->WithState([&](Db& db) {
      EnsureScmSchema(db);
      int live = 0;
      std::vector<int64_t> dead;
      auto st = db.Prepare("SELECT id, pid, start FROM scm_handles WHERE name=?");
      st.Bind(1, WideToUtf8(name));
      while (st.Step()) {
        if (Live(static_cast<int>(st.Int(1)), static_cast<uint64_t>(st.Int(2)))) {
          ++live;
        } else {
          dead.push_back(st.Int(0));
        }
      }
      for (int64_t id : dead) db.Prepare("DELETE FROM scm_handles WHERE id=?").Bind(1, id).Step();
      return live;
    });
  }

  // A service marked for deletion goes once it has stopped and no handle to it is left.
  void Sweep(std::u16string_view name) {
    auto c = reg_.Read(name);
    if (!c || !c->deleteFlag) return;
    if (StatusOf(name, *c).dwCurrentState != SERVICE_STOPPED) return;
    if (LiveHandles(name) > 0) return;
    reg_.Remove(name);
    DeleteRow(*m_, name);
  }

  void SweepAll() {
    for (const auto& name : reg_.Names()) Sweep(name);
  }

  std::shared_ptr<Machine> m_;
  Reg reg_;
  Dispatcher dispatcher_;
};

}  // namespace

bool IsDevicePath(std::u16string_view path) { return path.rfind(u"\\\\.\\", 0) == 0 && path.size() > 4; }

HANDLE OpenDevice(std::shared_ptr<Machine> machine, std::u16string_view path, DWORD) {
  try {
    std::u16string name(path.substr(4));
    Reg reg(machine);
    auto c = reg.Read(name);
    StateRow r = ReadRow(*machine, name);
    DWORD state = r.hold ? r.hold : r.state;
    if (!c || !c->IsDriver() || !r.exists || state != SERVICE_RUNNING) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    return Handles().Add(std::make_shared<DeviceObject>(name));
  } catch (...) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
}

void HoldServiceState(Machine& machine, std::u16string_view name, DWORD state) {
  StateRow r = ReadRow(machine, name);
  r.hold = state;
  WriteRow(machine, name, r);
}

std::unique_ptr<IServiceManager> MakeServiceManager(std::shared_ptr<Machine> m) {
  return std::make_unique<WinsimServiceManager>(std::move(m));
}

}  // namespace winsim

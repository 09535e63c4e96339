// The desktop of a simulated machine: top-level windows are rows of the state database owned by a
// live process; every message sent, broadcast, window minimised and debug text is recorded in the
// desktop journal, where tests and the winsim command read it.
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/services.h"
#include "platform/winsim/windows_internal.h"

namespace winsim {

using namespace win;

namespace {

void EnsureWindowSchema(Db& db) {
  db.Exec(
      "CREATE TABLE IF NOT EXISTS windows(hwnd INTEGER PRIMARY KEY, pid INTEGER, start INTEGER, class TEXT,"
      " title TEXT, minimized INTEGER DEFAULT 0, redraw INTEGER DEFAULT 1)");
}

bool Live(int pid, uint64_t start) {
  auto s = ProcessStartTime(pid);
  return s && *s == start;
}

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

class WinsimDesktop : public IDesktop {
 public:
  explicit WinsimDesktop(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

  HWND FindWindowW(const char16_t* className, const char16_t* windowName) override {
    try {
      for (const auto& w : Windows()) {
        if (className && !EqualsNoCase(w.cls, className)) continue;
        if (windowName && w.title != windowName) continue;
        return ToHwnd(w.id);
      }
    } catch (...) {
    }
    SetLastError(ERROR_SUCCESS);
    return nullptr;
  }

  HWND CreateWindowExW(DWORD, std::u16string_view className, std::u16string_view title, DWORD) override {
    try {
      int64_t id = m_->WithState([&](Db& db) {
        EnsureWindowSchema(db);
        db.Prepare("INSERT INTO windows(pid, start, class, title) VALUES(?,?,?,?)")
            .Bind(1, static_cast<int64_t>(getpid()))
            .Bind(2, static_cast<int64_t>(ProcessStartTime(getpid()).value_or(0)))
            .Bind(3, WideToUtf8(className))
            .Bind(4, WideToUtf8(title))
            .Step();
        return db.LastInsertId();
      });
      return ToHwnd(id);
    } catch (...) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }

  BOOL DestroyWindow(HWND window) override {
    auto w = Find(window);
    if (!w) return FALSE;
    m_->WithState([&](Db& db) {
      db.Prepare("DELETE FROM windows WHERE hwnd=?").Bind(1, w->id).Step();
      return 0;
    });
    return TRUE;
  }

  LRESULT SendMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    auto w = Find(window);
    if (!w) return 0;
    if (msg == WM_SETREDRAW) {
      m_->WithState([&](Db& db) {
        db.Prepare("UPDATE windows SET redraw=? WHERE hwnd=?").Bind(1, wParam ? 1 : 0).Bind(2, w->id).Step();
        return 0;
      });
    }
    Journal("SendMessage", Utf8Name(*w), Message(msg, wParam, lParam), msg);
    return 0;
  }

  LRESULT SendMessageTimeoutW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                              DWORD_PTR* result) override {
    if (result) *result = 0;
    std::string target;
    if (window == HWND_BROADCAST) {
      target = "HWND_BROADCAST";
    } else {
      auto w = Find(window);
      if (!w) return 0;
      target = Utf8Name(*w);
    }
    Journal("SendMessageTimeout", target,
            Message(msg, wParam, lParam) + " flags=" + Hex(flags) + " timeout=" + std::to_string(timeoutMs), msg);
    return 1;
  }

  BOOL CloseWindow(HWND window) override {
    auto w = Find(window);
    if (!w) return FALSE;
    m_->WithState([&](Db& db) {
      db.Prepare("UPDATE windows SET minimized=1 WHERE hwnd=?").Bind(1, w->id).Step();
      return 0;
    });
    Journal("CloseWindow", Utf8Name(*w), "minimised", 0);
    return TRUE;
  }

  BOOL IsIconic(HWND window) override {
    auto w = Find(window);
    return w && w->minimized ? TRUE : FALSE;
  }

  std::vector<HWND> EnumWindows() override {
    std::vector<HWND> out;
    try {
      for (const auto& w : Windows()) out.push_back(ToHwnd(w.id));
    } catch (...) {
    }
    return out;
  }

  DWORD GetWindowThreadProcessId(HWND window, DWORD* pid) override {
    auto w = Find(window);
    if (pid) *pid = w ? static_cast<DWORD>(w->pid) : 0;
    // Windows of the simulation have one thread each: the process's main one.
    return w ? static_cast<DWORD>(w->pid) : 0;
  }

  BOOL PostMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    auto w = Find(window);
    if (!w) return FALSE;
    Journal("PostMessage", Utf8Name(*w), Message(msg, wParam, lParam), msg);
    // A window of a process with a window system gets the message in its thread's queue.
    PostToWindowProcess(m_->root(), static_cast<int>(w->pid), window, msg, wParam, lParam);
    return TRUE;
  }

  void OutputDebugStringW(std::u16string_view text) override {
    try {
      Journal("OutputDebugString", "", WideToUtf8(text), 0);
    } catch (...) {
    }
  }

 private:
  struct Win {
    int64_t id;
    std::u16string cls, title;
    bool minimized;
    int64_t pid;
  };

  static HWND ToHwnd(int64_t id) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10000 + id * 2)); }
  static int64_t FromHwnd(HWND h) {
    auto v = reinterpret_cast<uintptr_t>(h);
    return v >= 0x10002 && v % 2 == 0 ? static_cast<int64_t>((v - 0x10000) / 2) : -1;
  }

  std::vector<Win> Windows() {
    return m_->WithState([&](Db& db) {
      EnsureWindowSchema(db);
      std::vector<Win> out;
      std::vector<int64_t> dead;
      auto st = db.Prepare("SELECT hwnd, pid, start, class, title, minimized FROM windows ORDER BY hwnd DESC");
      while (st.Step()) {
        if (!Live(static_cast<int>(st.Int(1)), static_cast<uint64_t>(st.Int(2)))) {
          dead.push_back(st.Int(0));
          continue;
        }
        out.push_back({st.Int(0), Utf8ToWide(st.Text(3)), Utf8ToWide(st.Text(4)), st.Int(5) != 0, st.Int(1)});
      }
      for (int64_t id : dead) db.Prepare("DELETE FROM windows WHERE hwnd=?").Bind(1, id).Step();
      return out;
    });
  }

  std::optional<Win> Find(HWND h) {
    int64_t id = FromHwnd(h);
    try {
      for (auto& w : Windows()) {
        if (w.id == id) return w;
      }
    } catch (...) {
    }
    SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
    return std::nullopt;
  }

  static std::string Utf8Name(const Win& w) { return WideToUtf8(w.cls) + " \"" + WideToUtf8(w.title) + "\""; }
  static std::string Message(UINT msg, WPARAM wParam, LPARAM lParam) {
    return "msg=" + Hex(msg) + " wParam=" + Hex(wParam) + " lParam=" + Hex(static_cast<uint64_t>(lParam));
  }

  void Journal(const std::string& kind, const std::string& caption, const std::string& text, UINT flags) {
    const std::u16string& p = m_->self().imagePath;
    size_t slash = p.find_last_of(u"\\/");
    std::u16string image = slash == std::u16string::npos ? p : p.substr(slash + 1);
    m_->WithState([&](Db& db) {
      auto now = std::chrono::system_clock::now().time_since_epoch();
      db.Prepare(
            "INSERT INTO journal(time, pid, image, kind, owner, caption, text, flags, answer) VALUES(?,?,?,?,?,?,?,?,?)")
          .Bind(1, std::chrono::duration_cast<std::chrono::milliseconds>(now).count())
          .Bind(2, static_cast<int64_t>(getpid()))
          .Bind(3, WideToUtf8(image))
          .Bind(4, kind)
          .Bind(5, static_cast<int64_t>(0))
          .Bind(6, caption)
          .Bind(7, text)
          .Bind(8, static_cast<int64_t>(flags))
          .Bind(9, static_cast<int64_t>(0))
          .Step();
      return 0;
    });
  }

  std::shared_ptr<Machine> m_;
};

}  // namespace

std::unique_ptr<IDesktop> MakeDesktop(std::shared_ptr<Machine> m) {
  return std::make_unique<WinsimDesktop>(std::move(m));
}

}  // namespace winsim

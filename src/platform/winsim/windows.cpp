// The window manager and GDI of a simulated process. Windows belong to the thread that created
// them; each thread has a queue of posted and sent messages; a thread waiting in GetMessageW or in
// its own cross-thread SendMessageW serves the messages sent to it, as on Windows, so two threads
// sending to each other do not deadlock. Every top-level window has a backing surface that its DCs
// draw into; its picture is the surface with its visible children drawn on top.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/gdiplus.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/raster.h"
#include "platform/winsim/services.h"
#include "platform/winsim/windows_internal.h"

namespace winsim {

using namespace win;

namespace {

constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorResourceNotFound = 1814;
constexpr DWORD kErrorNotOwnerThread = ERROR_ACCESS_DENIED;
constexpr uint32_t kFaceColor = 0xFFF0F0F0;    // COLOR_3DFACE
constexpr uint32_t kBorderColor = 0xFF646464;  // a thin window border
constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr int kDefaultScreenWidth = 1024;
constexpr int kDefaultScreenHeight = 768;

uint32_t ToArgb(COLORREF c) {
  return 0xFF000000u | (static_cast<uint32_t>(GetRValue(c)) << 16) | (static_cast<uint32_t>(GetGValue(c)) << 8) |
         GetBValue(c);
}

// ---- GDI objects ----

struct GdiObject {
  enum Kind { kBitmap, kFont, kBrush, kIcon };
  explicit GdiObject(Kind k) : kind(k) {}
  virtual ~GdiObject() = default;
  Kind kind;
  bool stock = false;
};

struct BitmapObject : GdiObject {
  BitmapObject() : GdiObject(kBitmap) {}
  Pixels px;
  int resourceId = 0;
};

struct FontObject : GdiObject {
  FontObject() : GdiObject(kFont) {}
  FontDesc desc;
};

struct BrushObject : GdiObject {
  BrushObject() : GdiObject(kBrush) {}
  bool hollow = false;
  uint32_t argb = kWhite;
};

struct IconObject : GdiObject {
  IconObject() : GdiObject(kIcon) {}
  std::vector<BYTE> ico;
  int resourceId = 0;
};

struct DcObject {
  HWND window = nullptr;  // nullptr: a memory DC
  uintptr_t bitmap = 0;   // selected into a memory DC
  uintptr_t font = 0;
  uintptr_t brush = 0;
  COLORREF textColor = RGB(0, 0, 0);
  COLORREF bkColor = RGB(255, 255, 255);
  int bkMode = OPAQUE;
};

// ---- GDI+ image ----

class GifImage : public Gdiplus::GpImage {
 public:
  explicit GifImage(GifAnimation a) : anim_(std::move(a)) {}
  UINT Width() const override { return static_cast<UINT>(anim_.width); }
  UINT Height() const override { return static_cast<UINT>(anim_.height); }
  UINT FrameCount() const override { return static_cast<UINT>(anim_.frames.size()); }
  const uint32_t* FrameDelays() const override { return anim_.delays.empty() ? nullptr : anim_.delays.data(); }
  UINT ActiveFrame() const override { return active_.load(); }
  bool SelectFrame(UINT index) override {
    if (index >= anim_.frames.size()) return false;
    active_.store(index);
    return true;
  }
  const Pixels& Frame() const { return anim_.frames[active_.load()]; }

 private:
  GifAnimation anim_;
  std::atomic<UINT> active_{0};
};

// ---- windows and queues ----

struct SentMessage;

struct ThreadQueue {
  struct Posted {
    MSG msg;
    uint64_t seq;
  };
  std::deque<Posted> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::condition_variable cv;
  bool quit = false;
  int quitCode = 0;
  bool alive = true;
  uint64_t nextSeq = 1;
  uint64_t taken = 0;      // seq of the last posted message taken out
  uint64_t processed = 0;  // seq of the last one the thread is done with (it asked for the next)
};

struct SentMessage {
  HWND hwnd;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  bool done = false;
  std::shared_ptr<ThreadQueue> replyTo;
};

struct Wnd {
  HWND hwnd = nullptr;
  HWND parent = nullptr;
  std::shared_ptr<ThreadQueue> queue;
  uint64_t order = 0;
  int id = 0;
  std::u16string cls;
  DWORD style = 0, exStyle = 0;
  std::u16string text;
  int x = 0, y = 0, w = 0, h = 0;  // parent's client coordinates; the screen for top-level windows
  WNDPROC proc = nullptr;
  DLGPROC dlgProc = nullptr;
  bool dialog = false;
  int templateId = 0;
  bool desktopRow = false;
  HINSTANCE instance = nullptr;
  LONG_PTR userData = 0, msgResult = 0, dlgUser = 0;
  uintptr_t font = 0, image = 0, iconSmall = 0, iconBig = 0;
  bool invalid = false, erase = false;
  bool trackLeave = false, trackHover = false;
  bool pressed = false;
  // How a text static last painted itself (the parent's WM_CTLCOLORSTATIC answer).
  bool painted = false;
  COLORREF textColor = RGB(0, 0, 0);
  int bkMode = OPAQUE;
  COLORREF bkColor = RGB(0xF0, 0xF0, 0xF0);
  uintptr_t brush = 0;
  std::vector<HWND> children;
  std::unique_ptr<Canvas> surface;
  HWND focus = nullptr;  // dialogs: the focused control
};

uintptr_t Key(const void* h) { return reinterpret_cast<uintptr_t>(h); }

bool IsButton(const Wnd& w) { return EqualsNoCase(w.cls, u"Button"); }
bool IsStatic(const Wnd& w) { return EqualsNoCase(w.cls, u"Static"); }
bool IsBitmapStatic(const Wnd& w) { return IsStatic(w) && (w.style & SS_TYPEMASK) == SS_BITMAP; }
int BorderOf(const Wnd& w) { return (w.style & WS_BORDER) ? 1 : 0; }

// Everything the process's threads share; also reached by thread-exit clean-up.
struct Core {
  std::mutex mu;
  std::map<std::thread::id, std::shared_ptr<ThreadQueue>> queues;
  std::condition_variable progress;  // a queue's processed mark moved or its thread ended
};

// Ends a thread's queues when the thread ends: senders waiting on it get 0, as on Windows.
struct ThreadQueues {
  std::vector<std::pair<std::weak_ptr<Core>, std::shared_ptr<ThreadQueue>>> entries;
  ~ThreadQueues() {
    for (auto& [weak, q] : entries) {
      auto core = weak.lock();
      if (!core) continue;
      std::lock_guard lock(core->mu);
      q->alive = false;
      for (auto& s : q->sent) {
        s->done = true;
        if (s->replyTo) s->replyTo->cv.notify_all();
      }
      q->sent.clear();
      for (auto it = core->queues.begin(); it != core->queues.end(); ++it) {
        if (it->second == q) {
          core->queues.erase(it);
          break;
        }
      }
      core->progress.notify_all();
    }
  }
};
thread_local ThreadQueues tQueues;

class WinsimWindows;
WinsimWindows* Self();

LRESULT CALLBACK DialogClassProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ButtonClassProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK StaticClassProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK PlainClassProc(HWND, UINT, WPARAM, LPARAM);

class WinsimWindows : public IWindows {
 public:
  explicit WinsimWindows(std::shared_ptr<Machine> m) : m_(std::move(m)), core_(std::make_shared<Core>()) {
    auto nullBrush = std::make_shared<BrushObject>();
    nullBrush->hollow = true;
    nullBrush->stock = true;
    stock_[NULL_BRUSH] = AddObject(nullBrush);
    auto white = std::make_shared<BrushObject>();
    white->stock = true;
    stock_[WHITE_BRUSH] = AddObject(white);
    auto face = std::make_shared<BrushObject>();
    face->argb = kFaceColor;
    face->stock = true;
    faceBrush_ = AddObject(face);
    auto gui = std::make_shared<FontObject>();
    gui->desc = {u"MS Shell Dlg", -11, FW_NORMAL};
    gui->stock = true;
    stock_[DEFAULT_GUI_FONT] = AddObject(gui);
  }

  ~WinsimWindows() override {
    server_.reset();
    std::vector<HWND> rows;
    {
      std::lock_guard lock(core_->mu);
      for (auto& [k, w] : windows_) {
        if (w->desktopRow) rows.push_back(w->hwnd);
      }
    }
    // Only through the platform this service belongs to; another one may be current by now.
    if (Platform::HasCurrent() && &Platform::Current().Windows() == this) {
      for (HWND h : rows) Desktop().DestroyWindow(h);
    }
  }

  // ---- windows ----

  HWND CreateDialogParamW(HINSTANCE instance, int templateId, HWND parent, DLGPROC proc, LPARAM param) override {
    auto bytes = LoadLocalized(u"#5", templateId);
    DialogTemplate t;
    std::string why;
    if (!bytes || !ParseDialogTemplate(std::string(bytes->begin(), bytes->end()), &t, &why)) {
      SetLastError(bytes ? ERROR_INVALID_DATA : kErrorResourceNotFound);
      return nullptr;
    }
    const int border = (t.style & WS_BORDER) ? 1 : 0;
    const int cw = DluToPixelsX(t.w), ch = DluToPixelsY(t.h);
    const int ww = cw + 2 * border, wh = ch + 2 * border;
    int x = DluToPixelsX(t.x), y = DluToPixelsY(t.y);
    if (t.style & DS_CENTER) {
      x = std::max(0, (ScreenWidth() - ww) / 2);
      y = std::max(0, (ScreenHeight() - wh) / 2);
    } else if (parent && !(t.style & WS_CHILD)) {
      // An owned dialog is placed relative to its owner's client area, in screen coordinates.
      POINT p{x, y};
      MapWindowPoints(parent, nullptr, &p, 1);
      x = p.x;
      y = p.y;
    }
    // Top-level windows are rows of the machine's window table, so other processes find them.
    HWND hwnd = Desktop().CreateWindowExW(t.exStyle, u"#32770", t.caption, t.style & ~WS_VISIBLE);
    const bool row = hwnd != nullptr;
    uintptr_t fontHandle = 0;
    if (t.style & DS_SETFONT) {
      auto f = std::make_shared<FontObject>();
      f->desc = {t.fontFace, -((t.fontPoints * 96 + 36) / 72), FW_NORMAL};
      fontHandle = AddObject(f);
    }
    std::vector<HWND> controls;
    {
      std::lock_guard lock(core_->mu);
      if (!hwnd) hwnd = NewLocalHandle();
      auto w = std::make_unique<Wnd>();
      w->hwnd = hwnd;
      w->parent = parent;
      w->queue = MyQueueLocked();
      w->order = ++order_;
      w->cls = u"#32770";
      w->style = t.style & ~WS_VISIBLE;
      w->exStyle = t.exStyle;
      w->text = t.caption;
      w->x = x, w->y = y, w->w = ww, w->h = wh;
      w->proc = DialogClassProc;
      w->dlgProc = proc;
      w->dialog = true;
      w->templateId = templateId;
      w->desktopRow = row;
      w->instance = instance;
      w->font = fontHandle;
      w->invalid = w->erase = true;
      w->surface = std::make_unique<Canvas>(std::max(cw, 1), std::max(ch, 1), kFaceColor);
      Wnd* dlg = w.get();
      windows_[Key(hwnd)] = std::move(w);
      for (const auto& item : t.items) {
        auto c = std::make_unique<Wnd>();
        c->hwnd = NewLocalHandle();
        c->parent = hwnd;
        c->queue = dlg->queue;
        c->order = ++order_;
        c->id = item.id;
        c->cls = item.cls;
        c->style = item.style | WS_CHILD;
        c->text = item.text;
        c->x = DluToPixelsX(item.x), c->y = DluToPixelsY(item.y);
        c->w = DluToPixelsX(item.w), c->h = DluToPixelsY(item.h);
        c->proc = IsButton(*c) ? ButtonClassProc : IsStatic(*c) ? StaticClassProc : PlainClassProc;
        c->font = fontHandle;
        c->invalid = c->erase = true;
        c->instance = instance;
        dlg->children.push_back(c->hwnd);
        controls.push_back(c->hwnd);
        windows_[Key(c->hwnd)] = std::move(c);
      }
    }
    StartServer();
    HWND firstTab = nullptr;
    {
      std::lock_guard lock(core_->mu);
      for (HWND c : controls) {
        Wnd* w = FindLocked(c);
        if (w && (w->style & WS_TABSTOP) && (w->style & WS_VISIBLE) && !(w->style & WS_DISABLED)) {
          firstTab = c;
          break;
        }
      }
    }
    LRESULT focusDefault = CallProc(hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTab), param);
    if (!IsOurs(hwnd)) return nullptr;  // the dialog ended itself while starting
    {
      std::lock_guard lock(core_->mu);
      Wnd* dlg = FindLocked(hwnd);
      if (dlg && focusDefault && !dlg->focus) dlg->focus = firstTab;
      focusRoot_ = hwnd;
    }
    if (t.style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOW);
    return hwnd;
  }

  HWND GetDlgItem(HWND dialog, int id) override {
    std::lock_guard lock(core_->mu);
    Wnd* d = FindLocked(dialog);
    if (!d) return SetLastError(kErrorInvalidWindowHandle), nullptr;
    for (HWND c : d->children) {
      Wnd* w = FindLocked(c);
      if (w && w->id == id) return c;
    }
    SetLastError(kErrorInvalidWindowHandle);
    return nullptr;
  }

  int GetDlgCtrlID(HWND window) override {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    return w && w->parent ? w->id : 0;
  }

  HWND GetParent(HWND window) override {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    return w ? w->parent : nullptr;
  }

  BOOL ShowWindow(HWND window, int cmd) override {
    std::unique_lock lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return FALSE;
    const bool was = (w->style & WS_VISIBLE) != 0;
    if (cmd == SW_HIDE) {
      w->style &= ~WS_VISIBLE;
    } else {
      w->style |= WS_VISIBLE;
      if (!was) InvalidateLocked(w, true, true);
    }
    return was ? TRUE : FALSE;
  }

  BOOL IsWindowVisible(HWND window) override {
    std::lock_guard lock(core_->mu);
    return VisibleLocked(FindLocked(window)) ? TRUE : FALSE;
  }

  BOOL IsWindow(HWND window) override {
    if (!window) return FALSE;
    if (window == kDesktopHwnd) return TRUE;
    {
      std::lock_guard lock(core_->mu);
      if (FindLocked(window)) return TRUE;
    }
    return Desktop().GetWindowThreadProcessId(window, nullptr) != 0 ? TRUE : FALSE;
  }

  BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) override {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return FALSE;
    if (!(flags & SWP_NOMOVE)) w->x = x, w->y = y;
    if (!(flags & SWP_NOSIZE)) ResizeLocked(w, std::max(cx, 0), std::max(cy, 0));
    if (!(flags & SWP_NOZORDER) && insertAfter == HWND_TOPMOST) w->exStyle |= WS_EX_TOPMOST;
    if (flags & SWP_SHOWWINDOW) w->style |= WS_VISIBLE;
    if (flags & SWP_HIDEWINDOW) w->style &= ~WS_VISIBLE;
    if (!(flags & SWP_NOREDRAW)) InvalidateLocked(w, true, false);
    return TRUE;
  }

  BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) override {
    return SetWindowPos(window, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
  }

  BOOL GetWindowRect(HWND window, RECT* rect) override {
    if (!rect) return FALSE;
    if (window == kDesktopHwnd) {
      *rect = {0, 0, ScreenWidth(), ScreenHeight()};
      return TRUE;
    }
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return FALSE;
    POINT o = ScreenOriginLocked(w);
    *rect = {o.x, o.y, o.x + w->w, o.y + w->h};
    return TRUE;
  }

  BOOL GetClientRect(HWND window, RECT* rect) override {
    if (!rect) return FALSE;
    if (window == kDesktopHwnd) {
      *rect = {0, 0, ScreenWidth(), ScreenHeight()};
      return TRUE;
    }
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return FALSE;
    const int b = BorderOf(*w);
    *rect = {0, 0, std::max(0, w->w - 2 * b), std::max(0, w->h - 2 * b)};
    return TRUE;
  }

  int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) override {
    std::lock_guard lock(core_->mu);
    POINT a{0, 0}, b{0, 0};
    if (from && from != kDesktopHwnd) {
      Wnd* w = FindLocked(from);
      if (!w) return SetLastError(kErrorInvalidWindowHandle), 0;
      a = ClientOriginLocked(w);
    }
    if (to && to != kDesktopHwnd) {
      Wnd* w = FindLocked(to);
      if (!w) return SetLastError(kErrorInvalidWindowHandle), 0;
      b = ClientOriginLocked(w);
    }
    const LONG dx = a.x - b.x, dy = a.y - b.y;
    for (UINT i = 0; points && i < count; ++i) points[i].x += dx, points[i].y += dy;
    SetLastError(NO_ERROR);
    return static_cast<int>(MAKELPARAM(static_cast<WORD>(dx), static_cast<WORD>(dy)));
  }

  BOOL SetWindowTextW(HWND window, std::u16string_view text) override {
    if (!IsOurs(window)) return FALSE;
    std::u16string copy(text);
    return SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(copy.c_str())) ? TRUE : FALSE;
  }

  std::u16string GetWindowTextW(HWND window) override {
    // Read directly, as Windows does for windows of another thread.
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    return w ? w->text : std::u16string();
  }

  LRESULT SendMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    bool ok = true;
    return Send(window, msg, wParam, lParam, INFINITE, &ok);
  }

  BOOL PostMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (!window) {
      std::lock_guard lock(core_->mu);
      PostLocked(MyQueueLocked(), {nullptr, msg, wParam, lParam, 0, {}});
      return TRUE;
    }
    if (!IsOurs(window)) return Desktop().PostMessageW(window, msg, wParam, lParam);
    return Post(window, msg, wParam, lParam) ? TRUE : FALSE;
  }

  LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) override {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return SetLastError(kErrorInvalidWindowHandle), 0;
    LONG_PTR old = 0;
    SetLastError(NO_ERROR);
    switch (index) {
      case GWLP_WNDPROC:
        old = reinterpret_cast<LONG_PTR>(w->proc);
        w->proc = reinterpret_cast<WNDPROC>(value);
        return old;
      case GWLP_USERDATA:
        old = w->userData;
        w->userData = value;
        return old;
      case GWLP_ID:
        old = w->id;
        w->id = static_cast<int>(value);
        return old;
      case GWL_STYLE:
        old = static_cast<LONG_PTR>(w->style);
        w->style = static_cast<DWORD>(value);
        return old;
      case GWL_EXSTYLE:
        old = static_cast<LONG_PTR>(w->exStyle);
        w->exStyle = static_cast<DWORD>(value);
        return old;
      case GWLP_HINSTANCE:
        old = reinterpret_cast<LONG_PTR>(w->instance);
        w->instance = reinterpret_cast<HINSTANCE>(value);
        return old;
      default:
        break;
    }
    if (w->dialog) {
      if (index == DWLP_MSGRESULT) return std::exchange(w->msgResult, value);
      if (index == DWLP_DLGPROC) {
        old = reinterpret_cast<LONG_PTR>(w->dlgProc);
        w->dlgProc = reinterpret_cast<DLGPROC>(value);
        return old;
      }
      if (index == DWLP_USER) return std::exchange(w->dlgUser, value);
    }
    SetLastError(1413);  // ERROR_INVALID_INDEX
    return 0;
  }

  LONG_PTR GetWindowLongPtrW(HWND window, int index) override {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return SetLastError(kErrorInvalidWindowHandle), 0;
    switch (index) {
      case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
      case GWLP_USERDATA: return w->userData;
      case GWLP_ID: return w->id;
      case GWL_STYLE: return static_cast<LONG_PTR>(w->style);
      case GWL_EXSTYLE: return static_cast<LONG_PTR>(w->exStyle);
      case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
      default: break;
    }
    if (w->dialog) {
      if (index == DWLP_MSGRESULT) return w->msgResult;
      if (index == DWLP_DLGPROC) return reinterpret_cast<LONG_PTR>(w->dlgProc);
      if (index == DWLP_USER) return w->dlgUser;
    }
    SetLastError(1413);
    return 0;
  }

  LRESULT CallWindowProcW(WNDPROC proc, HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    return proc ? proc(window, msg, wParam, lParam) : 0;
  }

  LRESULT DefWindowProcW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    switch (msg) {
      case WM_SETTEXT: {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        if (!w) return FALSE;
        w->text = lParam ? std::u16string(reinterpret_cast<const char16_t*>(lParam)) : std::u16string();
        InvalidateLocked(w, true, false);
        return TRUE;
      }
      case WM_GETTEXT: {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        auto* buf = reinterpret_cast<char16_t*>(lParam);
        if (!w || !buf || wParam == 0) return 0;
        size_t n = std::min<size_t>(w->text.size(), wParam - 1);
        w->text.copy(buf, n);
        buf[n] = u'\0';
        return static_cast<LRESULT>(n);
      }
      case WM_GETTEXTLENGTH: {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        return w ? static_cast<LRESULT>(w->text.size()) : 0;
      }
      case WM_SETFONT: {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        if (!w) return 0;
        w->font = static_cast<uintptr_t>(wParam);
        if (LOWORD(static_cast<uintptr_t>(lParam))) InvalidateLocked(w, true, false);
        return 0;
      }
      case WM_GETFONT: {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        return w ? static_cast<LRESULT>(w->font) : 0;
      }
      case WM_SETICON: {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        if (!w) return 0;
        uintptr_t& slot = wParam == ICON_SMALL ? w->iconSmall : w->iconBig;
        return static_cast<LRESULT>(std::exchange(slot, static_cast<uintptr_t>(lParam)));
      }
      case WM_CLOSE:
        DestroyWindow(window);
        return 0;
      case WM_SYSKEYDOWN:
        if (wParam == VK_F4 && (static_cast<uintptr_t>(lParam) & (static_cast<uintptr_t>(KF_ALTDOWN) << 16))) {
          PostMessageW(RootOf(window), WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        return 0;
      case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_CLOSE) SendMessageW(window, WM_CLOSE, 0, 0);
        return 0;
      case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(window, &ps);
        EndPaint(window, &ps);
        return 0;
      }
      case WM_ERASEBKGND:
        return 0;
      case WM_MOUSEACTIVATE:
        return MA_ACTIVATE;
      case WM_CTLCOLORSTATIC:
      case WM_CTLCOLORBTN:
      case WM_CTLCOLORDLG:
        return DefaultControlColors(reinterpret_cast<HDC>(wParam));
      default:
        return 0;
    }
  }

  // What a dialog gets when its procedure leaves a message to the dialog manager.
  LRESULT DefDlgProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case WM_CLOSE:
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, IDCANCEL)));
        return 0;
      case WM_ERASEBKGND: {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        if (w && w->surface) w->surface->FillRect(0, 0, w->surface->Width(), w->surface->Height(), kFaceColor);
        return 1;
      }
      default:
        return DefWindowProcW(window, msg, wParam, lParam);
    }
  }

  BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase) override {
    std::lock_guard lock(core_->mu);
    if (!window) {
      for (auto& [k, w] : windows_) {
        if (!w->parent) InvalidateLocked(w.get(), erase != FALSE, false);
      }
      return TRUE;
    }
    Wnd* w = FindLocked(window);
    if (!w) return FALSE;
    InvalidateLocked(w, erase != FALSE, false);
    return TRUE;
  }

  BOOL RedrawWindow(HWND window, const RECT* rect, HRGN region, UINT flags) override {
    {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (!w) return FALSE;
      if (flags & RDW_INVALIDATE) InvalidateLocked(w, (flags & RDW_ERASE) != 0, (flags & RDW_ALLCHILDREN) != 0);
    }
    if (flags & RDW_UPDATENOW) UpdateTree(window, (flags & RDW_ALLCHILDREN) != 0);
    return TRUE;
  }

  BOOL UpdateWindow(HWND window) override {
    if (!IsOurs(window)) return FALSE;
    UpdateTree(window, false);
    return TRUE;
  }

  BOOL DestroyWindow(HWND window) override {
    std::vector<HWND> tree;
    {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (!w) return SetLastError(kErrorInvalidWindowHandle), FALSE;
      if (w->queue != MyQueueLocked()) return SetLastError(kErrorNotOwnerThread), FALSE;
      w->style &= ~WS_VISIBLE;
      CollectTreeLocked(window, &tree);
    }
    // WM_DESTROY parent first, WM_NCDESTROY children first, as Windows sends them.
    for (HWND h : tree) CallProc(h, WM_DESTROY, 0, 0);
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) CallProc(*it, WM_NCDESTROY, 0, 0);
    bool row = false;
    {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (w) {
        row = w->desktopRow;
        if (Wnd* p = FindLocked(w->parent)) std::erase(p->children, window);
      }
      for (HWND h : tree) {
        for (auto& [k, other] : windows_) {
          if (other->focus == h) other->focus = nullptr;
        }
        windows_.erase(Key(h));
      }
      // Senders still waiting on a window that is gone get 0, as for a window that never was.
      auto me = MyQueueLocked();
      std::erase_if(me->sent, [&](const std::shared_ptr<SentMessage>& s) {
        if (std::find(tree.begin(), tree.end(), s->hwnd) == tree.end()) return false;
        s->done = true;
        if (s->replyTo) s->replyTo->cv.notify_all();
        return true;
      });
      core_->progress.notify_all();
    }
    if (row) Desktop().DestroyWindow(window);
    return TRUE;
  }

  void PostQuitMessage(int exitCode) override {
    std::lock_guard lock(core_->mu);
    auto q = MyQueueLocked();
    q->quit = true;
    q->quitCode = exitCode;
    q->cv.notify_all();
  }

  BOOL GetMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax) override {
    if (!msg) return -1;
    if (window && !IsOurs(window)) return SetLastError(kErrorInvalidWindowHandle), -1;
    std::unique_lock lock(core_->mu);
    auto q = MyQueueLocked();
    MarkProcessedLocked(q);
    for (;;) {
      if (ServeOneSentLocked(q, lock)) continue;
      if (TakeLocked(q, msg, window, filterMin, filterMax, true)) return msg->message == WM_QUIT ? FALSE : TRUE;
      q->cv.wait(lock);
    }
  }

  BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) override {
    if (!msg) return FALSE;
    std::unique_lock lock(core_->mu);
    auto q = MyQueueLocked();
    MarkProcessedLocked(q);
    while (ServeOneSentLocked(q, lock)) {
    }
    return TakeLocked(q, msg, window, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0) ? TRUE : FALSE;
  }

  BOOL IsDialogMessageW(HWND dialog, MSG* msg) override {
    if (!msg || !dialog) return FALSE;
    {
      std::lock_guard lock(core_->mu);
      if (!FindLocked(dialog) || !msg->hwnd) return FALSE;
      if (msg->hwnd != dialog && !IsDescendantLocked(dialog, msg->hwnd)) return FALSE;
    }
    if (msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE)) {
      const int id = msg->wParam == VK_RETURN ? IDOK : IDCANCEL;
      SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
      return TRUE;
    }
    TranslateMessage(msg);
    DispatchMessageW(msg);
    return TRUE;
  }

  BOOL TranslateMessage(const MSG* msg) override {
    return msg && (msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN) ? TRUE : FALSE;
  }

  LRESULT DispatchMessageW(const MSG* msg) override {
    if (!msg || !msg->hwnd) return 0;
    return CallProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
  }

  BOOL TrackMouseEvent(TRACKMOUSEEVENT* track) override {
    if (!track || track->cbSize != sizeof(TRACKMOUSEEVENT)) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(track->hwndTrack);
    if (!w) return SetLastError(kErrorInvalidWindowHandle), FALSE;
    const bool on = !(track->dwFlags & TME_CANCEL);
    if (track->dwFlags & TME_LEAVE) w->trackLeave = on;
    if (track->dwFlags & TME_HOVER) w->trackHover = on;
    return TRUE;
  }

  HWND GetDesktopWindow() override { return kDesktopHwnd; }

  int GetSystemMetrics(int index) override {
    if (index == SM_CXSCREEN) return ScreenWidth();
    if (index == SM_CYSCREEN) return ScreenHeight();
    return 0;
  }

  HWND SetFocus(HWND window) override {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return nullptr;
    Wnd* root = FindLocked(RootLocked(window));
    if (!root) return nullptr;
    HWND old = root->focus ? root->focus : root->hwnd;
    root->focus = window == root->hwnd ? nullptr : window;
    focusRoot_ = root->hwnd;
    return old;
  }

  HWND GetFocus() override {
    std::lock_guard lock(core_->mu);
    Wnd* root = FindLocked(focusRoot_);
    if (!root) return nullptr;
    return root->focus ? root->focus : root->hwnd;
  }

  // ---- GDI ----

  HBITMAP LoadBitmapW(HINSTANCE, int id) override {
    auto bytes = LoadLocalized(u"#2", id);
    if (!bytes) return SetLastError(kErrorResourceNotFound), nullptr;
    auto px = DecodeDib(bytes->data(), bytes->size());
    if (!px) return SetLastError(ERROR_INVALID_DATA), nullptr;
    auto b = std::make_shared<BitmapObject>();
    b->px = std::move(*px);
    b->resourceId = id;
    return reinterpret_cast<HBITMAP>(AddObject(b));
  }

  HICON LoadIconW(HINSTANCE, int id) override {
    auto bytes = LoadLocalized(u"#14", id);
    if (!bytes) return SetLastError(kErrorResourceNotFound), nullptr;
    // An .ico file: reserved 0, type 1, at least one image.
    const auto& d = *bytes;
    if (d.size() < 6 + 16 || d[0] || d[1] || d[2] != 1 || d[3] || (d[4] == 0 && d[5] == 0)) {
      return SetLastError(ERROR_INVALID_DATA), nullptr;
    }
    auto icon = std::make_shared<IconObject>();
    icon->ico = std::move(*bytes);
    icon->resourceId = id;
    return reinterpret_cast<HICON>(AddObject(icon));
  }

  HANDLE LoadImageW(HINSTANCE instance, int id, UINT type, int, int, UINT) override {
    if (type == IMAGE_ICON) return LoadIconW(instance, id);
    if (type == IMAGE_BITMAP) return LoadBitmapW(instance, id);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }

  BOOL DestroyIcon(HICON icon) override { return DeleteObject(icon); }

  int GetObjectW(HGDIOBJ object, int size, void* out) override {
    std::lock_guard lock(core_->mu);
    auto it = objects_.find(Key(object));
    if (it == objects_.end() || it->second->kind != GdiObject::kBitmap) return 0;
    if (!out) return static_cast<int>(sizeof(BITMAP));
    if (size < static_cast<int>(sizeof(BITMAP))) return 0;
    const auto& px = static_cast<BitmapObject&>(*it->second).px;
    BITMAP bm;
    bm.bmWidth = px.width;
    bm.bmHeight = px.height;
    bm.bmWidthBytes = px.width * 4;
    bm.bmPlanes = 1;
    bm.bmBitsPixel = 32;
    std::memcpy(out, &bm, sizeof bm);
    return static_cast<int>(sizeof(BITMAP));
  }

  BOOL DeleteObject(HGDIOBJ object) override {
    std::lock_guard lock(core_->mu);
    auto it = objects_.find(Key(object));
    if (it == objects_.end()) return FALSE;
    if (!it->second->stock) objects_.erase(it);
    return TRUE;
  }

  HGDIOBJ GetStockObject(int index) override {
    std::lock_guard lock(core_->mu);
    auto it = stock_.find(index);
    return it == stock_.end() ? nullptr : reinterpret_cast<HGDIOBJ>(it->second);
  }

  HDC BeginPaint(HWND window, PAINTSTRUCT* paint) override {
    if (!paint) return nullptr;
    bool erase = false;
    {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (!w) return nullptr;
      erase = w->erase;
      w->invalid = w->erase = false;
      core_->progress.notify_all();  // a picture may be waiting for this paint
    }
    HDC dc = GetDC(window);
    if (!dc) return nullptr;
    *paint = PAINTSTRUCT{};
    paint->hdc = dc;
    GetClientRect(window, &paint->rcPaint);
    paint->fErase = erase && !CallProc(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) ? TRUE : FALSE;
    return dc;
  }

  BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) override {
    if (!paint) return FALSE;
    ReleaseDC(window, paint->hdc);
    return TRUE;
  }

  HDC GetDC(HWND window) override {
    std::lock_guard lock(core_->mu);
    if (!FindLocked(window)) return nullptr;
    auto dc = std::make_shared<DcObject>();
    dc->window = window;
    return NewDcLocked(dc);
  }

  int ReleaseDC(HWND, HDC dc) override {
    std::lock_guard lock(core_->mu);
    auto it = dcs_.find(Key(dc));
    if (it == dcs_.end() || !it->second->window) return 0;
    dcs_.erase(it);
    return 1;
  }

  HDC CreateCompatibleDC(HDC) override {
    std::lock_guard lock(core_->mu);
    return NewDcLocked(std::make_shared<DcObject>());
  }

  BOOL DeleteDC(HDC dc) override {
    std::lock_guard lock(core_->mu);
    return dcs_.erase(Key(dc)) ? TRUE : FALSE;
  }

  HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) override {
    std::lock_guard lock(core_->mu);
    auto d = dcs_.find(Key(dc));
    auto o = objects_.find(Key(object));
    if (d == dcs_.end() || o == objects_.end()) return nullptr;
    uintptr_t* slot = nullptr;
    switch (o->second->kind) {
      case GdiObject::kBitmap:
        if (d->second->window) return nullptr;  // only memory DCs take bitmaps
        slot = &d->second->bitmap;
        break;
      case GdiObject::kFont: slot = &d->second->font; break;
      case GdiObject::kBrush: slot = &d->second->brush; break;
      default: return nullptr;
    }
    uintptr_t old = std::exchange(*slot, Key(object));
    if (!old && o->second->kind == GdiObject::kBitmap) old = DefaultBitmapLocked();
    return reinterpret_cast<HGDIOBJ>(old);
  }

  BOOL BitBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int x1, int y1, DWORD rop) override {
    if (rop != SRCCOPY) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    std::lock_guard lock(core_->mu);
    auto s = dcs_.find(Key(src));
    if (s == dcs_.end()) return FALSE;
    std::optional<Pixels> from = ReadDcLocked(*s->second, x1, y1, cx, cy);
    if (!from) return FALSE;
    // GDI copies whatever alpha the source holds; the picture is opaque.
    for (auto& p : from->argb) p |= 0xFF000000u;
    return DrawOnDcLocked(dest, *from, x, y) ? TRUE : FALSE;
  }

  HFONT CreateFontW(int height, int, int, int, int weight, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                    const char16_t* face) override {
    auto f = std::make_shared<FontObject>();
    f->desc = {face ? std::u16string(face) : std::u16string(), height, weight == 0 ? FW_NORMAL : weight};
    return reinterpret_cast<HFONT>(AddObject(f));
  }

  COLORREF SetTextColor(HDC dc, COLORREF color) override {
    std::lock_guard lock(core_->mu);
    auto d = dcs_.find(Key(dc));
    if (d == dcs_.end()) return CLR_INVALID;
    return std::exchange(d->second->textColor, color);
  }

  int SetBkMode(HDC dc, int mode) override {
    std::lock_guard lock(core_->mu);
    auto d = dcs_.find(Key(dc));
    if (d == dcs_.end() || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
    return std::exchange(d->second->bkMode, mode);
  }

  // ---- GDI+ ----

  int GdiplusStartup(ULONG_PTR* token) override {
    *token = ++gdiplusTokens_;
    return Gdiplus::Ok;
  }

  void GdiplusShutdown(ULONG_PTR) override {}

  int GdipLoadImageFromStream(IStream* stream, Gdiplus::GpImage** image) override {
    std::vector<BYTE> bytes;
    BYTE buf[8192];
    ULONG n = 0;
    stream->Seek(0, STREAM_SEEK_SET, nullptr);
    while (SUCCEEDED(stream->Read(buf, sizeof buf, &n)) && n > 0) bytes.insert(bytes.end(), buf, buf + n);
    auto anim = DecodeGif(bytes.data(), bytes.size());
    if (!anim || anim->frames.empty()) return Gdiplus::UnknownImageFormat;
    *image = new GifImage(std::move(*anim));
    return Gdiplus::Ok;
  }

  int GdipDrawImageRect(HDC dc, Gdiplus::GpImage* image, int x, int y, int width, int height) override {
    auto* gif = dynamic_cast<GifImage*>(image);
    if (!gif || width < 0 || height < 0) return Gdiplus::InvalidParameter;
    Pixels frame = gif->Frame();
    if (width != frame.width || height != frame.height) frame = Scale(frame, width, height);
    std::lock_guard lock(core_->mu);
    return DrawOnDcLocked(dc, frame, x, y, /*opaque=*/false) ? Gdiplus::Ok : Gdiplus::InvalidParameter;
  }

  // ---- reached by the class procedures ----

  DLGPROC DlgProcOf(HWND window) {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    return w ? w->dlgProc : nullptr;
  }

  LONG_PTR MsgResultOf(HWND window) {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    return w ? w->msgResult : 0;
  }

  LRESULT ButtonProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case WM_LBUTTONDOWN: {
        std::lock_guard lock(core_->mu);
        if (Wnd* w = FindLocked(window)) w->pressed = true, InvalidateLocked(w, false, false);
        return 0;
      }
      case WM_LBUTTONUP: {
        HWND parent = nullptr;
        int id = 0;
        {
          std::lock_guard lock(core_->mu);
          Wnd* w = FindLocked(window);
          if (!w || !w->pressed) return 0;
          w->pressed = false;
          InvalidateLocked(w, false, false);
          const int b = BorderOf(*w);
          const int px = GET_X_LPARAM(lParam), py = GET_Y_LPARAM(lParam);
          if (px < 0 || py < 0 || px >= w->w - 2 * b || py >= w->h - 2 * b) return 0;  // released outside
          parent = w->parent;
          id = w->id;
        }
        if (parent) {
          SendMessageW(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                       reinterpret_cast<LPARAM>(window));
        }
        return 0;
      }
      case BM_SETIMAGE: {
        if (wParam != IMAGE_BITMAP && wParam != IMAGE_ICON) return 0;
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        if (!w) return 0;
        InvalidateLocked(w, false, false);
        return static_cast<LRESULT>(std::exchange(w->image, static_cast<uintptr_t>(lParam)));
      }
      case BM_GETIMAGE: {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        return w ? static_cast<LRESULT>(w->image) : 0;
      }
      default:
        return DefWindowProcW(window, msg, wParam, lParam);
    }
  }

  LRESULT StaticProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case STM_SETIMAGE: {
        if (wParam != IMAGE_BITMAP) return 0;
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        if (!w || !IsBitmapStatic(*w)) return 0;
        uintptr_t old = std::exchange(w->image, static_cast<uintptr_t>(lParam));
        // A bitmap static takes the size of its picture unless told to keep its own.
        auto it = objects_.find(w->image);
        if (!(w->style & SS_REALSIZECONTROL) && it != objects_.end() && it->second->kind == GdiObject::kBitmap) {
          const auto& px = static_cast<BitmapObject&>(*it->second).px;
          const int b = BorderOf(*w);
          w->w = px.width + 2 * b;
          w->h = px.height + 2 * b;
        }
        InvalidateLocked(w, true, false);
        return static_cast<LRESULT>(old);
      }
      case STM_GETIMAGE: {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        return w ? static_cast<LRESULT>(w->image) : 0;
      }
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        bool text = false;
        HWND parent = nullptr;
        {
          std::lock_guard lock(core_->mu);
          Wnd* w = FindLocked(window);
          text = w && !IsBitmapStatic(*w);
          parent = w ? w->parent : nullptr;
        }
        if (dc && text) {
          LRESULT brush = parent ? SendMessageW(parent, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                                reinterpret_cast<LPARAM>(window))
                                 : DefaultControlColors(dc);
          std::lock_guard lock(core_->mu);
          Wnd* w = FindLocked(window);
          auto d = dcs_.find(Key(dc));
          if (w && d != dcs_.end()) {
            w->painted = true;
            w->textColor = d->second->textColor;
            w->bkMode = d->second->bkMode;
            w->bkColor = d->second->bkColor;
            w->brush = static_cast<uintptr_t>(brush);
          }
        }
        EndPaint(window, &ps);
        return 0;
      }
      default:
        return DefWindowProcW(window, msg, wParam, lParam);
    }
  }

  // ---- requests of other processes (winsim ui, cross-process PostMessage) ----

  std::string HandleRequest(const std::string& request, int* code);

 private:
  static inline const HWND kDesktopHwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10001));

  int ScreenWidth() {
    int w = m_->Config().screenWidth;
    return w > 0 ? w : kDefaultScreenWidth;
  }
  int ScreenHeight() {
    int h = m_->Config().screenHeight;
    return h > 0 ? h : kDefaultScreenHeight;
  }

  // The resource in the user's UI language: Korean on a Korean machine, else English, else any.
  std::optional<std::vector<BYTE>> LoadLocalized(std::u16string_view type, int id) {
    const std::u16string name = u"#" + Utf8ToWide(std::to_string(id));
    const WORD preferred = m_->Config().uiLanguage == 1042 ? 1042 : 1033;
    for (WORD lang : {preferred, static_cast<WORD>(1033), static_cast<WORD>(0)}) {
      if (auto b = Resources().LoadResourceBytes(type, name, lang)) return b;
    }
    return std::nullopt;
  }

  uintptr_t AddObject(std::shared_ptr<GdiObject> o) {
    std::lock_guard lock(core_->mu);
    uintptr_t h = nextObject_;
    nextObject_ += 4;
    objects_[h] = std::move(o);
    return h;
  }

  HDC NewDcLocked(std::shared_ptr<DcObject> dc) {
    uintptr_t h = nextDc_;
    nextDc_ += 4;
    dcs_[h] = std::move(dc);
    return reinterpret_cast<HDC>(h);
  }

  // The 1x1 bitmap a fresh memory DC holds, handed back by the first SelectObject.
  uintptr_t DefaultBitmapLocked() {
    if (!defaultBitmap_) {
      auto b = std::make_shared<BitmapObject>();
      b->px = Pixels{1, 1, {0xFF000000u}};
      b->stock = true;
      uintptr_t h = nextObject_;
      nextObject_ += 4;
      objects_[h] = b;
      defaultBitmap_ = h;
    }
    return defaultBitmap_;
  }

  LRESULT DefaultControlColors(HDC dc) {
    std::lock_guard lock(core_->mu);
    auto d = dcs_.find(Key(dc));
    if (d != dcs_.end()) {
      d->second->textColor = RGB(0, 0, 0);
      d->second->bkColor = RGB(0xF0, 0xF0, 0xF0);
    }
    return static_cast<LRESULT>(faceBrush_);
  }

  HWND NewLocalHandle() {
    // Odd values: the machine's window table hands out even ones.
    uintptr_t h = nextLocal_;
    nextLocal_ += 2;
    return reinterpret_cast<HWND>(h);
  }

  Wnd* FindLocked(HWND h) {
    if (!h) return nullptr;
    auto it = windows_.find(Key(h));
    return it == windows_.end() ? nullptr : it->second.get();
  }

  bool IsOurs(HWND h) {
    std::lock_guard lock(core_->mu);
    return FindLocked(h) != nullptr;
  }

  bool VisibleLocked(Wnd* w) {
    for (; w; w = FindLocked(w->parent)) {
      if (!(w->style & WS_VISIBLE)) return false;
      if (!w->parent) return true;
    }
    return false;
  }

  HWND RootLocked(HWND h) {
    Wnd* w = FindLocked(h);
    while (w && w->parent && FindLocked(w->parent) && (w->style & WS_CHILD)) w = FindLocked(w->parent);
    return w ? w->hwnd : nullptr;
  }

  HWND RootOf(HWND h) {
    std::lock_guard lock(core_->mu);
    return RootLocked(h);
  }

  // IsChild: along WS_CHILD windows only; an owned top-level window is no child of its owner.
  bool IsDescendantLocked(HWND ancestor, HWND h) {
    for (Wnd* w = FindLocked(h); w && w->parent && (w->style & WS_CHILD); w = FindLocked(w->parent)) {
      if (w->parent == ancestor) return true;
    }
    return false;
  }

  // Screen position of the window's outer top-left corner.
  POINT ScreenOriginLocked(Wnd* w) {
    if (!w->parent || !(w->style & WS_CHILD)) return {w->x, w->y};
    Wnd* p = FindLocked(w->parent);
    POINT o = p ? ClientOriginLocked(p) : POINT{0, 0};
    return {o.x + w->x, o.y + w->y};
  }

  POINT ClientOriginLocked(Wnd* w) {
    POINT o = ScreenOriginLocked(w);
    const int b = BorderOf(*w);
    return {o.x + b, o.y + b};
  }

  // The top-level window whose surface a window's DC draws on, and the window's client origin there.
  Wnd* SurfaceOfLocked(HWND h, POINT* origin) {
    Wnd* w = FindLocked(h);
    Wnd* root = FindLocked(RootLocked(h));
    if (!w || !root || !root->surface) return nullptr;
    POINT a = ClientOriginLocked(w), b = ClientOriginLocked(root);
    *origin = {a.x - b.x, a.y - b.y};
    return root;
  }

  void ResizeLocked(Wnd* w, int width, int height) {
    w->w = width;
    w->h = height;
    if (!w->surface) return;
    const int b = BorderOf(*w);
    const int cw = std::max(1, width - 2 * b), ch = std::max(1, height - 2 * b);
    if (cw == w->surface->Width() && ch == w->surface->Height()) return;
    auto next = std::make_unique<Canvas>(cw, ch, kFaceColor);
    next->Blit(w->surface->Image(), 0, 0);
    w->surface = std::move(next);
  }

  void InvalidateLocked(Wnd* w, bool erase, bool children) {
    w->invalid = true;
    w->erase = w->erase || erase;
    if (w->queue) w->queue->cv.notify_all();
    if (!children) return;
    for (HWND c : w->children) {
      if (Wnd* cw = FindLocked(c)) InvalidateLocked(cw, erase, true);
    }
  }

  // A visible window of the tree still waits for its WM_PAINT (and its thread is there to paint).
  bool PaintPendingLocked(HWND top) {
    std::vector<HWND> tree;
    CollectTreeLocked(top, &tree);
    for (HWND h : tree) {
      Wnd* w = FindLocked(h);
      if (w && w->invalid && w->queue->alive && VisibleLocked(w)) return true;
    }
    return false;
  }

  void CollectTreeLocked(HWND h, std::vector<HWND>* out) {
    Wnd* w = FindLocked(h);
    if (!w) return;
    out->push_back(h);
    for (HWND c : w->children) CollectTreeLocked(c, out);
  }

  void UpdateTree(HWND window, bool children) {
    std::vector<HWND> todo;
    {
      std::lock_guard lock(core_->mu);
      if (children) {
        CollectTreeLocked(window, &todo);
      } else {
        todo.push_back(window);
      }
      std::erase_if(todo, [&](HWND h) {
        Wnd* w = FindLocked(h);
        return !w || !w->invalid || !VisibleLocked(w);
      });
    }
    for (HWND h : todo) SendMessageW(h, WM_PAINT, 0, 0);
  }

  std::shared_ptr<ThreadQueue> MyQueueLocked() {
    auto id = std::this_thread::get_id();
    auto it = core_->queues.find(id);
    if (it != core_->queues.end()) return it->second;
    auto q = std::make_shared<ThreadQueue>();
    core_->queues[id] = q;
    tQueues.entries.emplace_back(core_, q);
    return q;
  }

  uint64_t PostLocked(const std::shared_ptr<ThreadQueue>& q, MSG msg) {
    msg.time = static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
    uint64_t seq = q->nextSeq++;
    q->posted.push_back({msg, seq});
    q->cv.notify_all();
    return seq;
  }

  // 0 when the window is gone or its thread ended.
  uint64_t Post(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w || !w->queue->alive) return 0;
    return PostLocked(w->queue, {window, msg, wParam, lParam, 0, {}});
  }

  void MarkProcessedLocked(const std::shared_ptr<ThreadQueue>& q) {
    if (q->processed != q->taken) {
      q->processed = q->taken;
      core_->progress.notify_all();
    }
  }

  // Runs one message sent to this thread by another; false when none waits.
  bool ServeOneSentLocked(const std::shared_ptr<ThreadQueue>& q, std::unique_lock<std::mutex>& lock) {
    if (q->sent.empty()) return false;
    auto s = q->sent.front();
    q->sent.pop_front();
    lock.unlock();
    LRESULT r = CallProc(s->hwnd, s->msg, s->wParam, s->lParam);
    lock.lock();
    s->result = r;
    s->done = true;
    if (s->replyTo) s->replyTo->cv.notify_all();
    return true;
  }

  bool Matches(const MSG& m, HWND window, UINT lo, UINT hi) {
    if (window && m.hwnd != window && !IsDescendantLocked(window, m.hwnd)) return false;
    if (lo == 0 && hi == 0) return true;
    return m.message >= lo && m.message <= hi;
  }

  bool TakeLocked(const std::shared_ptr<ThreadQueue>& q, MSG* out, HWND window, UINT lo, UINT hi, bool remove) {
    for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
      if (!Matches(it->msg, window, lo, hi)) continue;
      *out = it->msg;
      if (remove) {
        q->taken = std::max(q->taken, it->seq);
        q->posted.erase(it);
      }
      return true;
    }
    // WM_QUIT comes whatever the range filter, once the posted messages are out.
    if (q->quit && window == nullptr) {
      *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q->quitCode), 0, 0, {}};
      if (remove) q->quit = false;
      return true;
    }
    // A window that needs painting gets WM_PAINT once nothing else is waiting, as on Windows.
    if (lo == 0 && hi == 0 ? true : (WM_PAINT >= lo && WM_PAINT <= hi)) {
      Wnd* best = nullptr;
      for (auto& [k, w] : windows_) {
        if (w->queue != q || !w->invalid || !VisibleLocked(w.get())) continue;
        if (window && w->hwnd != window && !IsDescendantLocked(window, w->hwnd)) continue;
        if (!best || w->order < best->order) best = w.get();
      }
      if (best) {
        *out = MSG{best->hwnd, WM_PAINT, 0, 0, 0, {}};
        return true;
      }
    }
    return false;
  }

  LRESULT CallProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc = nullptr;
    {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (!w) return 0;
      proc = w->proc;
    }
    return proc ? proc(window, msg, wParam, lParam) : 0;
  }

 public:
  // Delivers to the owner thread and waits for its answer; *ok false when the window or its
  // thread went away or the time-out passed.
  LRESULT Send(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs, bool* ok) {
    std::unique_lock lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) {
      lock.unlock();
      *ok = false;
      if (window && window != kDesktopHwnd) return Desktop().SendMessageW(window, msg, wParam, lParam);
      return 0;
    }
    auto me = MyQueueLocked();
    if (w->queue == me) {
      WNDPROC proc = w->proc;
      lock.unlock();
      return proc ? proc(window, msg, wParam, lParam) : 0;
    }
    auto target = w->queue;
    if (!target->alive) return *ok = false, 0;
    auto s = std::make_shared<SentMessage>(SentMessage{window, msg, wParam, lParam, 0, false, me});
    target->sent.push_back(s);
    target->cv.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!s->done) {
      // Serve what others send to this thread meanwhile, so mutual sends cannot deadlock.
      if (ServeOneSentLocked(me, lock)) continue;
      if (timeoutMs == INFINITE) {
        me->cv.wait(lock);
      } else if (me->cv.wait_until(lock, deadline) == std::cv_status::timeout && !s->done) {
        std::erase(target->sent, s);
        *ok = false;
        return 0;
      }
    }
    *ok = target->alive || s->result != 0;
    return s->result;
  }

 private:
  std::optional<Pixels> ReadDcLocked(const DcObject& dc, int x, int y, int w, int h) {
    const Pixels* src = nullptr;
    POINT origin{0, 0};
    if (dc.window) {
      Wnd* root = SurfaceOfLocked(dc.window, &origin);
      if (!root) return std::nullopt;
      src = &root->surface->Image();
    } else {
      auto o = objects_.find(dc.bitmap);
      if (o == objects_.end() || o->second->kind != GdiObject::kBitmap) return std::nullopt;
      src = &static_cast<BitmapObject&>(*o->second).px;
    }
    Pixels out;
    out.width = std::max(0, w);
    out.height = std::max(0, h);
    out.argb.assign(static_cast<size_t>(out.width) * out.height, 0);  // outside the source: nothing
    for (int r = 0; r < out.height; ++r) {
      const int sy = origin.y + y + r;
      if (sy < 0 || sy >= src->height) continue;
      for (int c = 0; c < out.width; ++c) {
        const int sx = origin.x + x + c;
        if (sx < 0 || sx >= src->width) continue;
        out.argb[static_cast<size_t>(r) * out.width + c] = src->At(sx, sy);
      }
    }
    return out;
  }

  bool DrawOnDcLocked(HDC dest, const Pixels& px, int x, int y, bool opaque = true) {
    auto d = dcs_.find(Key(dest));
    if (d == dcs_.end()) return false;
    if (d->second->window) {
      POINT origin;
      Wnd* root = SurfaceOfLocked(d->second->window, &origin);
      if (!root) return false;
      root->surface->Blit(px, origin.x + x, origin.y + y);
      return true;
    }
    auto o = objects_.find(d->second->bitmap);
    if (o == objects_.end() || o->second->kind != GdiObject::kBitmap) return false;
    Pixels& dst = static_cast<BitmapObject&>(*o->second).px;
    for (int r = 0; r < px.height; ++r) {
      const int dy = y + r;
      if (dy < 0 || dy >= dst.height) continue;
      for (int c = 0; c < px.width; ++c) {
        const int dx = x + c;
        const uint32_t v = px.At(c, r);
        if (dx < 0 || dx >= dst.width || (!opaque && (v >> 24) == 0)) continue;
        dst.argb[static_cast<size_t>(dy) * dst.width + dx] = v;
      }
    }
    return true;
  }

  static Pixels Scale(const Pixels& src, int w, int h) {
    Pixels out;
    out.width = w;
    out.height = h;
    out.argb.resize(static_cast<size_t>(w) * h);
    for (int r = 0; r < h; ++r) {
      for (int c = 0; c < w; ++c) {
        out.argb[static_cast<size_t>(r) * w + c] = src.At(c * src.width / std::max(w, 1), r * src.height / std::max(h, 1));
      }
    }
    return out;
  }

  // The picture of a top-level window: border, surface, then its visible children in creation order.
  std::optional<Canvas> PictureLocked(Wnd* top);
  std::string LayoutLocked(Wnd* top);
  Wnd* ChooseDialogLocked();
  std::string Input(const std::string& what, const std::string& arg, int* code);
  bool WaitProcessed(const std::shared_ptr<ThreadQueue>& q, uint64_t seq);

  void StartServer() {
    std::lock_guard lock(serverMutex_);
    if (server_) return;
    server_ = std::make_unique<UiServer>(m_->root(), static_cast<int>(getpid()),
                                         [this](const std::string& r, int* code) { return HandleRequest(r, code); });
    if (!server_->Start()) server_.reset();
  }

  std::shared_ptr<Machine> m_;
  std::shared_ptr<Core> core_;
  std::map<uintptr_t, std::unique_ptr<Wnd>> windows_;
  std::map<uintptr_t, std::shared_ptr<GdiObject>> objects_;
  std::map<int, uintptr_t> stock_;
  uintptr_t faceBrush_ = 0;
  uintptr_t defaultBitmap_ = 0;
  std::map<uintptr_t, std::shared_ptr<DcObject>> dcs_;
  uintptr_t nextObject_ = 0x3000000;
  uintptr_t nextDc_ = 0x5000000;
  uintptr_t nextLocal_ = 0x40001;
  uint64_t order_ = 0;
  HWND focusRoot_ = nullptr;
  std::atomic<ULONG_PTR> gdiplusTokens_{0};
  std::mutex serverMutex_;
  std::unique_ptr<UiServer> server_;
};

WinsimWindows* Self() { return dynamic_cast<WinsimWindows*>(&win::Windows()); }

LRESULT CALLBACK DialogClassProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  WinsimWindows* self = Self();
  if (!self) return 0;
  DLGPROC proc = self->DlgProcOf(h);
  INT_PTR r = proc ? proc(h, msg, wParam, lParam) : FALSE;
  switch (msg) {
    // These answer with the procedure's own return value.
    case WM_INITDIALOG:
      return r;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
      return r ? r : self->DefDlgProc(h, msg, wParam, lParam);
    default:
      return r ? self->MsgResultOf(h) : self->DefDlgProc(h, msg, wParam, lParam);
  }
}

LRESULT CALLBACK ButtonClassProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  WinsimWindows* self = Self();
  return self ? self->ButtonProc(h, msg, wParam, lParam) : 0;
}

LRESULT CALLBACK StaticClassProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  WinsimWindows* self = Self();
  return self ? self->StaticProc(h, msg, wParam, lParam) : 0;
}

LRESULT CALLBACK PlainClassProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  WinsimWindows* self = Self();
  return self ? self->DefWindowProcW(h, msg, wParam, lParam) : 0;
}


std::optional<Canvas> WinsimWindows::PictureLocked(Wnd* top) {
  if (!top->surface) return std::nullopt;
  Canvas pic(std::max(top->w, 1), std::max(top->h, 1), kBorderColor);
  const int b = BorderOf(*top);
  pic.Blit(top->surface->Image(), b, b);
  const POINT topOrigin = ScreenOriginLocked(top);
  std::vector<HWND> tree;
  CollectTreeLocked(top->hwnd, &tree);
  for (HWND h : tree) {
    Wnd* w = FindLocked(h);
    if (!w || w == top || !VisibleLocked(w) || w->w <= 0 || w->h <= 0) continue;
    const POINT o = ScreenOriginLocked(w);
    const int x = o.x - topOrigin.x, y = o.y - topOrigin.y;
    const BitmapObject* bitmap = nullptr;
    auto it = objects_.find(w->image);
    if (it != objects_.end() && it->second->kind == GdiObject::kBitmap) {
      bitmap = static_cast<const BitmapObject*>(it->second.get());
    }
    FontDesc font = static_cast<const FontObject&>(*objects_.at(stock_.at(DEFAULT_GUI_FONT))).desc;
    auto f = objects_.find(w->font);
    if (f != objects_.end() && f->second->kind == GdiObject::kFont) font = static_cast<const FontObject&>(*f->second).desc;
    const int lineHeight = std::abs(font.height ? font.height : 16);
    if (IsButton(*w)) {
      if (bitmap) {
        Pixels px = bitmap->px;
        for (auto& p : px.argb) p |= 0xFF000000u;
        const int dx = std::max(0, (w->w - px.width) / 2), dy = std::max(0, (w->h - px.height) / 2);
        pic.Blit(px, x + dx, y + dy, std::min(px.width, w->w), std::min(px.height, w->h));
      } else {
        pic.FillRect(x, y, w->w, w->h, 0xFFADADAD);
        pic.FillRect(x + 1, y + 1, w->w - 2, w->h - 2, w->pressed ? 0xFFCCE4F7 : 0xFFE1E1E1);
        const int tw = Canvas::MeasureText(w->text, font);
        pic.Text(x + std::max(0, (w->w - tw) / 2), y + std::max(0, (w->h - lineHeight) / 2), w->w, w->h, w->text, font,
                 0x000000);
      }
    } else if (IsBitmapStatic(*w)) {
      if (bitmap) {
        Pixels px = bitmap->px;
        for (auto& p : px.argb) p |= 0xFF000000u;
        pic.Blit(px, x, y, std::min(px.width, w->w), std::min(px.height, w->h));
      }
    } else if (IsStatic(*w)) {
      uint32_t fill = kFaceColor;
      bool filled = true;
      COLORREF textColor = RGB(0, 0, 0);
      int bkMode = OPAQUE;
      COLORREF bkColor = RGB(0xF0, 0xF0, 0xF0);
      if (w->painted) {
        textColor = w->textColor;
        bkMode = w->bkMode;
        bkColor = w->bkColor;
        auto br = objects_.find(w->brush);
        if (br != objects_.end() && br->second->kind == GdiObject::kBrush) {
          const auto& brush = static_cast<const BrushObject&>(*br->second);
          filled = !brush.hollow;
          fill = brush.argb;
        }
      }
      if (filled) pic.FillRect(x, y, w->w, w->h, fill);
      unsigned flags = kTextLeft;
      int tx = x;
      if ((w->style & SS_TYPEMASK) == SS_RIGHT) flags = kTextRight;
      if ((w->style & SS_TYPEMASK) == SS_CENTER) tx = x + std::max(0, (w->w - Canvas::MeasureText(w->text, font)) / 2);
      if (w->style & SS_ENDELLIPSIS) flags |= kTextEndEllipsis;
      if (bkMode == OPAQUE && !w->text.empty()) {
        const int tw = std::min(w->w, Canvas::MeasureText(w->text, font));
        const int bx = flags & kTextRight ? x + w->w - tw : tx;
        pic.FillRect(bx, y, tw, std::min(lineHeight + lineHeight / 4, w->h), ToArgb(bkColor));
      }
      pic.Text(tx, y, w->w - (tx - x), w->h, w->text, font, ToArgb(textColor) & 0xFFFFFF, flags);
    }
  }
  return pic;
}

namespace {

std::string Quote(const std::u16string& text) {
  std::string out = "\"";
  for (char c : WideToUtf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string WinsimWindows::LayoutLocked(Wnd* top) {
  std::string out;
  const POINT clientOrigin = ClientOriginLocked(top);
  std::vector<HWND> tree;
  CollectTreeLocked(top->hwnd, &tree);
  for (HWND h : tree) {
    Wnd* w = FindLocked(h);
    if (!w) continue;
    POINT o = ScreenOriginLocked(w);
    if (w != top) o = {o.x - clientOrigin.x, o.y - clientOrigin.y};
    int image = 0;
    auto it = objects_.find(w->image);
    if (it != objects_.end() && it->second->kind == GdiObject::kBitmap) {
      image = static_cast<const BitmapObject&>(*it->second).resourceId;
    }
    std::string font = "-";
    auto f = objects_.find(w->font);
    if (f != objects_.end() && f->second->kind == GdiObject::kFont) {
      const auto& desc = static_cast<const FontObject&>(*f->second).desc;
      font = WideToUtf8(desc.face) + "/" + std::to_string(desc.height) + "/" + std::to_string(desc.weight);
    }
    out += std::to_string(w == top ? w->templateId : w->id) + " " + WideToUtf8(w->cls) + " " + std::to_string(o.x) +
           " " + std::to_string(o.y) + " " + std::to_string(w->w) + " " + std::to_string(w->h) + " " +
           ((w->style & WS_VISIBLE) ? "1" : "0") + " " + Quote(w->text) + " image=" + std::to_string(image) +
           " font=" + font + "\n";
  }
  return out;
}

Wnd* WinsimWindows::ChooseDialogLocked() {
  Wnd* visible = nullptr;
  Wnd* any = nullptr;
  for (auto& [k, w] : windows_) {
    if (!w->dialog || w->parent) continue;
    if (!any || w->order > any->order) any = w.get();
    if ((w->style & WS_VISIBLE) && (!visible || w->order > visible->order)) visible = w.get();
  }
  return visible ? visible : any;
}

bool WinsimWindows::WaitProcessed(const std::shared_ptr<ThreadQueue>& q, uint64_t seq) {
  std::unique_lock lock(core_->mu);
  return core_->progress.wait_for(lock, std::chrono::seconds(5), [&] { return q->processed >= seq || !q->alive; });
}

std::string WinsimWindows::Input(const std::string& what, const std::string& arg, int* code) {
  constexpr int kHtClient = 1;
  constexpr WPARAM kMkLButton = 1;
  std::shared_ptr<ThreadQueue> q;
  uint64_t seq = 0;
  HWND control = nullptr, top = nullptr;
  LPARAM center = 0;
  {
    std::lock_guard lock(core_->mu);
    Wnd* t = ChooseDialogLocked();
    if (!t) return *code = 1, "no dialog\n";
    top = t->hwnd;
    q = t->queue;
    if (what == "key") {
      UINT msg = WM_KEYDOWN;
      WPARAM vk = 0;
      LPARAM lp = 0;
      if (arg == "Enter") {
        vk = VK_RETURN, lp = 0x001C0001;
      } else if (arg == "Escape") {
        vk = VK_ESCAPE, lp = 0x00010001;
      } else if (arg == "Alt+F4") {
        msg = WM_SYSKEYDOWN, vk = VK_F4, lp = 0x003E0001 | (static_cast<LPARAM>(KF_ALTDOWN) << 16);
      } else {
        return *code = 2, "unknown key " + arg + " (Enter, Escape, Alt+F4)\n";
      }
      HWND target = t->focus && FindLocked(t->focus) ? t->focus : top;
      seq = PostLocked(q, {target, msg, vk, lp, 0, {}});
    } else {
      char* end = nullptr;
      long id = std::strtol(arg.c_str(), &end, 10);
      if (arg.empty() || *end) return *code = 2, "not a control id: " + arg + "\n";
      for (HWND h : t->children) {
        Wnd* w = FindLocked(h);
        if (w && w->id == id) control = h;
      }
      Wnd* c = FindLocked(control);
      if (!c) return *code = 2, "no control " + arg + "\n";
      if (!VisibleLocked(c)) return *code = 2, "control " + arg + " is hidden\n";
      const int b = BorderOf(*c);
      center = MAKELPARAM(static_cast<WORD>((c->w - 2 * b) / 2), static_cast<WORD>((c->h - 2 * b) / 2));
      if (what == "hover") {
        // The pointer leaves whichever window asked to hear about it.
        for (auto& [k, w] : windows_) {
          if (w->trackLeave && w->hwnd != control) {
            w->trackLeave = false;
            PostLocked(w->queue, {w->hwnd, WM_MOUSELEAVE, 0, 0, 0, {}});
          }
        }
        seq = PostLocked(q, {control, WM_MOUSEMOVE, 0, center, 0, {}});
      } else if (what == "leave") {
        if (!c->trackLeave) return *code = 0, "control " + arg + " did not ask for WM_MOUSELEAVE\n";
        c->trackLeave = false;
        seq = PostLocked(q, {control, WM_MOUSELEAVE, 0, 0, 0, {}});
      }
    }
  }
  if (what == "click") {
    bool ok = true;
    Send(control, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(top), MAKELPARAM(kHtClient, WM_LBUTTONDOWN), 5000, &ok);
    std::lock_guard lock(core_->mu);
    Wnd* c = FindLocked(control);
    if (!c || !VisibleLocked(c)) return *code = 2, "control " + arg + " went away\n";
    PostLocked(q, {control, WM_LBUTTONDOWN, kMkLButton, center, 0, {}});
    seq = PostLocked(q, {control, WM_LBUTTONUP, 0, center, 0, {}});
  }
  *code = 0;
  return WaitProcessed(q, seq) ? "" : "the input is still queued after 5 s\n";
}

std::string WinsimWindows::HandleRequest(const std::string& request, int* code) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < request.size() && words.size() < 2) {
    while (i < request.size() && request[i] == ' ') ++i;
    size_t j = request.find(' ', i);
    if (words.size() == 1 && request.compare(0, 10, "screenshot") == 0) j = std::string::npos;  // a path may hold blanks
    words.push_back(request.substr(i, j == std::string::npos ? std::string::npos : j - i));
    i = j == std::string::npos ? request.size() : j;
  }
  const std::string cmd = words.empty() ? "" : words[0];
  const std::string arg = words.size() > 1 ? words[1] : "";
  *code = 0;
  if (cmd == "info") {
    std::lock_guard lock(core_->mu);
    Wnd* t = ChooseDialogLocked();
    return std::string(t ? "dialog " : "none ") + (t && (t->style & WS_VISIBLE) ? "visible\n" : "hidden\n");
  }
  if (cmd == "post") {
    unsigned long long h = 0, msg = 0, wp = 0;
    long long lp = 0;
    if (std::sscanf(request.c_str(), "post %llu %llu %llu %lld", &h, &msg, &wp, &lp) != 4) return *code = 2, "";
    uint64_t seq = Post(reinterpret_cast<HWND>(static_cast<uintptr_t>(h)), static_cast<UINT>(msg),
                        static_cast<WPARAM>(wp), static_cast<LPARAM>(lp));
    *code = seq ? 0 : 1;
    return "";
  }
  if (cmd == "layout" || cmd == "screenshot") {
    std::optional<Canvas> pic;
    {
      std::unique_lock lock(core_->mu);
      Wnd* t = ChooseDialogLocked();
      if (!t) return *code = 1, "no dialog\n";
      if (cmd == "layout") return LayoutLocked(t);
      // Like PrintWindow: the window first paints what is pending, unless its thread is stuck.
      const HWND top = t->hwnd;
      core_->progress.wait_for(lock, std::chrono::seconds(5), [&] { return !PaintPendingLocked(top); });
      t = FindLocked(top);
      if (!t) return *code = 1, "no dialog\n";
      pic = PictureLocked(t);
    }
    if (arg.empty()) return *code = 2, "screenshot needs a file\n";
    if (!pic || !pic->WritePng(arg)) return *code = 1, "cannot write " + arg + "\n";
    return "";
  }
  if (cmd == "click" || cmd == "hover" || cmd == "leave" || cmd == "key") return Input(cmd, arg, code);
  *code = 2;
  return "unknown request " + cmd + "\n";
}

}  // namespace

std::unique_ptr<IWindows> MakeWindows(std::shared_ptr<Machine> machine) {
  return std::make_unique<WinsimWindows>(std::move(machine));
}

}  // namespace winsim

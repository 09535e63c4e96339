// The window manager of a simulated process. Windows belong to the thread that created
// them; each thread has a queue of posted and sent messages; a thread waiting in GetMessageW or in
// its own cross-thread SendMessageW serves the messages sent to it, as on Windows, so two threads
// sending to each other do not deadlock. Every top-level window has a backing surface that its DCs
// draw into; its picture is the surface with its visible children drawn on top.
#include <algorithm>
#include <utility>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/services.h"
#include "platform/winsim/windows_service.h"

namespace winsim {

using namespace win;

namespace {

constexpr DWORD kErrorNotOwnerThread = ERROR_ACCESS_DENIED;
constexpr int kDefaultScreenWidth = 1024;
constexpr int kDefaultScreenHeight = 768;

}  // namespace

WinsimWindows::WinsimWindows(std::shared_ptr<Machine> m) : m_(std::move(m)), core_(std::make_shared<Core>()) {
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

WinsimWindows::~WinsimWindows() {
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

HWND WinsimWindows::CreateDialogParamW(HINSTANCE instance, int templateId, HWND parent, DLGPROC proc, LPARAM param) {
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

HWND WinsimWindows::GetDlgItem(HWND dialog, int id) {
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

int WinsimWindows::GetDlgCtrlID(HWND window) {
  std::lock_guard lock(core_->mu);
  Wnd* w = FindLocked(window);
  return w && w->parent ? w->id : 0;
}

HWND WinsimWindows::GetParent(HWND window) {
  std::lock_guard lock(core_->mu);
  Wnd* w = FindLocked(window);
  return w ? w->parent : nullptr;
}

BOOL WinsimWindows::ShowWindow(HWND window, int cmd) {
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

BOOL WinsimWindows::IsWindowVisible(HWND window) {
  std::lock_guard lock(core_->mu);
  return VisibleLocked(FindLocked(window)) ? TRUE : FALSE;
}

BOOL WinsimWindows::IsWindow(HWND window) {
  if (!window) return FALSE;
  if (window == kDesktopHwnd) return TRUE;
  {
    std::lock_guard lock(core_->mu);
    if (FindLocked(window)) return TRUE;
  }
  return Desktop().GetWindowThreadProcessId(window, nullptr) != 0 ? TRUE : FALSE;
}

BOOL WinsimWindows::SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
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

BOOL WinsimWindows::MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) {
  return SetWindowPos(window, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

BOOL WinsimWindows::GetWindowRect(HWND window, RECT* rect) {
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

BOOL WinsimWindows::GetClientRect(HWND window, RECT* rect) {
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

int WinsimWindows::MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) {
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

BOOL WinsimWindows::SetWindowTextW(HWND window, std::u16string_view text) {
  if (!IsOurs(window)) return FALSE;
  std::u16string copy(text);
  return SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(copy.c_str())) ? TRUE : FALSE;
}

std::u16string WinsimWindows::GetWindowTextW(HWND window) {
  // Read directly, as Windows does for windows of another thread.
  std::lock_guard lock(core_->mu);
  Wnd* w = FindLocked(window);
  return w ? w->text : std::u16string();
}

LONG_PTR WinsimWindows::SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
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

LONG_PTR WinsimWindows::GetWindowLongPtrW(HWND window, int index) {
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

BOOL WinsimWindows::DestroyWindow(HWND window) {
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

HWND WinsimWindows::GetDesktopWindow() { return kDesktopHwnd; }

int WinsimWindows::GetSystemMetrics(int index) {
  if (index == SM_CXSCREEN) return ScreenWidth();
  if (index == SM_CYSCREEN) return ScreenHeight();
  return 0;
}

HWND WinsimWindows::SetFocus(HWND window) {
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

HWND WinsimWindows::GetFocus() {
  std::lock_guard lock(core_->mu);
  Wnd* root = FindLocked(focusRoot_);
  if (!root) return nullptr;
  return root->focus ? root->focus : root->hwnd;
}

int WinsimWindows::ScreenWidth() {
  int w = m_->Config().screenWidth;
  return w > 0 ? w : kDefaultScreenWidth;
}

int WinsimWindows::ScreenHeight() {
  int h = m_->Config().screenHeight;
  return h > 0 ? h : kDefaultScreenHeight;
}

std::optional<std::vector<BYTE>> WinsimWindows::LoadLocalized(std::u16string_view type, int id) {
  const std::u16string name = u"#" + Utf8ToWide(std::to_string(id));
  const WORD preferred = m_->Config().uiLanguage == 1042 ? 1042 : 1033;
  for (WORD lang : {preferred, static_cast<WORD>(1033), static_cast<WORD>(0)}) {
    if (auto b = Resources().LoadResourceBytes(type, name, lang)) return b;
  }
  return std::nullopt;
}

HWND WinsimWindows::NewLocalHandle() {
  // Odd values: the machine's window table hands out even ones.
  uintptr_t h = nextLocal_;
  nextLocal_ += 2;
  return reinterpret_cast<HWND>(h);
}

Wnd* WinsimWindows::FindLocked(HWND h) {
  if (!h) return nullptr;
  auto it = windows_.find(Key(h));
  return it == windows_.end() ? nullptr : it->second.get();
}

bool WinsimWindows::IsOurs(HWND h) {
  std::lock_guard lock(core_->mu);
  return FindLocked(h) != nullptr;
}

bool WinsimWindows::VisibleLocked(Wnd* w) {
  for (; w; w = FindLocked(w->parent)) {
    if (!(w->style & WS_VISIBLE)) return false;
    if (!w->parent) return true;
  }
  return false;
}

HWND WinsimWindows::RootLocked(HWND h) {
  Wnd* w = FindLocked(h);
  while (w && w->parent && FindLocked(w->parent) && (w->style & WS_CHILD)) w = FindLocked(w->parent);
  return w ? w->hwnd : nullptr;
}

HWND WinsimWindows::RootOf(HWND h) {
  std::lock_guard lock(core_->mu);
  return RootLocked(h);
}

bool WinsimWindows::IsDescendantLocked(HWND ancestor, HWND h) {
  for (Wnd* w = FindLocked(h); w && w->parent && (w->style & WS_CHILD); w = FindLocked(w->parent)) {
    if (w->parent == ancestor) return true;
  }
  return false;
}

POINT WinsimWindows::ScreenOriginLocked(Wnd* w) {
  if (!w->parent || !(w->style & WS_CHILD)) return {w->x, w->y};
  Wnd* p = FindLocked(w->parent);
  POINT o = p ? ClientOriginLocked(p) : POINT{0, 0};
  return {o.x + w->x, o.y + w->y};
}

POINT WinsimWindows::ClientOriginLocked(Wnd* w) {
  POINT o = ScreenOriginLocked(w);
  const int b = BorderOf(*w);
  return {o.x + b, o.y + b};
}

Wnd* WinsimWindows::SurfaceOfLocked(HWND h, POINT* origin) {
  Wnd* w = FindLocked(h);
  Wnd* root = FindLocked(RootLocked(h));
  if (!w || !root || !root->surface) return nullptr;
  POINT a = ClientOriginLocked(w), b = ClientOriginLocked(root);
  *origin = {a.x - b.x, a.y - b.y};
  return root;
}

void WinsimWindows::ResizeLocked(Wnd* w, int width, int height) {
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

void WinsimWindows::CollectTreeLocked(HWND h, std::vector<HWND>* out) {
  Wnd* w = FindLocked(h);
  if (!w) return;
  out->push_back(h);
  for (HWND c : w->children) CollectTreeLocked(c, out);
}

std::unique_ptr<IWindows> MakeWindows(std::shared_ptr<Machine> machine) {
  return std::make_unique<WinsimWindows>(std::move(machine));
}

}  // namespace winsim

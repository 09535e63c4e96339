// What other processes ask of the window service (winsim ui, cross-process PostMessage): the
// dialog's picture and layout, and input as a person would give it.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/text.h"
#include "platform/winsim/windows_service.h"

namespace winsim {

using namespace win;

namespace {

constexpr uint32_t kBorderColor = 0xFF646464;  // a thin window border

uint32_t ToArgb(COLORREF c) {
  return 0xFF000000u | (static_cast<uint32_t>(GetRValue(c)) << 16) | (static_cast<uint32_t>(GetGValue(c)) << 8) |
         GetBValue(c);
}

}  // namespace

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

void WinsimWindows::StartServer() {
  std::lock_guard lock(serverMutex_);
  if (server_) return;
  server_ = std::make_unique<UiServer>(m_->root(), static_cast<int>(getpid()),
                                       [this](const std::string& r, int* code) { return HandleRequest(r, code); });
  if (!server_->Start()) server_.reset();
}

}  // namespace winsim

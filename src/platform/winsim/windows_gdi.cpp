// GDI of the window service: bitmaps, icons, fonts and brushes from resources or made, and DCs
// that draw on a window's backing surface or on a bitmap.
#include <cstring>
#include <utility>

#include "platform/winsim/windows_service.h"

namespace winsim {

using namespace win;

HBITMAP WinsimWindows::LoadBitmapW(HINSTANCE, int id) {
  auto bytes = LoadLocalized(u"#2", id);
  if (!bytes) return SetLastError(kErrorResourceNotFound), nullptr;
  auto px = DecodeDib(bytes->data(), bytes->size());
  if (!px) return SetLastError(ERROR_INVALID_DATA), nullptr;
  auto b = std::make_shared<BitmapObject>();
  b->px = std::move(*px);
  b->resourceId = id;
  return reinterpret_cast<HBITMAP>(AddObject(b));
}

HICON WinsimWindows::LoadIconW(HINSTANCE, int id) {
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

HANDLE WinsimWindows::LoadImageW(HINSTANCE instance, int id, UINT type, int, int, UINT) {
  if (type == IMAGE_ICON) return LoadIconW(instance, id);
  if (type == IMAGE_BITMAP) return LoadBitmapW(instance, id);
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

BOOL WinsimWindows::DestroyIcon(HICON icon) { return DeleteObject(icon); }

int WinsimWindows::GetObjectW(HGDIOBJ object, int size, void* out) {
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

BOOL WinsimWindows::DeleteObject(HGDIOBJ object) {
  std::lock_guard lock(core_->mu);
  auto it = objects_.find(Key(object));
  if (it == objects_.end()) return FALSE;
  if (!it->second->stock) objects_.erase(it);
  return TRUE;
}

HGDIOBJ WinsimWindows::GetStockObject(int index) {
  std::lock_guard lock(core_->mu);
  auto it = stock_.find(index);
  return it == stock_.end() ? nullptr : reinterpret_cast<HGDIOBJ>(it->second);
}

HDC WinsimWindows::GetDC(HWND window) {
  std::lock_guard lock(core_->mu);
  if (!FindLocked(window)) return nullptr;
  auto dc = std::make_shared<DcObject>();
  dc->window = window;
  return NewDcLocked(dc);
}

int WinsimWindows::ReleaseDC(HWND, HDC dc) {
  std::lock_guard lock(core_->mu);
  auto it = dcs_.find(Key(dc));
  if (it == dcs_.end() || !it->second->window) return 0;
  dcs_.erase(it);
  return 1;
}

HDC WinsimWindows::CreateCompatibleDC(HDC) {
  std::lock_guard lock(core_->mu);
  return NewDcLocked(std::make_shared<DcObject>());
}

BOOL WinsimWindows::DeleteDC(HDC dc) {
  std::lock_guard lock(core_->mu);
  return dcs_.erase(Key(dc)) ? TRUE : FALSE;
}

HGDIOBJ WinsimWindows::SelectObject(HDC dc, HGDIOBJ object) {
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

BOOL WinsimWindows::BitBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int x1, int y1, DWORD rop) {
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

HFONT WinsimWindows::CreateFontW(int height, int, int, int, int weight, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                 DWORD, DWORD, const char16_t* face) {
  auto f = std::make_shared<FontObject>();
  f->desc = {face ? std::u16string(face) : std::u16string(), height, weight == 0 ? FW_NORMAL : weight};
  return reinterpret_cast<HFONT>(AddObject(f));
}

COLORREF WinsimWindows::SetTextColor(HDC dc, COLORREF color) {
  std::lock_guard lock(core_->mu);
  auto d = dcs_.find(Key(dc));
  if (d == dcs_.end()) return CLR_INVALID;
  return std::exchange(d->second->textColor, color);
}

int WinsimWindows::SetBkMode(HDC dc, int mode) {
  std::lock_guard lock(core_->mu);
  auto d = dcs_.find(Key(dc));
  if (d == dcs_.end() || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
  return std::exchange(d->second->bkMode, mode);
}

uintptr_t WinsimWindows::AddObject(std::shared_ptr<GdiObject> o) {
  std::lock_guard lock(core_->mu);
  uintptr_t h = nextObject_;
  nextObject_ += 4;
  objects_[h] = std::move(o);
  return h;
}

HDC WinsimWindows::NewDcLocked(std::shared_ptr<DcObject> dc) {
  uintptr_t h = nextDc_;
  nextDc_ += 4;
  dcs_[h] = std::move(dc);
  return reinterpret_cast<HDC>(h);
}

uintptr_t WinsimWindows::DefaultBitmapLocked() {
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

LRESULT WinsimWindows::DefaultControlColors(HDC dc) {
  std::lock_guard lock(core_->mu);
  auto d = dcs_.find(Key(dc));
  if (d != dcs_.end()) {
    d->second->textColor = RGB(0, 0, 0);
    d->second->bkColor = RGB(0xF0, 0xF0, 0xF0);
  }
  return static_cast<LRESULT>(faceBrush_);
}

std::optional<Pixels> WinsimWindows::ReadDcLocked(const DcObject& dc, int x, int y, int w, int h) {
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

bool WinsimWindows::DrawOnDcLocked(HDC dest, const Pixels& px, int x, int y, bool opaque) {
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

}  // namespace winsim

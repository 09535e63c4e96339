#include "installer/install_window.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "config/registry_layout.h"
#include "installer/image_ex.h"
#include "installer/startup.h"
#include "platform/gdiplus.h"
#include "platform/platform.h"
#include "platform/window.h"

namespace qz {

using namespace win;

namespace {

constexpr int kDialogTemplate = 129;

// Controls of dialog 129.
constexpr int kIdCancel = 2;
constexpr int kIdInstall = 1001;
constexpr int kIdBack = 1002;
constexpr int kIdDone = 1003;
constexpr int kIdStatus = 1006;
constexpr int kIdStatusPicture = 1014;
constexpr int kIdInstalling = 1015;
constexpr int kIdCompany = 1016;
constexpr int kIdLogo = 1017;

// Pictures, icons and the animation.
constexpr int kBmpBackground = 171;
constexpr int kBmpInstall = 175;
constexpr int kBmpInstallOver = 176;
constexpr int kBmpInstallPressed = 177;
constexpr int kBmpInstalling = 178;
constexpr int kBmpStatusBefore = 179;
constexpr int kBmpStatusDuring = 180;
constexpr int kBmpStatusAfter = 181;
constexpr int kBmpDone = 186;
constexpr int kBmpDoneOver = 187;
constexpr int kBmpDonePressed = 188;
constexpr int kBmpLogo = 190;
constexpr int kIconLarge = 107;
constexpr int kIconSmall = 108;
constexpr char16_t kAnimationType[] = u"GIF";
constexpr int kAnimationId = 185;

constexpr int kButtonX = 362;
constexpr int kButtonY = 300;
constexpr int kStatusPictureY = 190;
constexpr int kStatusPictureInstallingY = 170;
constexpr int kAnimationX = 270;
constexpr int kAnimationY = 250;
constexpr COLORREF kCompanyTextColour = 0x797979;
constexpr char16_t kFontFace[] = u"돋움체";

struct Picture {
  HBITMAP handle = nullptr;
  int width = 0;
  int height = 0;
};

Picture LoadPicture(HINSTANCE instance, int id) {
  Picture p;
  p.handle = LoadBitmapW(instance, id);
  BITMAP bm;
  if (p.handle && GetObjectW(p.handle, sizeof(bm), &bm)) {
    p.width = bm.bmWidth;
    p.height = bm.bmHeight;
  }
  return p;
}

// A bitmap button that changes its picture as the pointer moves over it and presses it.
struct ImageButton {
  HWND window = nullptr;
  WNDPROC ownProc = nullptr;
  HBITMAP normal = nullptr;
  HBITMAP over = nullptr;
  HBITMAP pressed = nullptr;
  bool outside = true;
};

LRESULT CALLBACK ImageButtonProc(HWND button, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* b = reinterpret_cast<ImageButton*>(GetWindowLongPtrW(button, GWLP_USERDATA));
  if (!b) return DefWindowProcW(button, msg, wParam, lParam);
  auto show = [&](HBITMAP bmp) { SendMessageW(button, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmp)); };
  switch (msg) {
    case WM_MOUSEMOVE:
      if (b->outside) {
        b->outside = false;
        show(b->over);
        TRACKMOUSEEVENT track;
        track.dwFlags = TME_HOVER | TME_LEAVE;
        track.hwndTrack = button;
        track.dwHoverTime = HOVER_DEFAULT;
        TrackMouseEvent(&track);
      }
      break;
    case WM_MOUSELEAVE:
      b->outside = true;
      show(b->normal);
      break;
    case WM_LBUTTONUP:
      show(b->normal);
      break;
    case WM_MOUSEACTIVATE:
      show(b->pressed);
      break;
    default:
      break;
  }
  return CallWindowProcW(b->ownProc, button, msg, wParam, lParam);
}

class InstallWindow : public InstallView {
 public:
  InstallWindow(InstallerState& state, const InstallWindowOptions& options) : state_(state), options_(options) {
    if (!options_.worker) options_.worker = RunInstallWorker;
    if (!options_.exitProcess) options_.exitProcess = [](UINT code) { Processes().ExitProcess(code); };
  }

  void SetStatusText(std::u16string_view text) override {
    if (statusTextFlag_.load() != 1) return;
    SetWindowTextW(status_, text);
    InvalidateUnder(status_);
  }

  void ShowFinishedPicture() override {
    if (statusTextFlag_.load() != 1) return;
    SendMessageW(statusPicture_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmpStatusAfter_.handle));
  }

  HWND Owner() override { return window_.load(); }

  int Run() {
    HWND window = CreateDialogParamW(options_.instance, kDialogTemplate, nullptr, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    // A dialog that closed itself while starting has nothing to show and no loop to run.
    if (!window || !IsWindow(window)) {
      Finish();
      return 1;
    }
    if (options_.created) options_.created(window);

    ShowWindow(window, state_.showMode == u"false" ? SW_HIDE : SW_SHOW);
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(LoadIconW(options_.instance, kIconSmall)));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(LoadIconW(options_.instance, kIconLarge)));

    MSG msg;
    for (;;) {
      const BOOL r = GetMessageW(&msg, nullptr, 0, 0);
      if (r == 0 || r == -1) break;
      if (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE) continue;
      if (msg.message == WM_SYSKEYDOWN && msg.wParam == VK_F4) continue;
      if (!IsDialogMessageW(window, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    Finish();
    return workerStarted_ ? 0 : kInstallWindowCancelled;
  }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
      auto* self = reinterpret_cast<InstallWindow*>(lParam);
      self->Initialise(window);
      return TRUE;
    }
    auto* self = reinterpret_cast<InstallWindow*>(GetWindowLongPtrW(window, GWL_USERDATA));
    if (!self) return FALSE;
    return self->Handle(window, msg, wParam, lParam);
  }

  INT_PTR Handle(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case WM_COMMAND:
        switch (LOWORD(wParam)) {
          case kIdInstall:
            Install();
            return TRUE;
          case kIdCancel:
          case kIdDone:
            SendMessageW(window, WM_CLOSE, 0, 0);
            return TRUE;
          case kIdBack:
            return TRUE;
          default:
            return FALSE;
        }
      case WM_CLOSE:
        DestroyWindow(window);
        return TRUE;
      case WM_DESTROY:
        // Nothing draws into the window once it is gone.
        statusTextFlag_ = 0;
        animation_.Release();
        PostQuitMessage(0);
        return TRUE;
      case WM_PAINT:
        Paint(window);
        return TRUE;
      case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        HWND control = reinterpret_cast<HWND>(lParam);
        if (control == company_) {
          SetTextColor(dc, kCompanyTextColour);
          SetBkMode(dc, TRANSPARENT);
          return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
        }
        if (control == status_) {
          SetBkMode(dc, TRANSPARENT);
          return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
        }
        return FALSE;
      }
      case WM_LBUTTONDOWN:
        // The window has no caption: any point of its background drags it.
        SendMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
        return TRUE;
      default:
        return FALSE;
    }
  }

  void Initialise(HWND window) {
    const HINSTANCE instance = options_.instance;
    window_ = window;
    install_ = GetDlgItem(window, kIdInstall);
    done_ = GetDlgItem(window, kIdDone);
    HWND cancel = GetDlgItem(window, kIdCancel);
    HWND back = GetDlgItem(window, kIdBack);
    installing_ = GetDlgItem(window, kIdInstalling);
    statusPicture_ = GetDlgItem(window, kIdStatusPicture);
    status_ = GetDlgItem(window, kIdStatus);
    logo_ = GetDlgItem(window, kIdLogo);
    company_ = GetDlgItem(window, kIdCompany);

    bmpBackground_ = LoadPicture(instance, kBmpBackground);
    installButton_.normal = (bmpInstall_ = LoadPicture(instance, kBmpInstall)).handle;
    installButton_.over = LoadPicture(instance, kBmpInstallOver).handle;
    installButton_.pressed = LoadPicture(instance, kBmpInstallPressed).handle;
    doneButton_.normal = (bmpDone_ = LoadPicture(instance, kBmpDone)).handle;
    doneButton_.over = LoadPicture(instance, kBmpDoneOver).handle;
    doneButton_.pressed = LoadPicture(instance, kBmpDonePressed).handle;
    bmpInstalling_ = LoadPicture(instance, kBmpInstalling);
    bmpStatusBefore_ = LoadPicture(instance, kBmpStatusBefore);
    bmpStatusDuring_ = LoadPicture(instance, kBmpStatusDuring);
    bmpStatusAfter_ = LoadPicture(instance, kBmpStatusAfter);
    bmpLogo_ = LoadPicture(instance, kBmpLogo);
    SetWindowLongPtrW(window, GWL_USERDATA, reinterpret_cast<LONG_PTR>(this));

    ShowWindow(back, SW_HIDE);
    ShowWindow(cancel, SW_HIDE);
    ShowWindow(done_, SW_HIDE);
    ShowWindow(installing_, SW_HIDE);
    if (!state_.showLogo) ShowWindow(logo_, SW_HIDE);

    constexpr UINT kPlace = SWP_NOZORDER | SWP_NOACTIVATE;
    SetWindowPos(window, nullptr, 0, 0, bmpBackground_.width, bmpBackground_.height, SWP_NOMOVE | kPlace);
    SetWindowPos(install_, nullptr, kButtonX, kButtonY, bmpInstall_.width, bmpInstall_.height, kPlace);
    SetWindowPos(done_, nullptr, kButtonX, kButtonY, bmpDone_.width, bmpDone_.height, kPlace);
    SetWindowPos(installing_, nullptr, kButtonX, kButtonY, bmpInstall_.width, bmpInstall_.height, kPlace);
    statusPictureX_ = state_.korean ? 275 : 240;
    SetWindowPos(statusPicture_, nullptr, statusPictureX_, kStatusPictureY, bmpStatusBefore_.width,
                 bmpStatusBefore_.height, kPlace);
    SetWindowPos(status_, nullptr, 270, 236, 305, 15, kPlace);
    SetWindowPos(logo_, nullptr, 490, 10, 100, 40, kPlace);
    SetWindowPos(company_, nullptr, 350, 14, 240, 20, kPlace);

    MakeImageButton(install_, installButton_);
    MakeImageButton(done_, doneButton_);
    SendMessageW(done_, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmpDone_.handle));
    SendMessageW(install_, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmpInstall_.handle));
    SendMessageW(statusPicture_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmpStatusBefore_.handle));
    SendMessageW(installing_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmpInstalling_.handle));

    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&gdiplusToken_, &input, nullptr) != Gdiplus::Ok) {
      gdiplusToken_ = 0;
      SendMessageW(window, WM_CLOSE, 0, 0);
      return;
    }

    Centre(window);

    statusTextFlag_ = 1;
    fontButton_ = CreateFontW(17, 0, 0, 0, 600, 0, 0, 0, HANGUL_CHARSET, 0, 0, 0, VARIABLE_PITCH | FF_ROMAN, kFontFace);
    fontStatus_ = CreateFontW(13, 0, 0, 0, 400, 0, 0, 0, HANGUL_CHARSET, 0, 0, 0, VARIABLE_PITCH | FF_ROMAN, kFontFace);
    fontCompany_ = CreateFontW(14, 0, 0, 0, 600, 0, 0, 0, HANGUL_CHARSET, 0, 0, 0, VARIABLE_PITCH | FF_ROMAN, kFontFace);
    SendMessageW(install_, WM_SETFONT, reinterpret_cast<WPARAM>(fontButton_), FALSE);
    SendMessageW(status_, WM_SETFONT, reinterpret_cast<WPARAM>(fontStatus_), FALSE);
    SendMessageW(company_, WM_SETFONT, reinterpret_cast<WPARAM>(fontCompany_), FALSE);

    if (state_.showLogo) {
      SendMessageW(logo_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmpLogo_.handle));
    } else if (!state_.companyName.empty()) {
      SetWindowTextW(company_, state_.companyName);
    }

    const std::u16string& mode = state_.showMode;
    if (mode == u"true") return;
    if (mode == u"true-auto") {
      SendMessageW(window, WM_COMMAND, MAKEWPARAM(kIdInstall, BN_CLICKED), 0);
    } else if (mode == u"true-auto-exit") {
      ShowWindow(install_, SW_HIDE);
      SendMessageW(window, WM_COMMAND, MAKEWPARAM(kIdInstall, BN_CLICKED), 0);
    } else {
      // Hidden and unknown modes install at once, without animation or finish thread.
      workerStarted_ = true;
      worker_ = std::thread([this] { options_.worker(state_); });
    }
  }

  void MakeImageButton(HWND button, ImageButton& b) {
    b.window = button;
    SetWindowLongPtrW(button, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&b));
    b.ownProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ImageButtonProc)));
  }

  void Centre(HWND window) {
    RECT desktop, own;
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    auto place = [](int start, int extent, int size, int screen) {
      int at = start + (extent - size) / 2;
      if (at < 0) {
        at = 0;
      } else if (at + size > screen) {
        at = screen - size;
      }
      return at;
    };
    const int left = place(desktop.left, desktop.right - desktop.left, width, GetSystemMetrics(SM_CXSCREEN));
    const int top = place(desktop.top, desktop.bottom - desktop.top, height, GetSystemMetrics(SM_CYSCREEN));
    SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void Install() {
    HWND window = window_.load();
    // An install that started on its own is running: the button has nothing to add.
    if (workerStarted_ && !IsDone()) return;

    SendMessageW(statusPicture_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmpStatusDuring_.handle));
    SetWindowPos(statusPicture_, nullptr, statusPictureX_, kStatusPictureInstallingY, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    // Loaded once: a second press must not pull the picture from under a playing animation.
    if (!animation_.IsLoaded() && animation_.Load(kAnimationType, kAnimationId)) {
      animation_.SetTarget(window, kAnimationX, kAnimationY);
      if (animation_.FrameCount() > 1) animation_.Start();
    }
    InvalidateRect(window, nullptr, TRUE);
    UpdateWindow(window);

    bool start = false;
    bool close = false;
    {
      std::lock_guard<std::recursive_mutex> lock(state_.flagLock);
      if (state_.installing) return;
      if (state_.done == 0) {
        ShowWindow(install_, SW_HIDE);
        ShowWindow(installing_, SW_SHOW);
        state_.installing = 1;
        start = true;
      } else if (state_.done == 1) {
        close = true;
      }
    }
    if (start) {
      workerStarted_ = true;
      worker_ = std::thread([this] { options_.worker(state_); });
      finish_ = std::thread([this] { FinishThread(); });
    } else if (close) {
      SendMessageW(window, WM_CLOSE, 0, 0);
    }
  }

  bool IsDone() {
    std::lock_guard<std::recursive_mutex> lock(state_.flagLock);
    return state_.done != 0;
  }

  void FinishThread() {
    worker_.join();
    HWND window = window_.load();
    SendMessageW(statusPicture_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmpStatusAfter_.handle));
    animation_.Pause();
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    ShowWindow(installing_, SW_HIDE);
    ShowWindow(done_, SW_SHOW);
    if (state_.showMode == u"true-auto-exit") {
      SetStatusText(InstallerText(341, state_.korean));
      WriteInstallerOutcome(u"0");
      Time().Sleep(5000);
      options_.exitProcess(1);
      return;
    }
    ShowWindow(status_, SW_HIDE);
  }

  void Paint(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    if (dc) {
      HDC memory = CreateCompatibleDC(dc);
      HGDIOBJ old = SelectObject(memory, bmpBackground_.handle);
      BitBlt(dc, 0, 0, bmpBackground_.width, bmpBackground_.height, memory, 0, 0, SRCCOPY);
      SelectObject(memory, old);
      DeleteDC(memory);
    }
    EndPaint(window, &ps);
  }

  // The background under a transparent control is drawn again, then the control over it.
  void InvalidateUnder(HWND control) {
    HWND window = window_.load();
    RECT r;
    if (!GetWindowRect(control, &r)) return;
    POINT corners[2] = {{r.left, r.top}, {r.right, r.bottom}};
    MapWindowPoints(nullptr, window, corners, 2);
    r = {corners[0].x, corners[0].y, corners[1].x, corners[1].y};
    InvalidateRect(window, &r, FALSE);
  }

  // After the loop: the threads end before anything they use goes away.
  void Finish() {
    if (finish_.joinable()) finish_.join();
    if (worker_.joinable()) worker_.join();
    statusTextFlag_ = 0;
    animation_.Release();
    if (gdiplusToken_) Gdiplus::GdiplusShutdown(gdiplusToken_);
    gdiplusToken_ = 0;
    for (HFONT f : {fontButton_, fontStatus_, fontCompany_}) {
      if (f) DeleteObject(f);
    }
    for (HBITMAP b : {bmpBackground_.handle, installButton_.normal, installButton_.over, installButton_.pressed,
                      doneButton_.normal, doneButton_.over, doneButton_.pressed, bmpInstalling_.handle,
                      bmpStatusBefore_.handle, bmpStatusDuring_.handle, bmpStatusAfter_.handle, bmpLogo_.handle}) {
      if (b) DeleteObject(b);
    }
  }

  InstallerState& state_;
  InstallWindowOptions options_;

  std::atomic<HWND> window_{nullptr};
  HWND install_ = nullptr;
  HWND done_ = nullptr;
  HWND installing_ = nullptr;
  HWND statusPicture_ = nullptr;
  HWND status_ = nullptr;
  HWND logo_ = nullptr;
  HWND company_ = nullptr;
  int statusPictureX_ = 240;

  Picture bmpBackground_, bmpInstall_, bmpDone_, bmpInstalling_, bmpStatusBefore_, bmpStatusDuring_,
      bmpStatusAfter_, bmpLogo_;
  ImageButton installButton_, doneButton_;
  HFONT fontButton_ = nullptr;
  HFONT fontStatus_ = nullptr;
  HFONT fontCompany_ = nullptr;
  ImageEx animation_;
  ULONG_PTR gdiplusToken_ = 0;

  std::atomic<int> statusTextFlag_{0};
  bool workerStarted_ = false;  // main thread only
  std::thread worker_;
  std::thread finish_;
};

}  // namespace

int RunInstallWindow(InstallerState& state, const InstallWindowOptions& options) {
  InstallWindow window(state, options);
  state.view = &window;
  const int result = window.Run();
  state.view = nullptr;
  return result;
}

}  // namespace qz

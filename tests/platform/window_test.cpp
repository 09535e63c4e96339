// The simulated window system: dialogs from templates, geometry, subclassing, messages across
// threads, painting, dialog keys, controls, GDI+ animations, and `winsim ui` driving another
// process's dialog.
#include "platform/window.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/gdiplus.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/bundle.h"
#include "platform/winsim/raster.h"
#include "platform/winsim/windows_internal.h"
#include "support/test_machine.h"

using namespace win;

namespace {

constexpr uint32_t kBlue = 0xFF0000FF;
constexpr uint32_t kGreen = 0xFF00FF00;
constexpr uint32_t kRed = 0xFFFF0000;

// A 24-bit bottom-up DIB of one colour (0xRRGGBB).
std::vector<uint8_t> Dib(int w, int h, uint32_t rgb) {
  std::vector<uint8_t> d;
  auto put = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  const int stride = (w * 3 + 3) & ~3;
  put(40, 4), put(static_cast<uint32_t>(w), 4), put(static_cast<uint32_t>(h), 4), put(1, 2), put(24, 2);
  put(0, 4), put(static_cast<uint32_t>(stride * h), 4), put(2835, 4), put(2835, 4), put(0, 4), put(0, 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) put(rgb & 0xFF, 1), put((rgb >> 8) & 0xFF, 1), put(rgb >> 16, 1);
    for (int p = w * 3; p < stride; ++p) d.push_back(0);
  }
  return d;
}

// A 2x2 animation: red, green, blue frames with delays of 10, 20 and 0 hundredths.
std::vector<uint8_t> Gif() {
  std::vector<uint8_t> out;
  auto write = [](GifFileType* gif, const GifByteType* data, int n) {
    auto* o = static_cast<std::vector<uint8_t>*>(gif->UserData);
    o->insert(o->end(), data, data + n);
    return n;
  };
  int err = 0;
  GifFileType* gif = EGifOpen(&out, write, &err);
  GifColorType colors[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colors);
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, 2, 2, 2, 0, map);
  const int delays[3] = {10, 20, 0};
  for (int f = 0; f < 3; ++f) {
    GraphicsControlBlock gcb{DISPOSE_DO_NOT, false, delays[f], NO_TRANSPARENT_COLOR};
    GifByteType ext[4];
    const size_t len = EGifGCBToExtension(&gcb, ext);
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(len), ext);
    EGifPutImageDesc(gif, 0, 0, 2, 2, false, nullptr);
    GifPixelType row[2] = {static_cast<GifPixelType>(f), static_cast<GifPixelType>(f)};
    EGifPutLine(gif, row, 2);
    EGifPutLine(gif, row, 2);
  }
  GifFreeMapObject(map);
  EGifCloseFile(gif, &err);
  return out;
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// 100 x 40 dialog units = 150 x 65 pixels of client area, with a one-pixel border.
const char kTemplate[] =
    "; test dialog\n"
    "DIALOG 100 40\n"
    "STYLE WS_POPUP | WS_BORDER | DS_SETFONT | DS_CENTER\n"
    "EXSTYLE WS_EX_TOPMOST\n"
    "FONT 8 \"MS Shell Dlg\"\n"
    "CONTROL 10 Button BS_BITMAP|WS_TABSTOP|WS_VISIBLE 4 8 40 14 \"설치\"\n"
    "CONTROL 11 Static SS_BITMAP|WS_VISIBLE 50 8 20 20 \"\"\n"
    "CONTROL 12 Static SS_RIGHT|SS_ENDELLIPSIS 50 30 46 8 \"a\\\"b\"\n"
    "CONTROL 13 Static SS_BITMAP|SS_REALSIZECONTROL|WS_VISIBLE 80 8 10 10 \"\"\n";

// What dialog procedures of these tests saw, in order.
std::vector<std::string> gSeen;
LPARAM gInitParam = 0;

INT_PTR CALLBACK RecordingProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      gInitParam = lParam;
      return TRUE;
    case WM_COMMAND:
      gSeen.push_back("command " + std::to_string(LOWORD(wParam)) + " " + std::to_string(HIWORD(wParam)) +
                      (lParam ? " from" : ""));
      return TRUE;
    case WM_CLOSE:
      gSeen.push_back("close");
      return FALSE;  // the dialog manager's default
    case WM_APP:
      SetWindowLongPtrW(h, DWLP_MSGRESULT, static_cast<LONG_PTR>(wParam * 2));
      return TRUE;
    default:
      return FALSE;
  }
}

// A machine whose test program carries the template (#100) and a few pictures.
class WindowTest : public ::testing::Test {
 protected:
  void SetUpMachine(const std::string& lang = "en", const std::string& extraConfig = "") {
    machine_ = std::make_unique<qztest::TestMachine>("win10-x64", lang);
    if (!extraConfig.empty()) std::ofstream(machine_->root() + "/machine.ini", std::ios::app) << extraConfig << "\n";
    std::filesystem::create_directories(machine_->HostPath(u"C:\\test"));
    const std::string host = machine_->HostPath(u"C:\\test\\test.exe");
    std::ofstream(host) << "image";
    winsim::Bundle b;
    b.bits = 32;
    b.entries.push_back({"#5", "#100", 0, Bytes(kTemplate)});
    b.entries.push_back({"#5", "#101", 0, Bytes("DIALOG 10 10\nSTYLE WS_POPUP\n")});
    b.entries.push_back({"#5", "#102", 0, Bytes("DIALOG 10\n")});
    b.entries.push_back({"#2", "#200", 0, Dib(20, 10, 0x0000FF)});
    b.entries.push_back({"#2", "#300", 1033, Dib(2, 2, 0xFF0000)});
    b.entries.push_back({"#2", "#300", 1042, Dib(3, 3, 0xFF0000)});
    b.entries.push_back({"#2", "#301", 1042, Dib(4, 4, 0xFF0000)});
    ASSERT_TRUE(winsim::WriteBundle(host, b));
    machine_->Enter(u"C:\\test\\test.exe");
    gSeen.clear();
    gInitParam = 0;
  }

  HWND Dialog(int id = 100, LPARAM param = 0) { return CreateDialogParamW(nullptr, id, nullptr, RecordingProc, param); }

  // Runs this thread's messages through the dialog manager until none is left.
  void Pump(HWND dialog) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!IsDialogMessageW(dialog, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }

  std::unique_ptr<qztest::TestMachine> machine_;
};

RECT ClientRectOf(HWND dialog, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  POINT a{r.left, r.top}, b{r.right, r.bottom};
  ScreenToClient(dialog, &a);
  ScreenToClient(dialog, &b);
  return {a.x, a.y, b.x, b.y};
}

TEST_F(WindowTest, DialogFromTemplateIsCentredTopLevelWithItsControlsInPixels) {
  struct Screen {
    std::string config;
    LONG left, top;
  };
  // The window is 152 x 67 pixels.
  for (const Screen& s : {Screen{"", (1024 - 152) / 2, (768 - 67) / 2}, Screen{"screen = 800x600", 324, 266}}) {
    SCOPED_TRACE(s.config);
    SetUpMachine("en", s.config);
    HWND dlg = Dialog(100, 0x1234);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(gInitParam, 0x1234);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), s.config.empty() ? 1024 : 800);
    RECT r;
    ASSERT_TRUE(GetWindowRect(dlg, &r));
    EXPECT_EQ(r.left, s.left);
    EXPECT_EQ(r.top, s.top);
    EXPECT_EQ(r.right - r.left, 152);
    EXPECT_EQ(r.bottom - r.top, 67);
    ASSERT_TRUE(GetClientRect(dlg, &r));
    EXPECT_EQ(r.right, 150);
    EXPECT_EQ(r.bottom, 65);
    EXPECT_FALSE(IsWindowVisible(dlg));  // the template has no WS_VISIBLE
  }

  HWND dlg = Dialog();
  struct Control {
    int id;
    const char16_t* cls;
    RECT rect;  // client coordinates of the dialog
    bool visible;
    std::u16string text;
  };
  const Control controls[] = {
      {10, u"Button", {6, 13, 66, 36}, true, u"설치"},
      {11, u"Static", {75, 13, 105, 46}, true, u""},
      {12, u"Static", {75, 49, 144, 62}, false, u"a\"b"},
      {13, u"Static", {120, 13, 135, 29}, true, u""},
  };
  ShowWindow(dlg, SW_SHOW);
  for (const auto& c : controls) {
    SCOPED_TRACE(c.id);
    HWND h = GetDlgItem(dlg, c.id);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetDlgCtrlID(h), c.id);
    EXPECT_EQ(GetParent(h), dlg);
    RECT r = ClientRectOf(dlg, h);
    EXPECT_EQ(r.left, c.rect.left);
    EXPECT_EQ(r.top, c.rect.top);
    EXPECT_EQ(r.right, c.rect.right);
    EXPECT_EQ(r.bottom, c.rect.bottom);
    EXPECT_EQ(IsWindowVisible(h) != FALSE, c.visible);
    EXPECT_EQ(GetWindowTextW(h), c.text);
    EXPECT_NE(SendMessageW(h, WM_GETFONT, 0, 0), 0);  // DS_SETFONT gives every control the dialog's font
  }
  EXPECT_EQ(GetDlgItem(dlg, 99), nullptr);

  // Other processes see it as a top-level window of this one.
  auto all = Desktop().EnumWindows();
  EXPECT_NE(std::find(all.begin(), all.end(), dlg), all.end());
  DWORD pid = 0;
  Desktop().GetWindowThreadProcessId(dlg, &pid);
  EXPECT_EQ(pid, static_cast<DWORD>(getpid()));
  EXPECT_TRUE(DestroyWindow(dlg));
  all = Desktop().EnumWindows();
  EXPECT_EQ(std::find(all.begin(), all.end(), dlg), all.end());
  EXPECT_FALSE(IsWindow(dlg));
}

INT_PTR CALLBACK EndsAtOnce(HWND h, UINT msg, WPARAM, LPARAM) {
  if (msg == WM_INITDIALOG) DestroyWindow(h);
  return FALSE;
}

TEST_F(WindowTest, NoDialogFromAMissingOrBrokenTemplateOrOneThatEndsWhileStarting) {
  SetUpMachine();
  EXPECT_EQ(CreateDialogParamW(nullptr, 999, nullptr, RecordingProc, 0), nullptr);
  EXPECT_EQ(CreateDialogParamW(nullptr, 102, nullptr, RecordingProc, 0), nullptr);
  EXPECT_EQ(CreateDialogParamW(nullptr, 100, nullptr, EndsAtOnce, 0), nullptr);
  EXPECT_TRUE(Desktop().EnumWindows().empty());
  std::string why;
  winsim::DialogTemplate t;
  EXPECT_FALSE(winsim::ParseDialogTemplate("DIALOG 10 10\nCONTROL 1 Button BS_NOPE 0 0 1 1 \"\"\n", &t, &why));
  EXPECT_FALSE(winsim::ParseDialogTemplate("DIALOG 10 10\nCONTROL 1 Button 0 0 0 1 1 \"open\n", &t, &why));
  EXPECT_FALSE(winsim::ParseDialogTemplate("DIALOG 10 10\nSTYLE DS_SETFONT\n", &t, &why));
}

TEST_F(WindowTest, PositionSizeVisibilityAndCoordinateMapping) {
  SetUpMachine();
  HWND dlg = Dialog();
  HWND button = GetDlgItem(dlg, 10);
  ASSERT_TRUE(SetWindowPos(dlg, nullptr, 100, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
  ASSERT_TRUE(SetWindowPos(button, nullptr, 0, 0, 30, 20, SWP_NOMOVE | SWP_NOZORDER));
  RECT r;
  GetWindowRect(dlg, &r);
  EXPECT_EQ(r.left, 100);
  EXPECT_EQ(r.right, 252);  // size kept
  GetWindowRect(button, &r);
  EXPECT_EQ(r.left, 100 + 1 + 6);  // border, then the control's place
  EXPECT_EQ(r.right - r.left, 30);
  EXPECT_EQ(r.bottom - r.top, 20);
  ASSERT_TRUE(MoveWindow(button, 40, 30, 10, 5, TRUE));
  POINT p{0, 0};
  MapWindowPoints(button, dlg, &p, 1);
  EXPECT_EQ(p.x, 40);
  EXPECT_EQ(p.y, 30);
  p = {0, 0};
  ClientToScreen(button, &p);
  EXPECT_EQ(p.x, 141);
  EXPECT_EQ(p.y, 81);

  // A child is visible only while its parent is.
  EXPECT_EQ(ShowWindow(dlg, SW_SHOW), FALSE);
  EXPECT_TRUE(IsWindowVisible(button));
  EXPECT_NE(ShowWindow(button, SW_HIDE), FALSE);
  EXPECT_FALSE(IsWindowVisible(button));
  ShowWindow(button, SW_SHOW);
  ShowWindow(dlg, SW_HIDE);
  EXPECT_FALSE(IsWindowVisible(button));
  EXPECT_NE(GetWindowLongPtrW(button, GWL_STYLE) & WS_VISIBLE, 0);
}

WNDPROC gOriginal = nullptr;
int gSubclassCalls = 0;
LRESULT CALLBACK Subclass(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == BM_SETIMAGE) ++gSubclassCalls;
  return CallWindowProcW(gOriginal, h, msg, wParam, lParam);
}

TEST_F(WindowTest, SubclassedButtonPassesOnAndWindowDataRoundTrips) {
  SetUpMachine();
  HWND dlg = Dialog();
  HWND button = GetDlgItem(dlg, 10);
  gSubclassCalls = 0;
  gOriginal = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Subclass)));
  ASSERT_NE(gOriginal, nullptr);
  EXPECT_EQ(GetWindowLongPtrW(button, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(Subclass));
  HBITMAP a = LoadBitmapW(nullptr, 200), b = LoadBitmapW(nullptr, 300);
  EXPECT_EQ(SendMessageW(button, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(a)), 0);
  EXPECT_EQ(SendMessageW(button, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(b)), reinterpret_cast<LRESULT>(a));
  EXPECT_EQ(SendMessageW(button, BM_GETIMAGE, IMAGE_BITMAP, 0), reinterpret_cast<LRESULT>(b));
  EXPECT_EQ(gSubclassCalls, 2);

  int record = 0;
  EXPECT_EQ(SetWindowLongPtrW(dlg, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&record)), 0);
  EXPECT_EQ(GetWindowLongPtrW(dlg, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&record));
  SetWindowLongPtrW(dlg, DWLP_USER, 77);
  EXPECT_EQ(GetWindowLongPtrW(dlg, DWLP_USER), 77);
  EXPECT_EQ(SendMessageW(dlg, WM_APP, 21, 0), 42);  // the dialog's answer through DWLP_MSGRESULT
  // Controls have no dialog data.
  SetLastError(0);
  EXPECT_EQ(SetWindowLongPtrW(button, DWLP_USER, 5), 0);
  EXPECT_NE(GetLastError(), 0u);
}

TEST_F(WindowTest, BitmapsByLanguageAndControlsTakingThem) {
  struct Lang {
    std::string lang;
    LONG w300, w301;
  };
  for (const Lang& l : {Lang{"en", 2, 4}, Lang{"ko", 3, 4}}) {
    SCOPED_TRACE(l.lang);
    SetUpMachine(l.lang);
    BITMAP bm;
    ASSERT_EQ(GetObjectW(LoadBitmapW(nullptr, 300), sizeof bm, &bm), static_cast<int>(sizeof bm));
    EXPECT_EQ(bm.bmWidth, l.w300);
    ASSERT_EQ(GetObjectW(LoadBitmapW(nullptr, 301), sizeof bm, &bm), static_cast<int>(sizeof bm));
    EXPECT_EQ(bm.bmWidth, l.w301);
    EXPECT_EQ(LoadBitmapW(nullptr, 302), nullptr);
  }

  HWND dlg = Dialog();
  HBITMAP bmp = LoadBitmapW(nullptr, 200);  // 20 x 10
  struct Case {
    int id;
    LONG w, h;  // size after STM_SETIMAGE
    bool taken;
  };
  // A bitmap static takes its picture's size unless told to keep its own; a text static takes none.
  for (const Case& c : {Case{11, 20, 10, true}, Case{13, 15, 16, true}, Case{12, 69, 13, false}}) {
    SCOPED_TRACE(c.id);
    HWND h = GetDlgItem(dlg, c.id);
    EXPECT_EQ(SendMessageW(h, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmp)), 0);
    EXPECT_EQ(SendMessageW(h, STM_GETIMAGE, IMAGE_BITMAP, 0), c.taken ? reinterpret_cast<LRESULT>(bmp) : 0);
    RECT r;
    GetWindowRect(h, &r);
    EXPECT_EQ(r.right - r.left, c.w);
    EXPECT_EQ(r.bottom - r.top, c.h);
  }
}

TEST_F(WindowTest, ButtonClickNotifiesItsParentOnlyForAPressReleasedOnIt) {
  SetUpMachine();
  HWND dlg = Dialog();
  ShowWindow(dlg, SW_SHOW);
  HWND button = GetDlgItem(dlg, 10);  // 60 x 23
  struct Case {
    bool down;
    LPARAM up;
    bool clicked;
  };
  for (const Case& c : {Case{true, MAKELPARAM(5, 5), true}, Case{true, MAKELPARAM(70, 5), false},
                        Case{false, MAKELPARAM(5, 5), false}}) {
    gSeen.clear();
    if (c.down) PostMessageW(button, WM_LBUTTONDOWN, 1, MAKELPARAM(5, 5));
    PostMessageW(button, WM_LBUTTONUP, 0, c.up);
    Pump(dlg);
    EXPECT_EQ(gSeen, c.clicked ? std::vector<std::string>{"command 10 0 from"} : std::vector<std::string>{});
  }
}

TEST_F(WindowTest, DialogManagerTurnsKeysIntoCommandsAndAltF4IntoClose) {
  SetUpMachine();
  HWND dlg = Dialog();
  ShowWindow(dlg, SW_SHOW);
  HWND button = GetDlgItem(dlg, 10);
  const LPARAM alt = static_cast<LPARAM>(KF_ALTDOWN) << 16;
  struct Case {
    HWND target;
    UINT msg;
    WPARAM key;
    LPARAM lParam;
    std::vector<std::string> seen;
  };
  const Case cases[] = {
      {dlg, WM_KEYDOWN, VK_RETURN, 0, {"command 1 0"}},
      {button, WM_KEYDOWN, VK_RETURN, 0, {"command 1 0"}},
      {dlg, WM_KEYDOWN, VK_ESCAPE, 0, {"command 2 0"}},
      // WM_SYSCOMMAND SC_CLOSE, WM_CLOSE; the procedure leaves it to the dialog manager: IDCANCEL.
      {button, WM_SYSKEYDOWN, VK_F4, alt, {"close", "command 2 0"}},
      {dlg, WM_SYSKEYDOWN, VK_F4, 0, {}},
      {dlg, WM_KEYDOWN, 'A', 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    gSeen.clear();
    PostMessageW(c.target, c.msg, c.key, c.lParam);
    Pump(dlg);
    EXPECT_EQ(gSeen, c.seen);
  }
  EXPECT_TRUE(IsWindow(dlg));
}

TEST_F(WindowTest, PaintIsSynthesisedOnlyWhenNothingElseWaitsAndOnlyForVisibleWindows) {
  SetUpMachine();
  HWND dlg = Dialog();
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));  // hidden: nothing to paint
  ShowWindow(dlg, SW_SHOW);
  Pump(dlg);  // the first paint of the dialog and its controls
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));

  InvalidateRect(dlg, nullptr, FALSE);
  PostMessageW(dlg, WM_APP + 1, 0, 0);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_APP + 1);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_PAINT);
  EXPECT_EQ(msg.hwnd, dlg);
  // Until the window validates itself it stays invalid.
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_PAINT);
  DispatchMessageW(&msg);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));

  PostQuitMessage(3);
  ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
}

// A dialog owned by a worker thread: the main thread's procedure sends to it while the worker
// itself waits in SendMessageW for the main thread.
std::thread::id gAnsweredOn;
HWND gWorkerDialog = nullptr;
INT_PTR CALLBACK MainProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_APP) {
    LRESULT back = SendMessageW(gWorkerDialog, WM_APP + 1, wParam, 0);
    SetWindowLongPtrW(h, DWLP_MSGRESULT, back + 1);
    return TRUE;
  }
  if (msg == WM_APP + 2) {
    PostQuitMessage(0);
    return TRUE;
  }
  return FALSE;
}
INT_PTR CALLBACK WorkerProc(HWND h, UINT msg, WPARAM wParam, LPARAM) {
  if (msg == WM_APP + 1) {
    gAnsweredOn = std::this_thread::get_id();
    SetWindowLongPtrW(h, DWLP_MSGRESULT, static_cast<LONG_PTR>(wParam * 10));
    return TRUE;
  }
  return FALSE;
}

TEST_F(WindowTest, SendFromAnotherThreadIsServedByTheOwnerWithoutDeadlock) {
  SetUpMachine();
  HWND dlg = CreateDialogParamW(nullptr, 100, nullptr, MainProc, 0);
  ASSERT_NE(dlg, nullptr);
  int wrong = 0;
  std::thread::id worker;
  std::thread t([&] {
    worker = std::this_thread::get_id();
    gWorkerDialog = CreateDialogParamW(nullptr, 100, nullptr, WorkerProc, 0);
    // Many round trips: a lost wake-up on either side would hang here.
    for (WPARAM i = 1; i <= 200; ++i) wrong += SendMessageW(dlg, WM_APP, i, 0) != static_cast<LRESULT>(i * 10 + 1);
    SetWindowTextW(GetDlgItem(dlg, 12), u"from the worker");
    PostMessageW(dlg, WM_APP + 2, 0, 0);
  });
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(gAnsweredOn, worker);
  EXPECT_EQ(GetWindowTextW(GetDlgItem(dlg, 12)), u"from the worker");
  // The worker's thread is gone: sending to its window no longer waits.
  EXPECT_EQ(SendMessageW(gWorkerDialog, WM_APP + 1, 1, 0), 0);
}

// A picture of the dialog as `winsim ui screenshot` takes it, here from this process's own server.
std::optional<winsim::Pixels> Screenshot(const qztest::TestMachine& m, const std::string& name) {
  const std::string path = m.root() + "/" + name;
  std::string answer;
  if (winsim::UiRequest(m.root(), static_cast<int>(getpid()), "screenshot " + path, &answer, 5000) != 0) {
    return std::nullopt;
  }
  return winsim::ReadPng(path);
}

TEST_F(WindowTest, GdiplusPlaysTheFramesOfAGifFromAMemoryStream) {
  SetUpMachine();
  const auto gif = Gif();
  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, gif.size());
  ASSERT_NE(mem, nullptr);
  std::memcpy(GlobalLock(mem), gif.data(), gif.size());
  GlobalUnlock(mem);
  EXPECT_EQ(GlobalSize(mem), gif.size());
  IStream* stream = nullptr;
  ASSERT_EQ(CreateStreamOnHGlobal(mem, TRUE, &stream), S_OK);

  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartupInput input;
  ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
  {
    Gdiplus::Image image(stream);
    ASSERT_EQ(image.GetLastStatus(), Gdiplus::Ok);
    EXPECT_EQ(image.GetWidth(), 2u);
    ASSERT_EQ(image.GetFrameDimensionsCount(), 1u);
    GUID dim;
    ASSERT_EQ(image.GetFrameDimensionsList(&dim, 1), Gdiplus::Ok);
    EXPECT_EQ(image.GetFrameCount(&dim), 3u);
    const UINT size = image.GetPropertyItemSize(Gdiplus::PropertyTagFrameDelay);
    ASSERT_EQ(size, sizeof(Gdiplus::PropertyItem) + 3 * 4);
    std::vector<uint8_t> buf(size);
    auto* item = reinterpret_cast<Gdiplus::PropertyItem*>(buf.data());
    ASSERT_EQ(image.GetPropertyItem(Gdiplus::PropertyTagFrameDelay, size, item), Gdiplus::Ok);
    ASSERT_EQ(item->length, 12u);
    const auto* delays = static_cast<const uint32_t*>(item->value);
    EXPECT_EQ(std::vector<uint32_t>(delays, delays + 3), (std::vector<uint32_t>{10, 20, 0}));
    EXPECT_EQ(image.GetPropertyItem(Gdiplus::PropertyTagFrameDelay, size - 1, item), Gdiplus::InvalidParameter);
    EXPECT_EQ(image.SelectActiveFrame(&dim, 3), Gdiplus::InvalidParameter);

    HWND dlg = Dialog();
    ShowWindow(dlg, SW_SHOW);
    Pump(dlg);
    const uint32_t want[3] = {kRed, kGreen, kBlue};
    for (UINT f = 0; f < 3; ++f) {
      SCOPED_TRACE(f);
      ASSERT_EQ(image.SelectActiveFrame(&Gdiplus::FrameDimensionTime, f), Gdiplus::Ok);
      HDC dc = GetDC(dlg);
      Gdiplus::Graphics g(dc);
      EXPECT_EQ(g.DrawImage(&image, 140, 50, 4, 4), Gdiplus::Ok);  // scaled to 4 x 4
      ReleaseDC(dlg, dc);
      auto pic = Screenshot(*machine_, "frame.png");
      ASSERT_TRUE(pic);
      EXPECT_EQ(pic->At(1 + 143, 1 + 53), want[f]);
    }
  }
  Gdiplus::GdiplusShutdown(token);
  // The stream's last release frees the block: a second free is refused, not repeated.
  stream->Release();
  EXPECT_EQ(GlobalFree(mem), mem);

  // Not a picture at all.
  HGLOBAL junk = GlobalAlloc(GMEM_MOVEABLE, 4);
  ASSERT_EQ(CreateStreamOnHGlobal(junk, TRUE, &stream), S_OK);
  {
    Gdiplus::Image image(stream);
    EXPECT_NE(image.GetLastStatus(), Gdiplus::Ok);
    EXPECT_EQ(image.GetFrameCount(&Gdiplus::FrameDimensionTime), 0u);
  }
  stream->Release();
}

INT_PTR CALLBACK PaintingProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_PAINT) {
    static HBITMAP background = LoadBitmapW(nullptr, 300);  // red, 2 x 2
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(h, &ps);
    HDC mem = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(mem, background);
    BitBlt(dc, 0, 0, 2, 2, mem, 0, 0, SRCCOPY);
    SelectObject(mem, old);
    DeleteDC(mem);
    EndPaint(h, &ps);
    return TRUE;
  }
  if (msg == WM_CTLCOLORSTATIC) {
    SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0xFF, 0xFF, 0));
    SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
    return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
  }
  return FALSE;
}

TEST_F(WindowTest, PictureIsTheSurfaceWithVisibleControlsOnTop) {
  SetUpMachine();
  HWND dlg = CreateDialogParamW(nullptr, 100, nullptr, PaintingProc, 0);
  HBITMAP blue = LoadBitmapW(nullptr, 200);
  SendMessageW(GetDlgItem(dlg, 10), BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(blue));
  SendMessageW(GetDlgItem(dlg, 11), STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(blue));
  HWND text = GetDlgItem(dlg, 12);
  SetWindowTextW(text, u"WWWWWWWWWWWW");
  ShowWindow(text, SW_SHOW);
  ShowWindow(GetDlgItem(dlg, 11), SW_HIDE);
  ShowWindow(dlg, SW_SHOW);
  Pump(dlg);
  auto pic = Screenshot(*machine_, "pic.png");
  ASSERT_TRUE(pic);
  EXPECT_EQ(pic->width, 152);
  EXPECT_EQ(pic->height, 67);
  EXPECT_EQ(pic->At(1, 1), kRed);                   // what WM_PAINT drew
  EXPECT_EQ(pic->At(1 + 6 + 30, 1 + 13 + 11), kBlue);  // the button's bitmap, centred
  EXPECT_NE(pic->At(1 + 75 + 5, 1 + 13 + 5), kBlue);   // the hidden static's is not drawn
  // The text static: yellow letters (smoothed at their edges) on the dialog's own background.
  bool yellow = false;
  for (int y = 1 + 49; y < 1 + 62; ++y) {
    for (int x = 1 + 75; x < 1 + 144; ++x) {
      const uint32_t v = pic->At(x, y);
      yellow = yellow || ((v & 0xFF) < 0x80 && (v >> 16 & 0xFF) > 0xE0 && (v >> 8 & 0xFF) > 0xE0);
    }
  }
  EXPECT_TRUE(yellow);
  bool face = false;
  for (int y = 1 + 49; y < 1 + 62; ++y) {
    for (int x = 1 + 75; x < 1 + 144; ++x) face = face || pic->At(x, y) == 0xFFF0F0F0u;
  }
  EXPECT_TRUE(face);
}

// ---- another process's dialog, driven by `winsim ui` ----

const char kUiTemplate[] =
    "DIALOG 200 100\n"
    "STYLE WS_POPUP | WS_BORDER | DS_SETFONT | DS_CENTER\n"
    "FONT 8 \"MS Shell Dlg\"\n"
    "CONTROL 10 Button BS_BITMAP|WS_TABSTOP|WS_VISIBLE 10 10 40 20 \"Go\"\n"
    "CONTROL 11 Static SS_BITMAP|WS_VISIBLE 60 10 40 20 \"\"\n"
    "CONTROL 12 Button WS_TABSTOP|WS_VISIBLE 10 60 40 14 \"Quit\"\n"
    "CONTROL 13 Static SS_RIGHT|WS_VISIBLE 60 60 100 10 \"Say \\\"hi\\\"\"\n"
    "CONTROL 14 Button WS_TABSTOP 110 10 40 14 \"Hidden\"\n";

class DialogProcess {
 public:
  explicit DialogProcess(qztest::TestMachine& m) : m_(m) {
    m.Install("wsdialog", u"C:\\t\\wsdialog.exe");
    const std::string host = m.HostPath(u"C:\\t\\wsdialog.exe");
    auto b = winsim::ReadBundle(host);
    EXPECT_TRUE(b);
    b->entries.push_back({"#5", "#100", 0, Bytes(kUiTemplate)});
    b->entries.push_back({"#2", "#200", 0, Dib(20, 10, 0x0000FF)});
    b->entries.push_back({"#2", "#201", 0, Dib(302, 165, 0x00FF00)});
    EXPECT_TRUE(winsim::WriteBundle(host, *b));
    HANDLE write = nullptr;
    EXPECT_TRUE(Files().CreatePipe(&read_, &write, nullptr, 0));
    HANDLE out = nullptr;
    Processes().DuplicateHandle(GetCurrentProcess(), write, GetCurrentProcess(), &out, 0, TRUE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE);
    STARTUPINFOW si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    EXPECT_TRUE(Processes().CreateProcessW(u"", u"C:\\t\\wsdialog.exe", 0, u"C:\\t", si, &pi_));
    CloseHandle(out);
  }
  ~DialogProcess() {
    if (pi_.hProcess) Processes().TerminateProcess(pi_.hProcess, 1);
    CloseHandle(read_);
    CloseHandle(pi_.hProcess);
    CloseHandle(pi_.hThread);
  }

  // The program's next line; empty once it has ended.
  std::string Line() {
    std::string line;
    char c;
    DWORD got = 0;
    while (Files().ReadFile(read_, &c, 1, &got) && got == 1 && c != '\n') line += c;
    return line;
  }

  std::string Ui(std::vector<std::string> args, int* status) {
    args.insert(args.begin(), {"ui", m_.root()});
    return qztest::RunWinsim(args, status);
  }

  DWORD Pid() const { return pi_.dwProcessId; }
  HANDLE Process() const { return pi_.hProcess; }

 private:
  qztest::TestMachine& m_;
  HANDLE read_ = nullptr;
  PROCESS_INFORMATION pi_;
};

TEST(WindowUi, DrivesAnotherProcessesDialogLikeAUser) {
  qztest::TestMachine m;
  m.Enter();
  DialogProcess p(m);
  ASSERT_EQ(p.Line(), "init 5eed");
  ASSERT_EQ(p.Line(), "ready");

  // At once: the program has only just shown its dialog; the picture waits for the paint.
  int status = -1;
  const std::string png = m.root() + "/shot.png";
  p.Ui({"screenshot", png}, &status);
  ASSERT_EQ(status, 0);
  auto pic = winsim::ReadPng(png);
  ASSERT_TRUE(pic);
  EXPECT_EQ(pic->width, 302);
  EXPECT_EQ(pic->height, 165);
  EXPECT_EQ(pic->At(1 + 15 + 30, 1 + 16 + 16), kBlue);  // the button's bitmap at its place
  EXPECT_EQ(pic->At(1 + 90 + 5, 1 + 16 + 5), kBlue);    // the static's
  EXPECT_EQ(pic->At(1 + 200, 1 + 5), kGreen);           // the background WM_PAINT drew

  std::istringstream layout(p.Ui({"layout"}, &status));
  ASSERT_EQ(status, 0);
  std::vector<std::string> lines;
  for (std::string l; std::getline(layout, l);) lines.push_back(l);
  const std::vector<std::string> want = {
      "100 #32770 361 301 302 165 1 \"\" image=0 font=MS Shell Dlg/-11/400",
      "10 Button 15 16 60 33 1 \"Go\" image=200 font=MS Shell Dlg/-11/400",
      "11 Static 90 16 20 10 1 \"\" image=200 font=MS Shell Dlg/-11/400",
      "12 Button 15 98 60 23 1 \"Quit\" image=0 font=MS Shell Dlg/-11/400",
      "13 Static 90 98 150 16 1 \"Say \\\"hi\\\"\" image=0 font=MS Shell Dlg/-11/400",
      "14 Button 165 16 60 23 0 \"Hidden\" image=0 font=MS Shell Dlg/-11/400",
  };
  EXPECT_EQ(lines, want);

  // Each input has been handled when the command returns, so its lines are already written.
  struct Step {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
  };
  const Step steps[] = {
      {{"click", "10"}, 0, {"mouseactivate", "lbuttonup", "command 10 0"}},
      {{"hover", "10"}, 0, {"mousemove"}},
      {{"leave", "10"}, 0, {"mouseleave"}},
      {{"leave", "10"}, 0, {}},  // tracking ended with the first WM_MOUSELEAVE
      {{"hover", "10"}, 0, {"mousemove"}},
      {{"hover", "12"}, 0, {"mouseleave"}},  // moving onto another control leaves the tracked one
      {{"key", "Enter"}, 0, {"command 1 0"}},
      {{"key", "Escape"}, 0, {"command 2 0"}},
      {{"key", "Alt+F4"}, 0, {"close", "command 2 0"}},
      {{"click", "14"}, 2, {}},
      {{"click", "99"}, 2, {}},
      {{"key", "F1"}, 2, {}},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.args[0] + " " + s.args[1]);
    p.Ui(s.args, &status);
    EXPECT_EQ(status, s.status);
    for (const auto& l : s.lines) EXPECT_EQ(p.Line(), l);
  }

  // A WM_CLOSE posted from this process reaches the dialog's queue.
  HWND dialog = nullptr;
  for (HWND h : Desktop().EnumWindows()) {
    DWORD pid = 0;
    Desktop().GetWindowThreadProcessId(h, &pid);
    if (pid == p.Pid()) dialog = h;
  }
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(Desktop().PostMessageW(dialog, WM_CLOSE, 0, 0));
  EXPECT_EQ(p.Line(), "close");
  EXPECT_EQ(p.Line(), "command 2 0");

  // Quit: the program ends with its message loop's code, and then there is no window to find.
  p.Ui({"click", "12"}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(p.Line(), "command 12 0");
  ASSERT_EQ(Time().WaitForSingleObject(p.Process(), INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  Processes().GetExitCodeProcess(p.Process(), &code);
  EXPECT_EQ(code, 7u);
  p.Ui({"layout"}, &status);
  EXPECT_EQ(status, 1);
}

}  // namespace

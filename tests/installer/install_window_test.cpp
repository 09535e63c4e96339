// The install window in this process on a fresh machine, acting as qzSetup: a worker the test holds
// and lets go, inputs posted through the window's message loop, the controls read back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "config/registry_layout.h"
#include "installer/install_state.h"
#include "installer/install_window.h"
#include "installer/startup.h"
#include "platform/desktop.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/window.h"
#include "platform/winsim/windows_internal.h"
#include "installer/site_installer.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::TestMachine;
using Clock = std::chrono::steady_clock;

constexpr char16_t kImage[] = u"C:\\test\\qzSetup.exe";
// Bounds a wait for another thread or the real program; never reached when the window behaves. The
// real program unpacks its whole payload first, which takes tens of seconds on a loaded machine.
constexpr auto kPatience = std::chrono::seconds(60);

// Waits (bounded) for another thread of this process to reach a state.
template <class F>
bool Eventually(F cond) {
  const auto end = Clock::now() + kPatience;
  while (!cond()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Holds the install until the test lets it end, then leaves what the real worker leaves.
class HeldWorker {
 public:
  int Run(qz::InstallerState& s) {
    {
      std::unique_lock lock(mu_);
      ++calls_;
      cv_.notify_all();
      cv_.wait(lock, [&] { return released_; });
    }
    if (s.view) s.view->SetStatusText(u"File Copy Complete");
    {
      std::lock_guard lock(s.flagLock);
      s.installing = 0;
      s.done = 1;
    }
    if (s.view) {
      s.view->SetStatusText(u"installed");
      s.view->ShowFinishedPicture();
    }
    std::lock_guard lock(mu_);
    ++ended_;
    cv_.notify_all();
    return 0;
  }
  bool WaitStarted() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, kPatience, [&] { return calls_ > 0; });
  }
  bool WaitEnded() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, kPatience, [&] { return ended_ > 0; });
  }
  void Release() {
    std::lock_guard lock(mu_);
    released_ = true;
    cv_.notify_all();
  }
  int Calls() {
    std::lock_guard lock(mu_);
    return calls_;
  }
  bool EndedNow() {
    std::lock_guard lock(mu_);
    return ended_ > 0;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int calls_ = 0;
  int ended_ = 0;
  bool released_ = false;
};


// One control (or the window itself, under its template id) as the window system shows it.
struct Shown {
  std::string cls;
  int x = 0, y = 0, w = 0, h = 0;  // controls: in the window's client area; the window: on the screen
  bool visible = false;
  std::string text;
  int image = 0;  // resource id of the picture on it
  std::string font;
};

// Lines of "winsim ui layout": id class x y w h visible "text" image=N font=F.
std::map<int, Shown> ParseLayout(const std::string& text) {
  std::map<int, Shown> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t open = line.find('"');
    const size_t image = line.rfind(" image=");
    if (open == std::string::npos || image == std::string::npos) continue;
    std::istringstream head(line.substr(0, open));
    int id = 0, visible = 0;
    Shown c;
    head >> id >> c.cls >> c.x >> c.y >> c.w >> c.h >> visible;
    c.visible = visible != 0;
    c.text = line.substr(open + 1, image - open - 2);
    std::istringstream tail(line.substr(image + 7));
    tail >> c.image;
    const size_t font = line.find(" font=", image);
    if (font != std::string::npos) c.font = line.substr(font + 6);
    out[id] = c;
  }
  return out;
}

// A machine with qzSetup (and so its pictures and dialog) on it, this process acting as that program.
class WindowTest : public ::testing::Test {
 protected:
  // program: a built program that carries the window's resources (qzSetup) or not.
  void Enter(const std::string& lang = "en", const std::string& program = "qzSetup") {
    machine_ = std::make_unique<TestMachine>("win10-x64", lang);
    machine_->Install(program, kImage);
    machine_->Enter(kImage, 32);
  }

  // A request to this process's window system, as "winsim ui" sends it; the answer's exit code.
  int Ui(const std::string& request, std::string* answer = nullptr) {
    std::string a;
    const int code = winsim::UiRequest(machine_->root(), static_cast<int>(Processes().GetCurrentProcessId()), request,
                                       &a, 15000);
    if (answer) *answer = a;
    return code;
  }
  std::map<int, Shown> Layout() {
    std::string answer;
    EXPECT_EQ(Ui("layout", &answer), 0) << answer;
    return ParseLayout(answer);
  }
  Shown Control(int id) { return Layout()[id]; }

  std::unique_ptr<TestMachine> machine_;
};

// The window's message loop on a thread of its own, as the installer's main thread runs it.
class WindowRun {
 public:
  WindowRun(qz::InstallerState& state, HeldWorker& worker, std::function<void(UINT)> exit = {}) {
    qz::InstallWindowOptions o;
    o.worker = [&worker](qz::InstallerState& s) { return worker.Run(s); };
    o.exitProcess = exit ? std::move(exit) : [](UINT code) { ADD_FAILURE() << "process ended with " << code; };
    auto created = std::make_shared<std::promise<HWND>>();
    std::future<HWND> window = created->get_future();
    o.created = [created](HWND w) { created->set_value(w); };
    thread_ = std::thread([this, &state, &worker, o, created] {
      result_ = qz::RunInstallWindow(state, o);
      workerEndedFirst_ = worker.EndedNow();
      ended_ = true;
      try {
        created->set_value(nullptr);
      } catch (const std::future_error&) {
      }
    });
    window_ = window.get();
  }
  ~WindowRun() {
    if (thread_.joinable()) {
      PostMessageW(window_, WM_CLOSE, 0, 0);
      thread_.join();
    }
  }

  HWND window() const { return window_; }
  HWND Item(int id) const { return GetDlgItem(window_, id); }
  bool Ended() const { return ended_; }
  // Whether the worker had ended when the run returned (read after Result).
  bool WorkerEndedFirst() const { return workerEndedFirst_; }
  // The loop's result once it has ended (bounded).
  std::optional<int> Result() {
    if (!Eventually([&] { return ended_.load(); })) return std::nullopt;
    thread_.join();
    return result_;
  }

 private:
  std::thread thread_;
  HWND window_ = nullptr;
  std::atomic<bool> ended_{false};
  int result_ = -1;
  bool workerEndedFirst_ = false;
};

std::u16string Outcome() {
  HKEY key = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, qz::kInstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return u"<none>";
  std::vector<BYTE> data(1024);
  DWORD size = static_cast<DWORD>(data.size()), type = 0;
  const LONG rc = Registry().RegQueryValueExW(key, u"value01", &type, data.data(), &size);
  Registry().RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return u"<none>";
  std::u16string s(reinterpret_cast<const char16_t*>(data.data()), size / 2);
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

// Pauses of the automatic close are taken without waiting, and remembered; the animation's frame
// pace stays real so it plays as it would.
class QuickPauses : public ITime {
 public:
  explicit QuickPauses(std::unique_ptr<ITime> real) : real_(std::move(real)) {}
  std::vector<DWORD> Pauses() {
    std::lock_guard lock(mu_);
    return pauses_;
  }
  uint64_t GetSystemTimeMs() override { return real_->GetSystemTimeMs(); }
  SYSTEMTIME GetSystemTime() override { return real_->GetSystemTime(); }
  SYSTEMTIME GetLocalTime() override { return real_->GetLocalTime(); }
  SYSTEMTIME UtcMsToLocal(uint64_t ms) override { return real_->UtcMsToLocal(ms); }
  uint64_t GetTickCount64() override { return real_->GetTickCount64(); }
  void Sleep(DWORD ms) override {
    if (ms <= 10) return real_->Sleep(ms);
    std::lock_guard lock(mu_);
    pauses_.push_back(ms);
  }
  HANDLE CreateEventW(BOOL manual, BOOL initial) override { return real_->CreateEventW(manual, initial); }
  BOOL SetEvent(HANDLE e) override { return real_->SetEvent(e); }
  BOOL ResetEvent(HANDLE e) override { return real_->ResetEvent(e); }
  DWORD WaitForSingleObject(HANDLE o, DWORD ms, WaitKind kind) override {
    return real_->WaitForSingleObject(o, ms, kind);
  }

 private:
  std::unique_ptr<ITime> real_;
  std::mutex mu_;
  std::vector<DWORD> pauses_;
};

constexpr int kInstall = 1001, kDone = 1003, kCancel = 2, kBack = 1002, kStatus = 1006, kStatusPicture = 1014,
              kInstalling = 1015, kCompany = 1016, kLogo = 1017;

TEST_F(WindowTest, ShowModeTrueInstallsOnlyWhenInstallIsPressedOnce) {
  Enter();
  HeldWorker worker;
  qz::InstallerState state;
  state.showMode = u"true";
  WindowRun run(state, worker);
  ASSERT_TRUE(run.window());

  // Enter, Escape and Alt+F4 reach the loop and change nothing.
  for (const char* key : {"key Enter", "key Escape", "key Alt+F4"}) EXPECT_EQ(Ui(key), 0) << key;
  PostMessageW(run.window(), WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageW(run.Item(kInstall), WM_KEYDOWN, VK_RETURN, 0);
  PostMessageW(run.window(), WM_SYSKEYDOWN, VK_F4, static_cast<LPARAM>(KF_ALTDOWN) << 16);
  ASSERT_TRUE(IsWindow(run.window()));
  EXPECT_EQ(worker.Calls(), 0);
  auto before = Layout();
  EXPECT_TRUE(before[129].visible);
  EXPECT_TRUE(before[kInstall].visible);
  EXPECT_EQ(before[kStatusPicture].image, 179);

  ASSERT_EQ(Ui("click 1001"), 0);
  ASSERT_TRUE(worker.WaitStarted());
  auto during = Layout();
  EXPECT_FALSE(during[kInstall].visible);
  EXPECT_TRUE(during[kInstalling].visible);
  EXPECT_EQ(during[kInstalling].image, 178);
  EXPECT_EQ(during[kStatusPicture].image, 180);
  EXPECT_EQ(during[kStatusPicture].y, 170);
  {
    std::lock_guard lock(state.flagLock);
    EXPECT_EQ(state.installing, 1);
  }

  // A second press while installing (the button is hidden, so as a command) starts nothing.
  SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(kInstall, BN_CLICKED), 0);
  EXPECT_TRUE(IsWindow(run.window()));

  worker.Release();
  ASSERT_TRUE(Eventually([&] { return !Control(kStatus).visible; }));
  auto after = Layout();
  EXPECT_TRUE(after[kDone].visible);
  EXPECT_EQ(after[kDone].image, 186);
  EXPECT_FALSE(after[kInstalling].visible);
  EXPECT_EQ(after[kStatusPicture].image, 181);
  EXPECT_EQ(after[kStatusPicture].y, 170);
  EXPECT_EQ(after[kStatus].text, "installed");
  EXPECT_TRUE(IsWindow(run.window()));

  ASSERT_EQ(Ui("click 1003"), 0);
  EXPECT_EQ(run.Result(), 0);
  EXPECT_EQ(worker.Calls(), 1);
}

TEST_F(WindowTest, ImageButtonsFollowThePointer) {
  Enter();
  HeldWorker worker;
  qz::InstallerState state;
  state.showMode = u"true";
  WindowRun run(state, worker);
  ASSERT_TRUE(run.window());

  EXPECT_EQ(Control(kInstall).image, 175);
  ASSERT_EQ(Ui("hover 1001"), 0);
  EXPECT_EQ(Control(kInstall).image, 176);
  ASSERT_EQ(Ui("leave 1001"), 0);
  EXPECT_EQ(Control(kInstall).image, 175);
  // Over it again after leaving: the pointer-outside flag was set again.
  ASSERT_EQ(Ui("hover 1001"), 0);
  EXPECT_EQ(Control(kInstall).image, 176);
  // Pressed, then released.
  SendMessageW(run.Item(kInstall), WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(run.window()), 0);
  EXPECT_EQ(Control(kInstall).image, 177);
  SendMessageW(run.Item(kInstall), WM_LBUTTONUP, 0, 0);
  EXPECT_EQ(Control(kInstall).image, 175);
  EXPECT_EQ(worker.Calls(), 0);
}

TEST_F(WindowTest, LayoutAfterInitialisation) {
  struct Case {
    const char* lang;
    bool korean;
    int statusX, statusW, statusH;
  };
  for (const Case& c : {Case{"en", false, 240, 352, 57}, Case{"ko", true, 275, 280, 56}}) {
    SCOPED_TRACE(c.lang);
    Enter(c.lang);
    HeldWorker worker;
    qz::InstallerState state;
    state.showMode = u"true";
    state.korean = c.korean;
    state.companyName = u"Varnholt";
    WindowRun run(state, worker);
    ASSERT_TRUE(run.window());
    auto layout = Layout();

    struct Expected {
      int id, x, y, w, h;
      bool visible;
    };
    const Expected table[] = {
        {kInstall, 362, 300, 103, 33, true},
        {kDone, 362, 300, 103, 33, false},
        {kInstalling, 362, 300, 103, 33, false},
        {kStatusPicture, c.statusX, 190, c.statusW, c.statusH, true},
        {kStatus, 270, 236, 305, 15, true},
        {kLogo, 490, 10, 100, 40, false},
        {kCompany, 350, 14, 240, 20, true},
    };
    for (const Expected& e : table) {
      SCOPED_TRACE(e.id);
      const Shown& s = layout[e.id];
      EXPECT_EQ(s.x, e.x);
      EXPECT_EQ(s.y, e.y);
      EXPECT_EQ(s.w, e.w);
      EXPECT_EQ(s.h, e.h);
      EXPECT_EQ(s.visible, e.visible);
    }
    EXPECT_FALSE(layout[kCancel].visible);
    EXPECT_FALSE(layout[kBack].visible);
    EXPECT_EQ(layout[kStatusPicture].image, 179);
    EXPECT_EQ(layout[kInstalling].image, 178);
    EXPECT_EQ(layout[kDone].image, 186);
    EXPECT_EQ(layout[kCompany].text, "Varnholt");
    EXPECT_EQ(layout[kStatus].font, "돋움체/13/400");
    EXPECT_EQ(layout[kCompany].font, "돋움체/14/600");
    EXPECT_EQ(layout[kInstall].font, "돋움체/17/600");

    // The window takes the background's size, centred on the screen.
    const Shown& w = layout[129];
    EXPECT_EQ(w.w, 600);
    EXPECT_EQ(w.h, 371);
    EXPECT_EQ(w.x, (GetSystemMetrics(SM_CXSCREEN) - 600) / 2);
    EXPECT_EQ(w.y, (GetSystemMetrics(SM_CYSCREEN) - 371) / 2);
    // Both icons were set once the loop runs (a send is served by the loop's thread).
    EXPECT_NE(SendMessageW(run.window(), WM_SETICON, ICON_SMALL, 0), 0);
    EXPECT_NE(SendMessageW(run.window(), WM_SETICON, ICON_BIG, 0), 0);
  }
}

TEST_F(WindowTest, LogoAndCompanyNameExcludeEachOther) {
  struct Case {
    bool showLogo;
    const char16_t* company;
    bool logoShown;
    int logoImage;
    const char* companyText;
  };
  const Case cases[] = {
      {true, u"Varnholt", true, 190, ""},
      {false, u"Varnholt", false, 0, "Varnholt"},
      {false, u"", false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.companyText);
    SCOPED_TRACE(c.showLogo);
    Enter();
    HeldWorker worker;
    qz::InstallerState state;
    state.showMode = u"true";
    state.showLogo = c.showLogo;
    state.companyName = c.company;
    WindowRun run(state, worker);
    ASSERT_TRUE(run.window());
    auto layout = Layout();
    EXPECT_EQ(layout[kLogo].visible, c.logoShown);
    EXPECT_EQ(layout[kLogo].image, c.logoImage);
    EXPECT_EQ(layout[kCompany].text, c.companyText);
  }
}

TEST_F(WindowTest, TrueAutoInstallsAtOnceAndStaysUntilDone) {
  Enter();
  HeldWorker worker;
  qz::InstallerState state;
  state.showMode = u"true-auto";
  WindowRun run(state, worker);
  ASSERT_TRUE(run.window());
  ASSERT_TRUE(worker.WaitStarted());
  auto during = Layout();
  EXPECT_FALSE(during[kInstall].visible);
  EXPECT_TRUE(during[kInstalling].visible);
  EXPECT_EQ(during[kStatusPicture].image, 180);

  worker.Release();
  ASSERT_TRUE(Eventually([&] { return !Control(kStatus).visible; }));
  EXPECT_TRUE(Control(kDone).visible);
  EXPECT_FALSE(run.Ended());
  EXPECT_TRUE(IsWindow(run.window()));
  ASSERT_EQ(Ui("click 1003"), 0);
  EXPECT_EQ(run.Result(), 0);
  EXPECT_EQ(worker.Calls(), 1);
}

TEST_F(WindowTest, TrueAutoExitShowsTheNoticeAndEndsTheProcessFiveSecondsLater) {
  for (const char* lang : {"en", "ko"}) {
    SCOPED_TRACE(lang);
    Enter(lang);
    const bool korean = std::string(lang) == "ko";
    auto* pauses = new QuickPauses(Platform::Current().SetTime(nullptr));
    Platform::Current().SetTime(std::unique_ptr<ITime>(pauses));

    HeldWorker worker;
    qz::InstallerState state;
    state.showMode = u"true-auto-exit";
    state.korean = korean;
    struct AtExit {
      UINT code = 0;
      std::u16string status, outcome;
      std::vector<DWORD> pauses;
    };
    std::promise<AtExit> exited;
    HWND window = nullptr;
    WindowRun run(state, worker, [&](UINT code) {
      exited.set_value({code, GetWindowTextW(GetDlgItem(window, kStatus)), Outcome(), pauses->Pauses()});
    });
    window = run.window();
    ASSERT_TRUE(window);
    ASSERT_TRUE(worker.WaitStarted());
    EXPECT_FALSE(Control(kInstall).visible);
    EXPECT_NE(Ui("click 1001"), 0) << "the Install button is never there to press";
    EXPECT_EQ(Outcome(), u"<none>");

    worker.Release();
    auto f = exited.get_future();
    ASSERT_EQ(f.wait_for(kPatience), std::future_status::ready);
    const AtExit at = f.get();
    EXPECT_EQ(at.code, 1u);
    EXPECT_EQ(at.status, qz::InstallerText(341, korean));
    EXPECT_EQ(at.outcome, u"0");
    ASSERT_FALSE(at.pauses.empty());
    EXPECT_EQ(at.pauses.back(), 5000u);
    EXPECT_FALSE(Control(kInstall).visible);
  }
}

TEST_F(WindowTest, OtherShowModesInstallAtOnceAndKeepTheInstallButton) {
  struct Case {
    const char16_t* mode;
    bool visible;
  };
  for (const Case& c : {Case{u"", true}, Case{u"yes", true}, Case{u"false", false}}) {
    SCOPED_TRACE(WideToUtf8(c.mode));
    Enter();
    HeldWorker worker;
    qz::InstallerState state;
    state.showMode = c.mode;
    WindowRun run(state, worker);
    ASSERT_TRUE(run.window());
    ASSERT_TRUE(worker.WaitStarted());
    // A send is served by the loop's thread, so the window has been shown or hidden by now.
    SendMessageW(run.window(), WM_NULL, 0, 0);
    EXPECT_EQ(IsWindowVisible(run.window()) != 0, c.visible);
    auto layout = Layout();
    EXPECT_TRUE(layout[kInstall].visible);
    EXPECT_FALSE(layout[kInstalling].visible);
    {
      std::lock_guard lock(state.flagLock);
      EXPECT_EQ(state.installing, 0);
    }

    // Pressing Install while that worker runs adds nothing.
    SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(kInstall, BN_CLICKED), 0);
    layout = Layout();
    EXPECT_TRUE(IsWindow(run.window()));
    EXPECT_EQ(layout[kStatusPicture].image, 179);
    EXPECT_EQ(layout[kStatusPicture].y, 190);

    worker.Release();
    ASSERT_TRUE(worker.WaitEnded());
    EXPECT_EQ(Control(kStatusPicture).image, 181);
    // Once it is done, Install closes the window.
    SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(kInstall, BN_CLICKED), 0);
    EXPECT_EQ(run.Result(), 0);
    EXPECT_EQ(worker.Calls(), 1);
  }
}

TEST_F(WindowTest, AWindowClosedWhileInstallingEndsItsLoopOnlyAfterTheWorker) {
  Enter();
  HeldWorker worker;
  qz::InstallerState state;
  state.showMode = u"true-auto";
  WindowRun run(state, worker);
  ASSERT_TRUE(run.window());
  ASSERT_TRUE(worker.WaitStarted());
  // As another program ending this one's windows would.
  PostMessageW(run.window(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(Eventually([&] { return !IsWindow(run.window()); }));
  EXPECT_FALSE(run.Ended()) << "the install is still running";
  // Its texts and picture now go nowhere.
  worker.Release();
  EXPECT_EQ(run.Result(), 0);
  EXPECT_TRUE(run.WorkerEndedFirst());
}

TEST_F(WindowTest, ClosedBeforeInstallStartsNothingAndSaysSo) {
  Enter();
  HeldWorker worker;
  qz::InstallerState state;
  state.showMode = u"true";
  WindowRun run(state, worker);
  ASSERT_TRUE(run.window());
  PostMessageW(run.window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(run.Result(), qz::kInstallWindowCancelled);
  EXPECT_EQ(worker.Calls(), 0);
}

TEST_F(WindowTest, WithoutItsDialogThereIsNoLoopAndNoInstall) {
  Enter("en", "wsprobe");
  for (const char16_t* mode : {u"true", u"true-auto", u"false"}) {
    HeldWorker worker;
    qz::InstallerState state;
    state.showMode = mode;
    WindowRun run(state, worker);
    EXPECT_EQ(run.window(), nullptr);
    EXPECT_EQ(run.Result(), 1);
    EXPECT_EQ(worker.Calls(), 0);
  }
}

// The real qzSetup of a site, run on its machine as a user runs it, its window seen and driven
// from outside with "winsim ui".
class InstallWindowProgram : public qztest::SiteReleaseTest {
 protected:
  // The removal's pauses and the five seconds of the automatic close, ten times shorter.
  static void SetUpTestSuite() { StartRelease("0.1"); }
  static void TearDownTestSuite() { StopRelease(); }
  // A failed test leaves no installer waiting for a press that never comes.
  void TearDown() override {
    if (!run_.valid() || Ended()) return;
    std::vector<PROCESSENTRY32W> all;
    Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &all);
    for (const auto& p : all) {
      if (std::u16string_view(p.szExeFile) != u"qzSetup.exe") continue;
      if (HANDLE h = Processes().OpenProcess(PROCESS_TERMINATE, FALSE, p.th32ProcessID)) {
        Processes().TerminateProcess(h, 1);
        CloseHandle(h);
      }
    }
  }

  // Starts the site's installer for a show mode on a fresh machine; its exit code arrives in run_.
  void Start(const std::string& showUi) {
    qztest::SettingsDocument d;
    d.showUi = showUi;
    d.pkServer = "127.0.0.2";
    d.companyName = "Varnholt";
    qztest::Place(m_, release_->Installer("", d));
    m_.Enter(u"C:\\test\\probe.exe", 32);
    run_ = std::async(std::launch::async, [this] { return m_.Run(qztest::kSiteInstaller, u"C:\\test"); });
  }
  // The installer's window as "winsim ui layout" shows it; empty while it has none.
  std::map<int, Shown> Layout() {
    int status = 0;
    const std::string out = qztest::RunWinsim({"ui", m_.root(), "layout"}, &status);
    return status == 0 ? ParseLayout(out) : std::map<int, Shown>{};
  }
  bool Ended() { return run_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

  TestMachine m_{"win10-x64"};
  std::future<std::optional<int32_t>> run_;
};

TEST_F(InstallWindowProgram, TrueInstallsOnPressAndEndsWithZeroOnDone) {
  Start("true");
  std::map<int, Shown> layout;
  ASSERT_TRUE(Eventually([&] { return (layout = Layout())[129].visible || Ended(); }));
  EXPECT_TRUE(layout[kInstall].visible);
  EXPECT_EQ(layout[kCompany].text, "Varnholt");
  EXPECT_FALSE(qztest::Exists(u"C:\\Program Files (x86)\\varnholt\\KSM\\lmvAgent.exe"));
  EXPECT_EQ(qztest::Outcome(), u"<none>");

  int status = -1;
  qztest::RunWinsim({"ui", m_.root(), "click", "1001"}, &status);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(Eventually([&] { return (layout = Layout())[kDone].visible || Ended(); }));
  EXPECT_FALSE(layout[kInstalling].visible);
  EXPECT_EQ(layout[kStatusPicture].image, 181);
  EXPECT_TRUE(qztest::Exists(u"C:\\Program Files (x86)\\varnholt\\KSM\\lmvAgent.exe"));
  EXPECT_FALSE(Ended()) << "the window waits for Done";

  qztest::RunWinsim({"ui", m_.root(), "click", "1003"}, &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(run_.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(run_.get(), 0);
  EXPECT_EQ(qztest::Outcome(), u"0");
  EXPECT_TRUE(qztest::Boxes(m_).empty());
}

// Closed by another program before Install was pressed: no box, nothing removed or placed.
TEST_F(InstallWindowProgram, ClosedBeforeInstallEndsWithTwoAndCancelled) {
  Start("true");
  std::map<int, Shown> layout;
  ASSERT_TRUE(Eventually([&] { return (layout = Layout())[129].visible || Ended(); }));
  ASSERT_FALSE(Ended());
  std::vector<PROCESSENTRY32W> all;
  Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &all);
  DWORD setup = 0;
  for (const auto& p : all) {
    if (std::u16string_view(p.szExeFile) == u"qzSetup.exe") setup = p.th32ProcessID;
  }
  ASSERT_NE(setup, 0u);
  int posted = 0;
  for (HWND w : Desktop().EnumWindows()) {
    DWORD owner = 0;
    Desktop().GetWindowThreadProcessId(w, &owner);
    if (owner == setup) posted += Desktop().PostMessageW(w, WM_CLOSE, 0, 0) ? 1 : 0;
  }
  ASSERT_GT(posted, 0);

  ASSERT_EQ(run_.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(run_.get(), 2);
  EXPECT_EQ(qztest::Outcome(), u"Installation was cancelled.");
  EXPECT_TRUE(qztest::Boxes(m_).empty());
  EXPECT_FALSE(qztest::Exists(qztest::kSiteSetupFolder));
  EXPECT_FALSE(qztest::Exists(u"C:\\Program Files (x86)\\varnholt\\KSM\\lmvAgent.exe"));
  EXPECT_FALSE(qztest::ServiceExists(u"VH-KSM Agent Service"));
}

TEST_F(InstallWindowProgram, TrueAutoExitShowsItsNoticeThenEndsWithOne) {
  Start("true-auto-exit");
  bool installShown = false, noticeSeen = false, doneWithNotice = false;
  const std::string notice = WideToUtf8(qz::InstallerText(341, false));
  ASSERT_TRUE(Eventually([&] {
    if (Ended()) return true;
    auto layout = Layout();
    // Before the window shows, its controls are as the template has them.
    installShown |= layout[129].visible && layout[kInstall].visible;
    if (layout[kStatus].text == notice) {
      noticeSeen = true;
      doneWithNotice |= layout[kDone].visible;
    }
    return false;
  }));
  EXPECT_EQ(run_.get(), 1);
  EXPECT_FALSE(installShown);
  EXPECT_TRUE(noticeSeen);
  EXPECT_TRUE(doneWithNotice);
  EXPECT_EQ(qztest::Outcome(), u"0");
  EXPECT_TRUE(qztest::Exists(u"C:\\Program Files (x86)\\varnholt\\KSM\\lmvAgent.exe"));
  EXPECT_TRUE(qztest::Boxes(m_).empty());
}

}  // namespace

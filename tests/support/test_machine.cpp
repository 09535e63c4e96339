#include "support/test_machine.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/registry.h"
#include "platform/text.h"
#include "platform/winsim/paths.h"
#include "platform/winsim/process_internal.h"
#include "platform/winsim/services.h"

namespace qztest {

namespace {
std::string NewRoot() {
  static std::atomic<int> counter{0};
  const char* tmp = std::getenv("TMPDIR");
  std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/qzt-" + std::to_string(getpid()) + "-" +
                     std::to_string(counter++);
  std::filesystem::remove_all(base);
  return base;
}
}  // namespace

TestMachine::TestMachine(const std::string& profile, const std::string& lang) : root_(NewRoot()) {
  std::string err = winsim::CreateMachine(root_, profile, lang);
  if (!err.empty()) throw std::runtime_error("cannot create test machine: " + err);
}

TestMachine::~TestMachine() {
  Leave();
  // Programs left running would keep their endpoint names, which a later machine at this path reuses.
  try {
    winsim::Machine m(root_, winsim::ProcessIdentity{});
    winsim::EndMachineProcesses(m, 1);
  } catch (const std::exception&) {
  }
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string TestMachine::HostPath(std::u16string_view winPath) const {
  auto p = winsim::ParseWinPath(winPath, u"C:\\");
  return p ? winsim::ToHostPath(root_, *p) : std::string();
}

win::Platform& TestMachine::Enter(const std::u16string& imagePath, int bits) {
  Leave();
  winsim::ProcessIdentity id;
  id.imagePath = imagePath;
  id.bits = bits;
  id.commandLine = win::QuoteArg(imagePath);
  auto image = winsim::ParseWinPath(imagePath, u"C:\\");
  id.currentDirectory = image ? image->Parent().ToString() : u"C:\\";
  auto platform = winsim::OpenPlatform(root_, id);
  winsim::RegisterCurrentProcess(platform->machine(), "/proc/self/exe");
  previous_ = win::Platform::HasCurrent() ? &win::Platform::Current() : nullptr;
  platform_ = std::move(platform);
  win::Platform::SetCurrent(platform_.get());
  return *platform_;
}

void TestMachine::Leave() {
  if (!platform_) return;
  if (auto* wp = dynamic_cast<winsim::WinsimPlatform*>(platform_.get())) winsim::UnregisterCurrentProcess(wp->machine());
  win::Platform::SetCurrent(previous_);
  previous_ = nullptr;
  platform_.reset();
}

void TestMachine::Install(const std::string& program, std::u16string_view winPath) const {
  std::string host = HostPath(winPath);
  std::filesystem::create_directories(std::filesystem::path(host).parent_path());
  std::filesystem::copy_file(BuiltProgram(program), host, std::filesystem::copy_options::overwrite_existing);
}

std::optional<int32_t> TestMachine::Run(std::u16string_view commandLine, std::u16string_view currentDirectory) {
  if (!platform_) Enter(u"C:\\Windows\\explorer.exe", 64);
  win::PROCESS_INFORMATION pi;
  win::STARTUPINFOW si;
  if (!win::Processes().CreateProcessW(u"", commandLine, 0, currentDirectory, si, &pi)) return std::nullopt;
  win::Time().WaitForSingleObject(pi.hProcess, win::INFINITE);
  win::DWORD code = 0;
  win::Processes().GetExitCodeProcess(pi.hProcess, &code);
  win::CloseHandle(pi.hProcess);
  win::CloseHandle(pi.hThread);
  return static_cast<int32_t>(code);
}

std::vector<TestMachine::JournalEntry> TestMachine::Journal() const {
  winsim::Machine m(root_, winsim::ProcessIdentity{});
  return m.WithState([](winsim::Db& db) {
    std::vector<JournalEntry> out;
    auto st = db.Prepare("SELECT kind, image, caption, text, flags FROM journal ORDER BY seq");
    while (st.Step()) {
      out.push_back({st.Text(0), st.Text(1), st.Text(2), st.Text(3), static_cast<uint32_t>(st.Int(4))});
    }
    return out;
  });
}

win::DWORD Launch(std::u16string_view commandLine, std::u16string_view dir) {
  win::PROCESS_INFORMATION pi;
  win::STARTUPINFOW si;
  if (!win::Processes().CreateProcessW(u"", commandLine, 0, dir, si, &pi)) return 0;
  win::CloseHandle(pi.hThread);
  win::CloseHandle(pi.hProcess);
  return pi.dwProcessId;
}

void End(win::DWORD pid) {
  win::HANDLE h = win::Processes().OpenProcess(win::PROCESS_TERMINATE | win::SYNCHRONIZE, win::FALSE, pid);
  if (!h) return;
  win::Processes().TerminateProcess(h, 0);
  win::Time().WaitForSingleObject(h, win::INFINITE);
  win::CloseHandle(h);
}

std::vector<uint8_t> PendingRenameBytes() {
  win::HKEY k = nullptr;
  if (win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                    0, win::KEY_READ, &k) != win::ERROR_SUCCESS) {
    return {};
  }
  win::DWORD type = 0, size = 0;
  std::vector<uint8_t> data;
  if (win::Registry().RegQueryValueExW(k, u"PendingFileRenameOperations", &type, nullptr, &size) ==
      win::ERROR_SUCCESS) {
    data.resize(size);
    win::Registry().RegQueryValueExW(k, u"PendingFileRenameOperations", &type, data.data(), &size);
    data.resize(size);
    EXPECT_EQ(type, win::REG_MULTI_SZ);
  }
  win::Registry().RegCloseKey(k);
  return data;
}

std::string PendingRenames() {
  const std::vector<uint8_t> data = PendingRenameBytes();
  std::u16string text(data.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t ch = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    text[i] = ch ? ch : u'|';
  }
  return win::WideToUtf8(text);
}

std::string BuiltProgram(const std::string& name) { return std::string(QZ_BIN_DIR) + "/" + name; }

std::string ShellQuote(const std::string& word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int RunHost(const std::vector<std::string>& args) {
  std::string cmd;
  for (const auto& a : args) cmd += ShellQuote(a) + " ";
  return std::system((cmd + ">/dev/null 2>&1").c_str());
}

std::string HostOutput(const std::string& commandLine, int* status) {
  std::string out;
  FILE* p = popen(commandLine.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

std::string RunWinsim(const std::vector<std::string>& args, int* status) {
  std::string cmd = ShellQuote(BuiltProgram("winsim"));
  for (const auto& a : args) cmd += " " + ShellQuote(a);
  return HostOutput(cmd, status);
}

}  // namespace qztest

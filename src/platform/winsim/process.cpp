// Processes of a simulated machine: real Linux processes that carry the machine's root. The state
// database records each one (image name, start time, session) and its 32-bit exit code, so any
// process of the machine can list, wait for and read them as Windows allows.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/text.h"
#include "platform/winsim/bundle.h"
#include "platform/winsim/paths.h"
#include "platform/winsim/pipes.h"
#include "platform/winsim/process_internal.h"
#include "platform/winsim/services.h"

extern char** environ;

namespace winsim {

using namespace win;

namespace {

// A crashed process that recorded nothing reads like an access violation on Windows.
constexpr DWORD kCrashCode = 0xC0000005u;

uint64_t StartTimeEvenIfZombie(int pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return 0;
  char buf[1024];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  char* p = std::strrchr(buf, ')');
  if (!p) return 0;
  p += 2;
  int field = 3;
  while (*p && field < 22) {
    if (*p == ' ') ++field;
    ++p;
  }
  return field == 22 ? std::strtoull(p, nullptr, 10) : 0;
}

bool IsLive(int pid, uint64_t start) {
  auto s = ProcessStartTime(pid);
  return s && *s == start;
}

std::u16string FileNameOf(std::u16string_view path) {
  size_t slash = path.find_last_of(u"\\/");
  return std::u16string(slash == std::u16string::npos ? path : path.substr(slash + 1));
}

void RecordExitCode(Machine& m, int pid, uint64_t start, DWORD code) {
  try {
    m.WithState([&](Db& db) {
      db.Prepare("INSERT OR IGNORE INTO exit_codes(pid, start, code) VALUES(?,?,?)")
          .Bind(1, static_cast<int64_t>(pid))
          .Bind(2, static_cast<int64_t>(start))
          .Bind(3, static_cast<int64_t>(code))
          .Step();
      return 0;
    });
  } catch (...) {
  }
}

std::optional<DWORD> RecordedExitCode(Machine& m, int pid, uint64_t start) {
  try {
    return m.WithState([&](Db& db) -> std::optional<DWORD> {
      auto st = db.Prepare("SELECT code FROM exit_codes WHERE pid=? AND start=?");
      st.Bind(1, static_cast<int64_t>(pid)).Bind(2, static_cast<int64_t>(start));
      if (st.Step()) return static_cast<DWORD>(st.Int(0));
      return std::nullopt;
    });
  } catch (...) {
    return std::nullopt;
  }
}

class ProcessObject : public KernelObject {
 public:
  ProcessObject(std::shared_ptr<Machine> m, int pid, uint64_t start, DWORD access, bool child)
      : m_(std::move(m)), pid_(pid), start_(start), access_(access), child_(child) {}

  bool IsWaitable() const override { return true; }

  bool Wait(DWORD ms) override {
    if (Exited()) return true;
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (fd < 0) return Exited(true);
    // The pid may have been reused between the check and the open.
    if (StartTimeEvenIfZombie(pid_) != start_) {
      close(fd);
      return Exited(true);
    }
    struct pollfd p {
      fd, POLLIN, 0
    };
    int timeout = ms == INFINITE ? -1 : static_cast<int>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms);
    int rc;
    do {
      rc = poll(&p, 1, timeout);
    } while (rc < 0 && errno == EINTR);
    close(fd);
    return rc > 0 ? Exited(true) : Exited();
  }

  // True once the process has ended; reaps our own children and settles their exit code.
  bool Exited(bool sure = false) {
    std::lock_guard lock(mutex_);
    if (ended_) return true;
    if (!sure && IsLive(pid_, start_)) return false;
    if (sure && IsLive(pid_, start_)) return false;
    if (child_) {
      int status = 0;
      pid_t r;
      do {
        r = waitpid(pid_, &status, 0);
      } while (r < 0 && errno == EINTR);
      if (r == pid_ && !RecordedExitCode(*m_, pid_, start_)) {
        DWORD code = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : kCrashCode;
        RecordExitCode(*m_, pid_, start_, code);
      }
    }
    ended_ = true;
    return true;
  }

  DWORD ExitCode() {
    if (!Exited()) return STILL_ACTIVE;
    return RecordedExitCode(*m_, pid_, start_).value_or(kCrashCode);
  }

  int pid() const { return pid_; }
  uint64_t start() const { return start_; }
  DWORD access() const { return access_; }

 private:
  std::shared_ptr<Machine> m_;
  int pid_;
  uint64_t start_;
  DWORD access_;
  bool child_;
  std::mutex mutex_;
  bool ended_ = false;
};

// CreateProcess hands out a thread handle too; nothing in the system waits on it.
class ThreadObject : public KernelObject {};

struct ProcRow {
  int pid;
  uint64_t start;
  std::u16string image;
  int parent;
  uint32_t session;
};

std::vector<ProcRow> LiveProcesses(Machine& m) {
  return m.WithState([&](Db& db) {
    std::vector<ProcRow> live;
    std::vector<std::pair<int64_t, int64_t>> dead;
    auto st = db.Prepare("SELECT pid, start, image, parent, session FROM processes ORDER BY rowid");
    while (st.Step()) {
      ProcRow r{static_cast<int>(st.Int(0)), static_cast<uint64_t>(st.Int(1)), Utf8ToWide(st.Text(2)),
                static_cast<int>(st.Int(3)), static_cast<uint32_t>(st.Int(4))};
      if (IsLive(r.pid, r.start)) {
        live.push_back(std::move(r));
      } else {
        dead.emplace_back(r.pid, static_cast<int64_t>(r.start));
      }
    }
    for (auto [pid, start] : dead) {
      db.Prepare("DELETE FROM processes WHERE pid=? AND start=?").Bind(1, pid).Bind(2, start).Step();
      db.Prepare("DELETE FROM open_files WHERE pid=? AND start=?").Bind(1, pid).Bind(2, start).Step();
      db.Prepare("DELETE FROM modules WHERE pid=? AND start=?").Bind(1, pid).Bind(2, start).Step();
    }
    return live;
  });
}

bool HasExtension(std::u16string_view name) {
  size_t dot = name.find_last_of(u'.');
  size_t slash = name.find_last_of(u"\\/");
  return dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash);
}

class WinsimProcesses : public IProcesses {
 public:
  explicit WinsimProcesses(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

  BOOL SnapshotProcesses(DWORD, std::vector<PROCESSENTRY32W>* entries) override {
    entries->clear();
    PROCESSENTRY32W idle;
    idle.th32ProcessID = 0;
    idle.szExeFile = u"[System Process]";
    entries->push_back(idle);
    try {
      for (const auto& r : LiveProcesses(*m_)) {
        PROCESSENTRY32W e;
        e.th32ProcessID = static_cast<DWORD>(r.pid);
        e.th32ParentProcessID = static_cast<DWORD>(r.parent);
        e.szExeFile = r.image;
        entries->push_back(std::move(e));
      }
    } catch (...) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    return TRUE;
  }

  BOOL ProcessIdToSessionId(DWORD pid, DWORD* session) override {
    if (pid == 0) {
      *session = 0;
      return TRUE;
    }
    try {
      for (const auto& r : LiveProcesses(*m_)) {
        if (static_cast<DWORD>(r.pid) == pid) {
          *session = r.session;
          return TRUE;
        }
      }
    } catch (...) {
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  HANDLE OpenProcess(DWORD access, BOOL, DWORD pid) override {
    if (pid == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    try {
      for (const auto& r : LiveProcesses(*m_)) {
        if (static_cast<DWORD>(r.pid) == pid) {
          return Handles().Add(std::make_shared<ProcessObject>(m_, r.pid, r.start, access, false));
        }
      }
    } catch (...) {
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }

  BOOL TerminateProcess(HANDLE h, UINT code) override {
    auto p = Handles().GetAs<ProcessObject>(h);
    if (!p) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (!(p->access() & PROCESS_TERMINATE)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (p->pid() == getpid()) ExitProcess(code);
    if (!IsLive(p->pid(), p->start())) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    RecordExitCode(*m_, p->pid(), p->start(), code);
    if (kill(p->pid(), SIGKILL) != 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    return TRUE;
  }

  BOOL GetExitCodeProcess(HANDLE h, DWORD* code) override {
    auto p = Handles().GetAs<ProcessObject>(h);
    if (!p) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    *code = p->ExitCode();
    return TRUE;
  }

  DWORD GetProcessId(HANDLE h) override {
    auto p = Handles().GetAs<ProcessObject>(h);
    return p ? static_cast<DWORD>(p->pid()) : 0;
  }

  BOOL CreateProcessW(std::u16string_view appName, std::u16string_view cmdLine, DWORD,
                      std::u16string_view currentDirectory, const STARTUPINFOW& startup,
                      PROCESS_INFORMATION* info) override {
    std::u16string cwd = currentDirectory.empty() ? m_->self().currentDirectory : std::u16string(currentDirectory);
    auto cwdPath = ParseWinPath(cwd, m_->self().currentDirectory);
    if (!cwdPath) {
      SetLastError(ERROR_DIRECTORY);
      return FALSE;
    }
    cwd = cwdPath->ToString();
    std::optional<WinPath> program = appName.empty() ? FindFromCommandLine(cmdLine, cwd) : Resolve(appName, cwd);
    if (!program) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    std::u16string cl(cmdLine.empty() ? QuoteArg(program->ToString()) : std::u16string(cmdLine));
    ChildLaunch launch;
    launch.imagePath = program->ToString();
    launch.commandLine = cl;
    launch.currentDirectory = cwd;
    launch.session = m_->self().session;
    launch.system = m_->self().system;
    if (startup.dwFlags & STARTF_USESTDHANDLES) {
      launch.stdHandles = true;
      launch.stdFds[0] = InheritableDescriptor(startup.hStdInput);
      launch.stdFds[1] = InheritableDescriptor(startup.hStdOutput);
      launch.stdFds[2] = InheritableDescriptor(startup.hStdError);
    }
    return Spawn(launch, info);
  }

  BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info) override {
    std::u16string dir = info->lpDirectory.empty() ? m_->self().currentDirectory : info->lpDirectory;
    std::optional<WinPath> program = Resolve(info->lpFile, dir);
    if (!program) {
      info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(2));  // SE_ERR_FNF
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    std::u16string cl = QuoteArg(program->ToString());
    if (!info->lpParameters.empty()) cl += u" " + info->lpParameters;
    PROCESS_INFORMATION pi;
    STARTUPINFOW si;
    if (!CreateProcessW(program->ToString(), cl, 0, dir, si, &pi)) {
      info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(GetLastError() == ERROR_FILE_NOT_FOUND ? 2 : 31));
      return FALSE;
    }
    CloseHandle(pi.hThread);
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(42));
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS) {
      info->hProcess = pi.hProcess;
    } else {
      CloseHandle(pi.hProcess);
    }
    return TRUE;
  }

  BOOL SpawnService(std::u16string_view cmdLine, int* pid, uint64_t* start) {
    const std::u16string dir = u"C:\\Windows\\System32";
    std::optional<WinPath> program = FindFromCommandLine(cmdLine, dir);
    if (!program) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    ChildLaunch launch;
    launch.imagePath = program->ToString();
    launch.commandLine = std::u16string(cmdLine);
    launch.currentDirectory = dir;
    launch.session = 0;
    launch.system = true;
    launch.detached = true;
    PROCESS_INFORMATION pi;
    if (!Spawn(launch, &pi)) return FALSE;
    auto p = Handles().GetAs<ProcessObject>(pi.hProcess);
    *pid = p->pid();
    *start = p->start();
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return TRUE;
  }

  BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target, DWORD,
                       BOOL inherit, DWORD options) override {
    if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() || !target) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    HANDLE copy = DuplicatePipeHandle(source, inherit != FALSE);
    if (!copy) {
      // Other objects carry no inheritable host state: a second handle to the same object.
      auto object = Handles().Get(source);
      if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      copy = Handles().Add(object);
    }
    if (options & DUPLICATE_CLOSE_SOURCE) CloseHandle(source);
    *target = copy;
    SetLastError(NO_ERROR);
    return TRUE;
  }

  DWORD GetCurrentProcessId() override { return static_cast<DWORD>(getpid()); }
  std::u16string GetCommandLineW() override { return m_->self().commandLine; }

  [[noreturn]] void ExitProcess(UINT code) override {
    if (auto start = ProcessStartTime(getpid())) RecordExitCode(*m_, getpid(), *start, code);
    std::fflush(nullptr);
    _exit(static_cast<int>(code & 0xFF));
  }

  struct ChildLaunch {
    std::u16string imagePath, commandLine, currentDirectory;
    uint32_t session = 1;
    bool system = false;
    // Services have no console: their output goes to the machine's service log, not the caller's.
    bool detached = false;
    // STARTF_USESTDHANDLES: host descriptors for standard input, output and error (-1: null device).
    bool stdHandles = false;
    int stdFds[3] = {-1, -1, -1};
  };

  BOOL Spawn(const ChildLaunch& launch, PROCESS_INFORMATION* info) {
    auto image = ParseWinPath(launch.imagePath, u"C:\\");
    auto dir = ParseWinPath(launch.currentDirectory, u"C:\\");
    if (!image || !dir) {
      SetLastError(ERROR_INVALID_NAME);
      return FALSE;
    }
    std::string host = ToHostPath(m_->root(), m_->IsWow64() ? RedirectForWow64(*image) : *image);
    struct stat st {};
    if (stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    char magic[4] = {};
    {
      std::ifstream in(host, std::ios::binary);
      in.read(magic, 4);
    }
    if (std::memcmp(magic, "\x7f" "ELF", 4) != 0 && std::memcmp(magic, "#!", 2) != 0) {
      SetLastError(ERROR_BAD_EXE_FORMAT);
      return FALSE;
    }
    // Windows runs a program file whatever its mode bits say.
    if (!(st.st_mode & S_IXUSR)) chmod(host.c_str(), st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH);
    std::string hostDir = ToHostPath(m_->root(), *dir);

    int bits = 0;
    if (auto b = ReadBundle(host, false)) bits = b->bits;
    if (bits == 0) bits = m_->Is64BitMachine() ? 64 : 32;

    std::vector<std::string> args;
    args.push_back(host);
    auto argv16 = CommandLineToArgv(launch.commandLine);
    for (size_t i = 1; i < argv16.size(); ++i) args.push_back(WideToUtf8(argv16[i]));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string_view v(*e);
      if (v.rfind("WINSIM_", 0) == 0 && v.rfind("WINSIM_TIME_SCALE=", 0) != 0 && v.rfind("WINSIM_KILL_AT=", 0) != 0 &&
          v.rfind("WINSIM_KILL_TRACE=", 0) != 0 && v.rfind("WINSIM_IO_TIMEOUT_SCALE=", 0) != 0) {
        continue;
      }
      env.emplace_back(v);
    }
    env.push_back("WINSIM_ROOT=" + m_->root());
    env.push_back("WINSIM_IMAGE=" + WideToUtf8(image->ToString()));
    env.push_back("WINSIM_CMDLINE=" + WideToUtf8(launch.commandLine));
    env.push_back("WINSIM_CWD=" + WideToUtf8(dir->ToString()));
    env.push_back("WINSIM_SESSION=" + std::to_string(launch.session));
    env.push_back("WINSIM_BITS=" + std::to_string(bits));
    if (launch.system) env.push_back("WINSIM_SYSTEM=1");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, hostDir.c_str());
    const std::string serviceLog = m_->root() + "/services.log";
    if (launch.detached) {
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&fa, 1, serviceLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      posix_spawn_file_actions_adddup2(&fa, 1, 2);
    } else if (launch.stdHandles) {
      for (int target = 0; target < 3; ++target) {
        if (launch.stdFds[target] >= 0) {
          posix_spawn_file_actions_adddup2(&fa, launch.stdFds[target], target);
        } else {
          posix_spawn_file_actions_addopen(&fa, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
        }
      }
    }
    pid_t pid = 0;
    int rc = posix_spawn(&pid, host.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
      SetLastError(rc == ENOENT ? ERROR_FILE_NOT_FOUND : rc == ENOEXEC ? ERROR_BAD_EXE_FORMAT : ERROR_ACCESS_DENIED);
      return FALSE;
    }
    uint64_t start = StartTimeEvenIfZombie(pid);
    ProcessRecord rec;
    rec.pid = pid;
    rec.start = start;
    rec.imagePath = image->ToString();
    rec.hostImage = host;
    rec.session = launch.session;
    rec.parent = getpid();
    rec.bits = bits;
    rec.system = launch.system;
    RegisterProcessRecord(*m_, rec);
    info->dwProcessId = static_cast<DWORD>(pid);
    info->dwThreadId = static_cast<DWORD>(pid);
    info->hProcess = Handles().Add(std::make_shared<ProcessObject>(m_, pid, start, PROCESS_ALL_ACCESS, true));
    info->hThread = Handles().Add(std::make_shared<ThreadObject>());
    return TRUE;
  }

 private:
  bool Exists(const WinPath& p) {
    struct stat st {};
    std::string host = ToHostPath(m_->root(), m_->IsWow64() ? RedirectForWow64(p) : p);
    return stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  std::optional<WinPath> Resolve(std::u16string_view name, std::u16string_view cwd) {
    std::u16string n(name);
    bool hasDir = n.find_first_of(u"\\/:") != std::u16string::npos;
    std::vector<std::u16string> candidates{n};
    if (!HasExtension(n)) candidates.push_back(n + u".exe");
    if (hasDir) {
      for (const auto& c : candidates) {
        if (auto p = ParseWinPath(c, cwd); p && Exists(*p)) return p;
      }
      return std::nullopt;
    }
    // The search order of CreateProcess: the program's folder, the current folder, system, Windows, PATH.
    std::vector<std::u16string> dirs;
    if (auto self = ParseWinPath(m_->self().imagePath, u"C:\\")) dirs.push_back(self->Parent().ToString());
    dirs.emplace_back(cwd);
    dirs.push_back(u"C:\\Windows\\System32");
    dirs.push_back(u"C:\\Windows");
    for (const auto& d : dirs) {
      for (const auto& c : candidates) {
        if (auto p = ParseWinPath(d + u"\\" + c, cwd); p && Exists(*p)) return p;
      }
    }
    return std::nullopt;
  }

  // Windows takes the program from an unquoted command line by trying each blank as the end of
  // the name, shortest first ("C:\Program" before "C:\Program Files\x.exe").
  std::optional<WinPath> FindFromCommandLine(std::u16string_view cmdLine, std::u16string_view cwd) {
    size_t i = 0;
    while (i < cmdLine.size() && (cmdLine[i] == u' ' || cmdLine[i] == u'\t')) ++i;
    if (i < cmdLine.size() && cmdLine[i] == u'"') {
      size_t end = cmdLine.find(u'"', i + 1);
      return Resolve(cmdLine.substr(i + 1, end == std::u16string::npos ? std::u16string::npos : end - i - 1), cwd);
    }
    size_t pos = i;
    while (true) {
      size_t blank = cmdLine.find_first_of(u" \t", pos);
      std::u16string_view candidate = cmdLine.substr(i, blank == std::u16string::npos ? std::u16string::npos : blank - i);
      if (auto p = Resolve(candidate, cwd)) return p;
      if (blank == std::u16string::npos) return std::nullopt;
      pos = blank + 1;
    }
  }

  std::shared_ptr<Machine> m_;
};

}  // namespace

void RegisterProcessRecord(Machine& m, const ProcessRecord& r) {
  struct stat st {};
  uint64_t dev = 0, ino = 0;
  if (stat(r.hostImage.c_str(), &st) == 0) {
    dev = st.st_dev;
    ino = st.st_ino;
  }
  try {
    m.WithState([&](Db& db) {
      db.Prepare(
            "INSERT OR REPLACE INTO processes(pid, start, image, image_path, dev, ino, session, parent, bits, system)"
            " VALUES(?,?,?,?,?,?,?,?,?,?)")
          .Bind(1, static_cast<int64_t>(r.pid))
          .Bind(2, static_cast<int64_t>(r.start))
          .Bind(3, WideToUtf8(FileNameOf(r.imagePath)))
          .Bind(4, WideToUtf8(r.imagePath))
          .Bind(5, static_cast<int64_t>(dev))
          .Bind(6, static_cast<int64_t>(ino))
          .Bind(7, static_cast<int64_t>(r.session))
          .Bind(8, static_cast<int64_t>(r.parent))
          .Bind(9, static_cast<int64_t>(r.bits))
          .Bind(10, static_cast<int64_t>(r.system ? 1 : 0))
          .Step();
      return 0;
    });
  } catch (...) {
  }
}

void RegisterCurrentProcess(Machine& m, const std::string& hostImage) {
  ProcessRecord r;
  r.pid = getpid();
  r.start = StartTimeEvenIfZombie(r.pid);
  r.imagePath = m.self().imagePath;
  r.hostImage = hostImage;
  r.session = m.self().session;
  r.parent = getppid();
  r.bits = m.self().bits;
  r.system = m.self().system;
  RegisterProcessRecord(m, r);
}

void UnregisterCurrentProcess(Machine& m) {
  try {
    uint64_t start = StartTimeEvenIfZombie(getpid());
    m.WithState([&](Db& db) {
      db.Prepare("DELETE FROM processes WHERE pid=? AND start=?")
          .Bind(1, static_cast<int64_t>(getpid()))
          .Bind(2, static_cast<int64_t>(start))
          .Step();
      db.Prepare("DELETE FROM open_files WHERE pid=? AND start=?")
          .Bind(1, static_cast<int64_t>(getpid()))
          .Bind(2, static_cast<int64_t>(start))
          .Step();
      return 0;
    });
  } catch (...) {
  }
}

bool IsFileInUseAsImage(Machine& m, uint64_t dev, uint64_t ino) {
  try {
    return m.WithState([&](Db& db) {
      auto st = db.Prepare(
          "SELECT pid, start FROM processes WHERE dev=? AND ino=?"
          " UNION ALL SELECT pid, start FROM modules WHERE dev=? AND ino=?");
      st.Bind(1, static_cast<int64_t>(dev)).Bind(2, static_cast<int64_t>(ino));
      st.Bind(3, static_cast<int64_t>(dev)).Bind(4, static_cast<int64_t>(ino));
      while (st.Step()) {
        if (IsLive(static_cast<int>(st.Int(0)), static_cast<uint64_t>(st.Int(1)))) return true;
      }
      return false;
    });
  } catch (...) {
    return false;
  }
}

std::vector<LiveProcess> ListLiveProcesses(Machine& m) {
  std::vector<LiveProcess> out;
  for (const auto& r : LiveProcesses(m)) out.push_back({r.pid, r.start, r.image, r.parent, r.session});
  return out;
}

namespace {
bool EndProcess(Machine& m, const ProcRow& r, DWORD code) {
  RecordExitCode(m, r.pid, r.start, code);
  return kill(r.pid, SIGKILL) == 0;
}
}  // namespace

bool KillProcess(Machine& m, int pid, DWORD code) {
  for (const auto& r : LiveProcesses(m)) {
    if (r.pid == pid) return EndProcess(m, r, code);
  }
  return false;
}

bool EndMachineProcesses(Machine& m, DWORD code) {
  // The caller may itself be a process of the machine (a test acting as a program).
  const int self = getpid(), parent = getppid();
  auto others = [&] {
    std::vector<ProcRow> left;
    for (auto& r : LiveProcesses(m)) {
      if (r.pid != self && r.pid != parent) left.push_back(std::move(r));
    }
    return left;
  };
  // Each round ends what is left, since a dying program may have started another one.
  for (int round = 0; round < 500; ++round) {
    const auto left = others();
    if (left.empty()) return true;
    for (const auto& r : left) EndProcess(m, r, code);
    usleep(10000);
  }
  return others().empty();
}

DWORD WaitAndGetExitCode(std::shared_ptr<Machine> m, int pid, uint64_t start, bool child) {
  ProcessObject p(std::move(m), pid, start, PROCESS_ALL_ACCESS, child);
  p.Wait(INFINITE);
  return p.ExitCode();
}

bool SpawnServiceProcess(std::shared_ptr<Machine> m, std::u16string_view commandLine, int* pid, uint64_t* start) {
  WinsimProcesses p(std::move(m));
  return p.SpawnService(commandLine, pid, start) != FALSE;
}

std::unique_ptr<IProcesses> MakeProcesses(std::shared_ptr<Machine> m) {
  return std::make_unique<WinsimProcesses>(std::move(m));
}

}  // namespace winsim

// winsim: make, inspect, drive and "reboot" simulated Windows machines.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/winsim/bundle.h"
#include "platform/winsim/paths.h"
#include "platform/winsim/process_internal.h"
#include "platform/winsim/reboot.h"
#include "platform/winsim/registry_tools.h"
#include "platform/winsim/services.h"
#include "platform/winsim/windows_internal.h"

namespace {

using winsim::Machine;

int Usage() {
  std::fputs(
      "usage: winsim COMMAND ...\n"
      "  profiles                                  list the machine profiles\n"
      "  new DIR --os PROFILE [--lang en|ko]        make a fresh machine in DIR\n"
      "  show DIR                                  the machine's facts\n"
      "  path DIR WINPATH                          host path of a Windows path\n"
      "  run DIR [--cwd WINPATH] [--no-wait] [--system] -- COMMANDLINE\n"
      "                                            run a program; prints its exit code (signed 32-bit)\n"
      "  ps DIR                                    the machine's processes\n"
      "  kill DIR PID [CODE]                       end a process (exit code CODE, default 1)\n"
      "  reg DIR query KEY [VALUE]                 show a key's values (or one value)\n"
      "  reg DIR export KEY                        a subtree as readable text\n"
      "  reg DIR set KEY VALUE TYPE DATA           TYPE: REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY (hex)\n"
      "  reg DIR delete KEY [VALUE]                delete a key tree or one value\n"
      "  journal DIR                               message boxes and other desktop events\n"
      "  reboot DIR                                end every process, then carry out pending file operations\n"
      "  lock DIR WINPATH | unlock DIR WINPATH     make a file refuse rename/delete/write (error 32)\n"
      "  set DIR free-space MB|none               free disk space of fixed drives\n"
      "  set DIR clock-offset MS                   shift the machine's wall clock\n"
      "  set DIR cocreateguid fail|ok              make CoCreateGuid fail\n"
      "  set DIR volume LETTER SERIAL present|absent [fixed|cdrom|removable]\n"
      "  set DIR version MAJOR.MINOR[.BUILD] [CSD] report any Windows version\n"
      "  set DIR product-type 1|2|3                workstation, domain controller, server\n"
      "  set DIR tz-offset MINUTES                 local time minus UTC\n"
      "  set DIR message-box-answer ID             answer every message box with ID (0: default button)\n"
      "  ui DIR [--pid N] layout                   the dialog's windows, one a line:\n"
      "        ID CLASS X Y W H VISIBLE \"TEXT\" image=RESID font=FACE/HEIGHT/WEIGHT\n"
      "        (the dialog first, in screen coordinates; its controls in its client coordinates)\n"
      "  ui DIR [--pid N] screenshot FILE.png       the dialog's picture as it stands\n"
      "  ui DIR [--pid N] click|hover|leave ID      what the mouse does to control ID (2: hidden or none)\n"
      "  ui DIR [--pid N] key Enter|Escape|Alt+F4   a key pressed in the dialog\n"
      "                                            default process: the newest with a visible dialog\n"
      "  stamp FILE --bits 32|64|native [--res TYPE ID LANG DATAFILE]...\n"
      "        [--resource TYPE ID LANG FILE]... [--resources LISTFILE]...\n"
      "                                            write a program's bundle (bitness, resources);\n"
      "                                            --resource stores a \"#2\" .bmp as its DIB, LANG decimal;\n"
      "                                            LISTFILE: lines \"TYPE ID LANG PATH\", ';' comments\n",
      stderr);
  return 2;
}

std::shared_ptr<Machine> OpenMachine(const std::string& dir) {
  if (!std::filesystem::exists(dir + "/machine.ini")) {
    std::fprintf(stderr, "winsim: %s is not a machine (no machine.ini)\n", dir.c_str());
    std::exit(2);
  }
  winsim::ProcessIdentity id;
  id.imagePath = u"C:\\Windows\\explorer.exe";
  id.bits = 64;
  id.currentDirectory = u"C:\\";
  id.session = 1;
  auto m = std::make_shared<Machine>(std::filesystem::absolute(dir).string(), id);
  if (!m->Is64BitMachine()) m->self().bits = 32;
  return m;
}

std::unique_ptr<winsim::WinsimPlatform> EnterMachine(const std::string& dir, bool system = false) {
  auto m = OpenMachine(dir);
  m->self().system = system;
  if (system) m->self().session = 0;
  auto p = std::make_unique<winsim::WinsimPlatform>(m);
  win::Platform::SetCurrent(p.get());
  return p;
}

int CmdProfiles() {
  for (const auto& p : winsim::Profiles()) {
    std::printf("%-14s %u.%u.%u %-15s %-6s %s\n", p.name.c_str(), p.major, p.minor, p.build,
                p.csd.empty() ? "-" : p.csd.c_str(), p.arch == 0 ? "x86" : p.arch == 6 ? "ia64" : "x64",
                p.description.c_str());
  }
  return 0;
}

int CmdNew(std::vector<std::string> a) {
  if (a.empty()) return Usage();
  std::string dir = a[0], os, lang = "en";
  for (size_t i = 1; i + 1 < a.size(); ++i) {
    if (a[i] == "--os") os = a[++i];
    else if (a[i] == "--lang") lang = a[++i];
  }
  if (os.empty()) return Usage();
  std::string err = winsim::CreateMachine(std::filesystem::absolute(dir).string(), os, lang);
  if (!err.empty()) {
    std::fprintf(stderr, "winsim: %s\n", err.c_str());
    return 1;
  }
  std::printf("made a %s machine (%s) in %s\n", os.c_str(), lang.c_str(), dir.c_str());
  return 0;
}

int CmdShow(const std::string& dir) {
  auto m = OpenMachine(dir);
  std::fputs(m->Config().Serialize().c_str(), stdout);
  return 0;
}

int CmdPath(const std::string& dir, const std::string& winPath) {
  auto m = OpenMachine(dir);
  auto p = winsim::ParseWinPath(win::Utf8ToWide(winPath), u"C:\\");
  if (!p) {
    std::fprintf(stderr, "winsim: not a Windows path: %s\n", winPath.c_str());
    return 1;
  }
  std::printf("%s\n", winsim::ToHostPath(m->root(), *p).c_str());
  return 0;
}

int CmdRun(std::vector<std::string> a) {
  if (a.empty()) return Usage();
  std::string dir = a[0];
  std::u16string cwd = u"C:\\";
  bool wait = true, system = false;
  size_t i = 1;
  for (; i < a.size() && a[i] != "--"; ++i) {
    if (a[i] == "--cwd" && i + 1 < a.size()) cwd = win::Utf8ToWide(a[++i]);
    else if (a[i] == "--no-wait") wait = false;
    else if (a[i] == "--system") system = true;
    else return Usage();
  }
  if (i >= a.size() - 1 && !(i < a.size() && a[i] == "--" && i + 1 < a.size())) return Usage();
  std::string cmd;
  for (size_t k = i + 1; k < a.size(); ++k) cmd += (k > i + 1 ? " " : "") + a[k];
  auto platform = EnterMachine(dir, system);
  platform->machine().self().currentDirectory = cwd;
  win::PROCESS_INFORMATION pi;
  win::STARTUPINFOW si;
  if (!win::Processes().CreateProcessW(u"", win::Utf8ToWide(cmd), 0, cwd, si, &pi)) {
    std::fprintf(stderr, "winsim: cannot start %s (error %u)\n", cmd.c_str(), win::GetLastError());
    return 2;
  }
  if (!wait) {
    std::printf("started pid %u\n", pi.dwProcessId);
    return 0;
  }
  win::Time().WaitForSingleObject(pi.hProcess, win::INFINITE);
  win::DWORD code = 0;
  win::Processes().GetExitCodeProcess(pi.hProcess, &code);
  std::fflush(stderr);
  std::printf("%d\n", static_cast<int32_t>(code));
  return 0;
}

int CmdPs(const std::string& dir) {
  auto m = OpenMachine(dir);
  std::printf("%8s %8s %7s  %s\n", "PID", "PARENT", "SESSION", "IMAGE");
  std::printf("%8d %8d %7d  %s\n", 0, 0, 0, "[System Process]");
  for (const auto& p : winsim::ListLiveProcesses(*m)) {
    std::printf("%8d %8d %7u  %s\n", p.pid, p.parent, p.session, win::WideToUtf8(p.image).c_str());
  }
  return 0;
}

int CmdKill(std::vector<std::string> a) {
  if (a.size() < 2) return Usage();
  auto m = OpenMachine(a[0]);
  int pid = std::atoi(a[1].c_str());
  win::DWORD code = a.size() > 2 ? static_cast<win::DWORD>(std::stoll(a[2], nullptr, 0)) : 1;
  if (!winsim::KillProcess(*m, pid, code)) {
    std::fprintf(stderr, "winsim: no process %d on this machine\n", pid);
    return 1;
  }
  return 0;
}

int CmdJournal(const std::string& dir) {
  auto m = OpenMachine(dir);
  m->WithState([&](winsim::Db& db) {
    auto st = db.Prepare("SELECT seq, pid, image, kind, owner, caption, text, flags, answer FROM journal ORDER BY seq");
    while (st.Step()) {
      std::printf("#%lld %s pid %lld (%s) owner %lld flags 0x%llX answer %lld\n  caption: %s\n  text: %s\n",
                  static_cast<long long>(st.Int(0)), st.Text(3).c_str(), static_cast<long long>(st.Int(1)),
                  st.Text(2).c_str(), static_cast<long long>(st.Int(4)), static_cast<unsigned long long>(st.Int(7)),
                  static_cast<long long>(st.Int(8)), st.Text(5).c_str(), st.Text(6).c_str());
    }
    return 0;
  });
  return 0;
}

int CmdReboot(const std::string& dir) {
  auto platform = EnterMachine(dir, true);
  auto& m = platform->machine();
  winsim::EndMachineProcesses(m, 0x8000000Au);
  m.WithState([](winsim::Db& db) {
    db.Exec("DELETE FROM open_files; DELETE FROM modules; DELETE FROM processes;");
    // Drivers and services start afresh, as after a real restart (no table: nothing ever ran).
    try {
      db.Exec("DELETE FROM scm_state");
    } catch (const std::exception&) {
    }
    return 0;
  });
  winsim::Reboot(m);
  std::printf("rebooted\n");
  return 0;
}

int CmdLock(const std::string& dir, const std::string& winPath, bool lock) {
  auto m = OpenMachine(dir);
  auto p = winsim::ParseWinPath(win::Utf8ToWide(winPath), u"C:\\");
  if (!p) return Usage();
  std::string host = winsim::ToHostPath(m->root(), *p);
  std::string key = win::WideToUtf8(win::FoldCase(win::Utf8ToWide(host)));
  std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
  m->UpdateConfig([&](winsim::MachineConfig& c) {
    auto& l = c.lockedFiles;
    l.erase(std::remove(l.begin(), l.end(), key), l.end());
    if (lock) l.push_back(key);
  });
  return 0;
}

int CmdSet(std::vector<std::string> a) {
  if (a.size() < 3) return Usage();
  auto m = OpenMachine(a[0]);
  const std::string& what = a[1];
  try {
    if (what == "free-space") {
      m->UpdateConfig([&](winsim::MachineConfig& c) {
        if (a[2] == "none") c.freeSpaceMb.reset();
        else c.freeSpaceMb = std::stoull(a[2]);
      });
    } else if (what == "clock-offset") {
      m->UpdateConfig([&](winsim::MachineConfig& c) { c.clockOffsetMs = std::stoll(a[2]); });
    } else if (what == "cocreateguid") {
      m->UpdateConfig([&](winsim::MachineConfig& c) { c.failCoCreateGuid = a[2] == "fail"; });
    } else if (what == "tz-offset") {
      m->UpdateConfig([&](winsim::MachineConfig& c) { c.tzOffsetMinutes = std::stoi(a[2]); });
    } else if (what == "message-box-answer") {
      m->UpdateConfig([&](winsim::MachineConfig& c) { c.messageBoxAnswer = std::stoi(a[2]); });
    } else if (what == "volume" && a.size() >= 5) {
      winsim::Volume v;
      v.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(a[2][0])));
      v.serial = static_cast<uint32_t>(std::stoul(a[3], nullptr, 16));
      v.present = a[4] != "absent";
      v.type = a.size() > 5 ? (a[5] == "cdrom" ? 5u : a[5] == "removable" ? 2u : 3u) : 3u;
      m->UpdateConfig([&](winsim::MachineConfig& c) {
        auto& vs = c.volumes;
        auto it = std::find_if(vs.begin(), vs.end(), [&](const winsim::Volume& x) { return x.letter == v.letter; });
        if (it != vs.end()) {
          v.label = it->label;
          *it = v;
        } else {
          vs.push_back(v);
          std::sort(vs.begin(), vs.end(), [](auto& x, auto& y) { return x.letter < y.letter; });
        }
      });
    } else if (what == "version") {
      unsigned major = 0, minor = 0, build = 0;
      if (std::sscanf(a[2].c_str(), "%u.%u.%u", &major, &minor, &build) < 2) return Usage();
      std::string root = m->root();
      auto dw = [](unsigned v) {
        char b[16];
        std::snprintf(b, sizeof b, "%u", v);
        return std::string(b);
      };
      const std::string key = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
      long err = winsim::SetRegistryValue(root, key, "CurrentMajorVersionNumber", "REG_DWORD", dw(major));
      if (!err) err = winsim::SetRegistryValue(root, key, "CurrentMinorVersionNumber", "REG_DWORD", dw(minor));
      if (!err && build) err = winsim::SetRegistryValue(root, key, "CurrentBuildNumber", "REG_SZ", dw(build));
      if (!err && a.size() > 3) err = winsim::SetRegistryValue(root, key, "CSDVersion", "REG_SZ", a[3]);
      if (err) {
        std::fprintf(stderr, "winsim: registry error %ld\n", err);
        return 1;
      }
    } else if (what == "product-type") {
      int t = std::stoi(a[2]);
      long err = winsim::SetRegistryValue(m->root(), "HKLM\\SYSTEM\\CurrentControlSet\\Control\\ProductOptions",
                                          "ProductType", "REG_SZ", t == 1 ? "WinNT" : t == 2 ? "LanmanNT" : "ServerNT");
      if (err) {
        std::fprintf(stderr, "winsim: registry error %ld\n", err);
        return 1;
      }
    } else {
      return Usage();
    }
  } catch (const std::exception&) {
    return Usage();
  }
  return 0;
}

int CmdReg(std::vector<std::string> a) {
  if (a.size() < 3) return Usage();
  const std::string root = OpenMachine(a[0])->root();
  const std::string& verb = a[1];
  std::string out;
  long err = 0;
  if (verb == "export") {
    out = winsim::ExportRegistry(root, a[2], &err);
  } else if (verb == "query") {
    err = winsim::QueryRegistry(root, a[2], a.size() > 3 ? std::optional<std::string>(a[3]) : std::nullopt, &out);
  } else if (verb == "set" && a.size() >= 6) {
    err = winsim::SetRegistryValue(root, a[2], a[3], a[4], a[5]);
  } else if (verb == "delete") {
    err = a.size() > 3 ? winsim::DeleteRegistryValue(root, a[2], a[3]) : winsim::DeleteRegistryKey(root, a[2]);
  } else {
    return Usage();
  }
  std::fputs(out.c_str(), stdout);
  if (err != 0) {
    std::fprintf(stderr, "winsim: registry error %ld\n", err);
    return 1;
  }
  return 0;
}

void PutResource(winsim::Bundle& b, winsim::ResourceEntry e) {
  std::erase_if(b.entries, [&](const winsim::ResourceEntry& x) {
    return x.type == e.type && x.id == e.id && x.lang == e.lang;
  });
  b.entries.push_back(std::move(e));
}

bool ReadHostFile(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

// Windows keeps a bitmap resource as the file's DIB: the info header, colours and pixels, without
// the 14-byte file header. Anything that is not a .bmp would load as garbage, so it is refused.
bool BitmapResourceFromFile(std::vector<uint8_t>* data, std::string* why) {
  constexpr size_t kFileHeader = 14;
  const auto le32 = [&](size_t at) {
    return static_cast<uint32_t>((*data)[at]) | static_cast<uint32_t>((*data)[at + 1]) << 8 |
           static_cast<uint32_t>((*data)[at + 2]) << 16 | static_cast<uint32_t>((*data)[at + 3]) << 24;
  };
  if (data->size() < kFileHeader + 12 || (*data)[0] != 'B' || (*data)[1] != 'M') {
    *why = "not a BMP file";
    return false;
  }
  const uint32_t infoSize = le32(kFileHeader);
  const uint32_t pixelsAt = le32(10);
  const bool knownInfo = infoSize == 12 || infoSize == 40 || infoSize == 52 || infoSize == 56 ||
                         infoSize == 108 || infoSize == 124;
  if (!knownInfo || kFileHeader + infoSize > data->size() || pixelsAt < kFileHeader + infoSize ||
      pixelsAt > data->size()) {
    *why = "damaged BMP header";
    return false;
  }
  data->erase(data->begin(), data->begin() + kFileHeader);
  return true;
}

bool ParseLang(const std::string& text, uint16_t* lang) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const unsigned long v = std::stoul(text);
  if (v > 0xFFFF) return false;
  *lang = static_cast<uint16_t>(v);
  return true;
}

// TYPE ID LANG HOSTFILE: a bitmap ("#2") is stored as its DIB, everything else byte for byte.
bool AddResourceFromFile(winsim::Bundle& b, const std::string& type, const std::string& id,
                         const std::string& langText, const std::string& file, std::string* why) {
  winsim::ResourceEntry e;
  e.type = type;
  e.id = id;
  if (type.empty() || id.empty() || !ParseLang(langText, &e.lang)) {
    *why = "bad resource name or language \"" + type + " " + id + " " + langText + "\"";
    return false;
  }
  if (!ReadHostFile(file, &e.data)) {
    *why = "cannot read " + file;
    return false;
  }
  if (type == "#2" && !BitmapResourceFromFile(&e.data, why)) {
    *why = file + ": " + *why;
    return false;
  }
  PutResource(b, std::move(e));
  return true;
}

// A list of "TYPE ID LANG PATH" lines, PATH relative to the list's folder. Lines starting with ';'
// are comments ('#' cannot be: it starts numeric types and ids).
bool AddResourcesFromList(winsim::Bundle& b, const std::string& listPath, std::string* why) {
  std::ifstream in(listPath);
  if (!in) {
    *why = "cannot read " + listPath;
    return false;
  }
  const std::filesystem::path dir = std::filesystem::path(listPath).parent_path();
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';') continue;
    std::istringstream fields(line);
    std::string type, id, lang, rel, extra;
    if (!(fields >> type >> id >> lang >> rel) || (fields >> extra)) {
      *why = listPath + ":" + std::to_string(number) + ": expected TYPE ID LANG PATH";
      return false;
    }
    if (!AddResourceFromFile(b, type, id, lang, (dir / rel).string(), why)) {
      *why = listPath + ":" + std::to_string(number) + ": " + *why;
      return false;
    }
  }
  return true;
}

int CmdStamp(std::vector<std::string> a) {
  if (a.empty()) return Usage();
  winsim::Bundle b;
  if (auto old = winsim::ReadBundle(a[0])) b = *old;
  std::string why;
  for (size_t i = 1; i < a.size(); ++i) {
    if (a[i] == "--bits" && i + 1 < a.size()) {
      const std::string& v = a[++i];
      b.bits = v == "native" ? 0 : std::atoi(v.c_str());
    } else if (a[i] == "--res" && i + 4 < a.size()) {
      winsim::ResourceEntry e;
      e.type = a[i + 1];
      e.id = a[i + 2];
      e.lang = static_cast<uint16_t>(std::stoul(a[i + 3], nullptr, 0));
      if (!ReadHostFile(a[i + 4], &e.data)) {
        std::fprintf(stderr, "winsim: cannot read %s\n", a[i + 4].c_str());
        return 1;
      }
      PutResource(b, std::move(e));
      i += 4;
    } else if (a[i] == "--resource" && i + 4 < a.size()) {
      if (!AddResourceFromFile(b, a[i + 1], a[i + 2], a[i + 3], a[i + 4], &why)) {
        std::fprintf(stderr, "winsim: %s\n", why.c_str());
        return 1;
      }
      i += 4;
    } else if (a[i] == "--resources" && i + 1 < a.size()) {
      if (!AddResourcesFromList(b, a[++i], &why)) {
        std::fprintf(stderr, "winsim: %s\n", why.c_str());
        return 1;
      }
    } else {
      return Usage();
    }
  }
  if (!winsim::WriteBundle(a[0], b)) {
    std::fprintf(stderr, "winsim: cannot write the bundle of %s\n", a[0].c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string cmd = argv[1];
  std::vector<std::string> a(argv + 2, argv + argc);
  try {
    if (cmd == "profiles") return CmdProfiles();
    if (cmd == "new") return CmdNew(a);
    if (cmd == "stamp") return CmdStamp(a);
    if (a.empty()) return Usage();
    if (cmd == "show") return CmdShow(a[0]);
    if (cmd == "path" && a.size() == 2) return CmdPath(a[0], a[1]);
    if (cmd == "run") return CmdRun(a);
    if (cmd == "ps") return CmdPs(a[0]);
    if (cmd == "kill") return CmdKill(a);
    if (cmd == "reg") return CmdReg(a);
    if (cmd == "journal") return CmdJournal(a[0]);
    if (cmd == "reboot") return CmdReboot(a[0]);
    if (cmd == "lock" && a.size() == 2) return CmdLock(a[0], a[1], true);
    if (cmd == "unlock" && a.size() == 2) return CmdLock(a[0], a[1], false);
    if (cmd == "set") return CmdSet(a);
    if (cmd == "ui") return winsim::RunUiCommand(OpenMachine(a[0])->root(), {a.begin() + 1, a.end()});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "winsim: %s\n", e.what());
    return 1;
  }
  return Usage();
}

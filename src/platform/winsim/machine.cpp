#include "platform/winsim/machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/registry.h"
#include "platform/text.h"
#include "platform/winsim/paths.h"
#include "platform/winsim/registry_tools.h"
#include "platform/winsim/services.h"
#include "platform/winsim/system_programs.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

constexpr uint16_t kX86 = 0, kIa64 = 6, kAmd64 = 9;

std::string Trim(std::string s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  size_t e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string VolumeText(const Volume& v) {
  char buf[128];
  const char* type = v.type == 5 ? "cdrom" : v.type == 2 ? "removable" : "fixed";
  std::snprintf(buf, sizeof buf, "%c %08X %s %s", v.letter, v.serial, type, v.present ? "present" : "absent");
  std::string s = buf;
  if (!v.label.empty()) s += " " + v.label;
  return s;
}

std::optional<Volume> ParseVolume(const std::string& text) {
  std::istringstream in(text);
  std::string letter, serial, type, media, label;
  if (!(in >> letter >> serial >> type >> media) || letter.empty()) return std::nullopt;
  std::getline(in, label);
  Volume v;
  v.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
  v.serial = static_cast<uint32_t>(std::stoul(serial, nullptr, 16));
  v.type = type == "cdrom" ? 5 : type == "removable" ? 2 : 3;
  v.present = media != "absent";
  v.label = Trim(label);
  return v;
}

int64_t FileStamp(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec + st.st_size;
}

}  // namespace

const std::vector<Profile>& Profiles() {
  static const std::vector<Profile> kProfiles = {
      {"win2000", "Windows 2000 Professional SP4", 5, 0, 2195, "Service Pack 4", 1, kX86, "Microsoft Windows 2000"},
      {"winxp-sp2", "Windows XP Professional SP2", 5, 1, 2600, "Service Pack 2", 1, kX86, "Microsoft Windows XP"},
      {"winxp-sp3", "Windows XP Professional SP3", 5, 1, 2600, "Service Pack 3", 1, kX86, "Microsoft Windows XP"},
      {"winxp-x64", "Windows XP Professional x64 SP2", 5, 2, 3790, "Service Pack 2", 1, kAmd64,
       "Microsoft Windows XP"},
      {"win2003-sp1", "Windows Server 2003 SP1", 5, 2, 3790, "Service Pack 1", 3, kX86,
       "Microsoft Windows Server 2003"},
      {"win2003-sp2", "Windows Server 2003 SP2", 5, 2, 3790, "Service Pack 2", 3, kX86,
       "Microsoft Windows Server 2003"},
      {"win2003-x64", "Windows Server 2003 x64 SP2", 5, 2, 3790, "Service Pack 2", 3, kAmd64,
       "Microsoft Windows Server 2003"},
      {"win2003-ia64", "Windows Server 2003 for Itanium SP2", 5, 2, 3790, "Service Pack 2", 3, kIa64,
       "Microsoft Windows Server 2003"},
      {"vista", "Windows Vista Business SP2", 6, 0, 6002, "Service Pack 2", 1, kX86, "Windows Vista (TM) Business"},
      {"vista-x64", "Windows Vista Business x64 SP2", 6, 0, 6002, "Service Pack 2", 1, kAmd64,
       "Windows Vista (TM) Business"},
      {"win2008", "Windows Server 2008 SP2", 6, 0, 6002, "Service Pack 2", 3, kX86,
       "Windows Server (R) 2008 Standard"},
      {"win2008-x64", "Windows Server 2008 x64 SP2", 6, 0, 6002, "Service Pack 2", 3, kAmd64,
       "Windows Server (R) 2008 Standard"},
      {"win7", "Windows 7 Professional SP1", 6, 1, 7601, "Service Pack 1", 1, kX86, "Windows 7 Professional"},
      {"win7-x64", "Windows 7 Professional x64 SP1", 6, 1, 7601, "Service Pack 1", 1, kAmd64,
       "Windows 7 Professional"},
      {"win2008r2", "Windows Server 2008 R2 SP1", 6, 1, 7601, "Service Pack 1", 3, kAmd64,
       "Windows Server 2008 R2 Standard"},
      {"win8", "Windows 8 Pro", 6, 2, 9200, "", 1, kX86, "Windows 8 Pro"},
      {"win8-x64", "Windows 8 Pro x64", 6, 2, 9200, "", 1, kAmd64, "Windows 8 Pro"},
      {"win2012", "Windows Server 2012 Standard", 6, 2, 9200, "", 3, kAmd64, "Windows Server 2012 Standard"},
      {"win81", "Windows 8.1 Pro", 6, 3, 9600, "", 1, kX86, "Windows 8.1 Pro"},
      {"win81-x64", "Windows 8.1 Pro x64", 6, 3, 9600, "", 1, kAmd64, "Windows 8.1 Pro"},
      {"win2012r2", "Windows Server 2012 R2 Standard", 6, 3, 9600, "", 3, kAmd64,
       "Windows Server 2012 R2 Standard"},
      {"win10", "Windows 10 Pro (32-bit)", 10, 0, 19045, "", 1, kX86, "Windows 10 Pro"},
      {"win10-x64", "Windows 10 Pro x64", 10, 0, 19045, "", 1, kAmd64, "Windows 10 Pro"},
      {"win2016", "Windows Server 2016 Standard", 10, 0, 14393, "", 3, kAmd64, "Windows Server 2016 Standard"},
  };
  return kProfiles;
}

const Profile* FindProfile(const std::string& name) {
  for (const auto& p : Profiles()) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

MachineConfig MachineConfig::Parse(const std::string& text) {
  MachineConfig c;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    try {
      if (key == "profile") c.profile = value;
      else if (key == "arch") c.arch = static_cast<uint16_t>(std::stoul(value));
      else if (key == "ui-language") c.uiLanguage = static_cast<uint16_t>(std::stoul(value));
      else if (key == "code-page") c.codePage = static_cast<uint32_t>(std::stoul(value));
      else if (key == "user") c.user = value;
      else if (key == "computer-name") c.computerName = value;
      else if (key == "tz-offset-minutes") c.tzOffsetMinutes = std::stoi(value);
      else if (key == "volume") {
        if (auto v = ParseVolume(value)) c.volumes.push_back(*v);
      } else if (key == "free-space-mb") c.freeSpaceMb = std::stoull(value);
      else if (key == "clock-offset-ms") c.clockOffsetMs = std::stoll(value);
      else if (key == "lock") c.lockedFiles.push_back(value);
      else if (key == "fail-cocreateguid") c.failCoCreateGuid = value == "1" || value == "true";
      else if (key == "message-box-answer") c.messageBoxAnswer = std::stoi(value);
      else if (key == "screen") {
        int w = 0, h = 0;
        if (std::sscanf(value.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) c.screenWidth = w, c.screenHeight = h;
      }
    } catch (...) {
      // A damaged line keeps its default rather than making the machine unusable.
    }
  }
  return c;
}

std::string MachineConfig::Serialize() const {
  std::ostringstream out;
  out << "# winsim machine file: facts that Windows does not keep in the registry\n";
  out << "profile = " << profile << "\n";
  out << "arch = " << arch << "\n";
  out << "ui-language = " << uiLanguage << "\n";
  out << "code-page = " << codePage << "\n";
  out << "user = " << user << "\n";
  out << "computer-name = " << computerName << "\n";
  out << "tz-offset-minutes = " << tzOffsetMinutes << "\n";
  for (const auto& v : volumes) out << "volume = " << VolumeText(v) << "\n";
  if (freeSpaceMb) out << "free-space-mb = " << *freeSpaceMb << "\n";
  if (clockOffsetMs) out << "clock-offset-ms = " << clockOffsetMs << "\n";
  for (const auto& l : lockedFiles) out << "lock = " << l << "\n";
  if (failCoCreateGuid) out << "fail-cocreateguid = 1\n";
  if (messageBoxAnswer) out << "message-box-answer = " << messageBoxAnswer << "\n";
  if (screenWidth != 1024 || screenHeight != 768) out << "screen = " << screenWidth << "x" << screenHeight << "\n";
  return out.str();
}

Machine::Machine(std::string root, ProcessIdentity self) : root_(std::move(root)), self_(std::move(self)) {}
Machine::~Machine() = default;

MachineConfig Machine::Config() {
  std::lock_guard lock(configMutex_);
  int64_t stamp = FileStamp(ConfigPath());
  if (stamp != configStamp_) {
    std::ifstream in(ConfigPath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    config_ = MachineConfig::Parse(ss.str());
    configStamp_ = stamp;
  }
  return config_;
}

void Machine::UpdateConfig(const std::function<void(MachineConfig&)>& change) {
  std::lock_guard lock(configMutex_);
  // Serialise writers of this machine across processes with a lock file.
  std::string lockPath = root_ + "/machine.ini.lock";
  FILE* lf = std::fopen(lockPath.c_str(), "a");
  if (lf) lockf(fileno(lf), F_LOCK, 0);
  std::ifstream in(ConfigPath(), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  in.close();
  MachineConfig c = MachineConfig::Parse(ss.str());
  change(c);
  std::string tmp = ConfigPath() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << c.Serialize();
  }
  // Readers notice a change by the file's time and size; two writes within one clock tick with
  // the same size would look alike, so the new file is always dated after the old one.
  struct stat before {}, after {};
  if (stat(ConfigPath().c_str(), &before) == 0 && stat(tmp.c_str(), &after) == 0 &&
      (after.st_mtim.tv_sec < before.st_mtim.tv_sec ||
       (after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec <= before.st_mtim.tv_nsec))) {
    timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
    if (++times[1].tv_nsec >= 1000000000) {
      times[1].tv_nsec = 0;
      ++times[1].tv_sec;
    }
    utimensat(AT_FDCWD, tmp.c_str(), times, 0);
  }
  std::rename(tmp.c_str(), ConfigPath().c_str());
  if (lf) {
    lockf(fileno(lf), F_ULOCK, 0);
    std::fclose(lf);
  }
  config_ = c;
  configStamp_ = FileStamp(ConfigPath());
}

bool Machine::Is64BitMachine() { return Config().Is64Bit(); }
bool Machine::IsWow64() { return self_.bits == 32 && Is64BitMachine(); }

Db& Machine::RegistryDb() {
  if (!registry_) registry_ = std::make_unique<Db>(RegistryPath());
  return *registry_;
}

Db& Machine::StateDb() {
  if (!state_) {
    state_ = std::make_unique<Db>(StatePath());
    EnsureStateSchema(*state_);
  }
  return *state_;
}

void EnsureStateSchema(Db& db) {
  db.Exec(
      "CREATE TABLE IF NOT EXISTS processes(pid INTEGER, start INTEGER, image TEXT, image_path TEXT,"
      " dev INTEGER, ino INTEGER, session INTEGER, parent INTEGER, bits INTEGER, system INTEGER,"
      " PRIMARY KEY(pid, start));"
      "CREATE TABLE IF NOT EXISTS exit_codes(pid INTEGER, start INTEGER, code INTEGER, PRIMARY KEY(pid, start));"
      "CREATE TABLE IF NOT EXISTS open_files(id INTEGER PRIMARY KEY, pid INTEGER, start INTEGER, dev INTEGER,"
      " ino INTEGER, access INTEGER, share INTEGER, path TEXT);"
      "CREATE INDEX IF NOT EXISTS open_files_ino ON open_files(dev, ino);"
      "CREATE TABLE IF NOT EXISTS modules(pid INTEGER, start INTEGER, dev INTEGER, ino INTEGER, path TEXT);"
      "CREATE TABLE IF NOT EXISTS journal(seq INTEGER PRIMARY KEY, time INTEGER, pid INTEGER, image TEXT,"
      " kind TEXT, owner INTEGER, caption TEXT, text TEXT, flags INTEGER, answer INTEGER);");
}

std::optional<uint64_t> ProcessStartTime(int pid) {
  if (pid <= 0) return std::nullopt;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return std::nullopt;
  char buf[1024];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // The command name may hold blanks and parentheses: fields resume after the last ')'.
  char* p = std::strrchr(buf, ')');
  if (!p) return std::nullopt;
  p += 2;
  char state = *p;
  if (state == 'Z' || state == 'X' || state == 'x') return std::nullopt;
  // Field 3 is the state; the start time is field 22.
  int field = 3;
  while (*p && field < 22) {
    if (*p == ' ') ++field;
    ++p;
  }
  if (field != 22) return std::nullopt;
  return std::strtoull(p, nullptr, 10);
}

namespace {

// What a fresh machine holds in its registry.
bool WriteInitialRegistry(win::IRegistry& reg, const Profile& p, const MachineConfig& c) {
  using namespace win;
  auto setSz = [&](HKEY k, std::u16string_view name, std::u16string_view v) {
    std::u16string s(v);
    s.push_back(0);
    return reg.RegSetValueExW(k, name, REG_SZ, reinterpret_cast<const BYTE*>(s.data()),
                              static_cast<DWORD>(s.size() * 2));
  };
  auto setDword = [&](HKEY k, std::u16string_view name, DWORD v) {
    return reg.RegSetValueExW(k, name, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  };
  auto create = [&](HKEY root, std::u16string_view path) {
    HKEY k = nullptr;
    if (reg.RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &k, nullptr) !=
        ERROR_SUCCESS) {
      return static_cast<HKEY>(nullptr);
    }
    return k;
  };

  const bool modern = p.major >= 6;
  const std::u16string user = Utf8ToWide(c.user);

  HKEY cv = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  if (!cv) return false;
  setSz(cv, u"ProductName", Utf8ToWide(p.productName));
  setSz(cv, u"CurrentVersion", Utf8ToWide(std::to_string(p.major == 10 ? 6 : p.major) + "." +
                                            std::to_string(p.major == 10 ? 3 : p.minor)));
  setDword(cv, u"CurrentMajorVersionNumber", p.major);
  setDword(cv, u"CurrentMinorVersionNumber", p.minor);
  setSz(cv, u"CurrentBuildNumber", Utf8ToWide(std::to_string(p.build)));
  setSz(cv, u"CSDVersion", Utf8ToWide(p.csd));
  setSz(cv, u"SystemRoot", u"C:\\Windows");
  reg.RegCloseKey(cv);

  HKEY po = create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions");
  if (!po) return false;
  setSz(po, u"ProductType", p.productType == 1 ? u"WinNT" : p.productType == 2 ? u"LanmanNT" : u"ServerNT");
  reg.RegCloseKey(po);

  HKEY env = create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment");
  if (!env) return false;
  setSz(env, u"ComSpec", u"C:\\Windows\\system32\\cmd.exe");
  setSz(env, u"OS", u"Windows_NT");
  setSz(env, u"Path", u"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem");
  setSz(env, u"windir", u"C:\\Windows");
  setSz(env, u"PROCESSOR_ARCHITECTURE", c.arch == 9 ? u"AMD64" : c.arch == 6 ? u"IA64" : u"x86");
  reg.RegCloseKey(env);

  HKEY sm = create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager");
  if (!sm) return false;
  reg.RegCloseKey(sm);
  for (auto path : {u"SYSTEM\\CurrentControlSet\\Services", u"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network",
                    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", u"SOFTWARE\\Classes"}) {
    HKEY k = create(HKEY_LOCAL_MACHINE, path);
    if (!k) return false;
    reg.RegCloseKey(k);
  }
  HKEY win = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
  if (!win) return false;
  setSz(win, u"ProgramFilesDir", u"C:\\Program Files");
  if (c.Is64Bit()) setSz(win, u"ProgramFilesDir (x86)", u"C:\\Program Files (x86)");
  reg.RegCloseKey(win);

  // Profiles: LocalSystem, the two service accounts and the interactive user, whose hive is loaded.
  const std::u16string usersRoot = modern ? u"C:\\Users\\" : u"C:\\Documents and Settings\\";
  struct Prof {
    std::u16string sid, path;
    bool loaded;
  };
  std::vector<Prof> profs = {
      {u"S-1-5-18", modern ? u"%systemroot%\\system32\\config\\systemprofile" : u"%SystemRoot%\\system32\\config\\systemprofile", true},
      {u"S-1-5-19", modern ? u"C:\\Windows\\ServiceProfiles\\LocalService" : usersRoot + u"LocalService", true},
      {u"S-1-5-20", modern ? u"C:\\Windows\\ServiceProfiles\\NetworkService" : usersRoot + u"NetworkService", true},
      {UserSid(c.user), usersRoot + user, true},
  };
  for (const auto& pr : profs) {
    HKEY k = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + pr.sid);
    if (!k) return false;
    std::u16string v = pr.path;
    v.push_back(0);
    reg.RegSetValueExW(k, u"ProfileImagePath", REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(v.data()),
                       static_cast<DWORD>(v.size() * 2));
    reg.RegCloseKey(k);
    if (pr.loaded) {
      HKEY h = create(HKEY_USERS, pr.sid + u"\\Software\\Microsoft\\Windows\\CurrentVersion");
      if (!h) return false;
      reg.RegCloseKey(h);
    }
  }
  HKEY def = create(HKEY_USERS, u".DEFAULT\\Software");
  if (!def) return false;
  reg.RegCloseKey(def);
  HKEY cls = create(HKEY_USERS, UserSid(c.user) + u"_Classes");
  if (!cls) return false;
  reg.RegCloseKey(cls);
  return true;
}

void MakeFolders(const std::string& root, const Profile& p, const MachineConfig& c) {
  const bool modern = p.major >= 6;
  std::vector<std::string> dirs = {"Windows/System32/drivers/etc", "Windows/System32/config/systemprofile",
                                   "Windows/Temp", "Program Files/Common Files"};
  if (c.Is64Bit()) {
    dirs.push_back("Windows/SysWOW64");
    dirs.push_back("Program Files (x86)/Common Files");
  }
  if (modern) {
    dirs.push_back("Users/" + c.user + "/AppData/Roaming");
    dirs.push_back("Users/" + c.user + "/AppData/Local/Temp");
    dirs.push_back("Users/Public");
    dirs.push_back("ProgramData");
    dirs.push_back("Windows/System32/config/systemprofile/AppData/Roaming");
  } else {
    dirs.push_back("Documents and Settings/" + c.user + "/Application Data");
    dirs.push_back("Documents and Settings/" + c.user + "/Local Settings/Temp");
    dirs.push_back("Documents and Settings/All Users/Application Data");
    dirs.push_back("Windows/System32/config/systemprofile/Application Data");
  }
  for (const auto& d : dirs) fs::create_directories(root + "/drive_c/" + d);
}

}  // namespace

std::string CreateMachine(const std::string& root, const std::string& profileName, const std::string& lang) {
  const Profile* p = FindProfile(profileName);
  if (!p) return "unknown profile: " + profileName;
  if (lang != "en" && lang != "ko") return "unknown language: " + lang + " (en or ko)";
  std::error_code ec;
  if (fs::exists(root, ec) && !fs::is_empty(root, ec)) return "folder is not empty: " + root;
  fs::create_directories(root, ec);
  if (ec) return "cannot create " + root + ": " + ec.message();

  MachineConfig c;
  c.profile = p->name;
  c.arch = p->arch;
  c.uiLanguage = lang == "ko" ? 0x412 : 0x409;
  c.codePage = lang == "ko" ? 949 : 1252;
  c.tzOffsetMinutes = lang == "ko" ? 540 : 0;
  std::random_device rd;
  Volume sys;
  sys.letter = 'C';
  sys.serial = (static_cast<uint32_t>(rd()) & 0xFFFF0000u) | (rd() & 0xFFFFu) | 0x10000000u;
  sys.label = "System";
  c.volumes.push_back(sys);
  Volume cd;
  cd.letter = 'D';
  cd.type = 5;
  cd.present = false;
  c.volumes.push_back(cd);
  {
    std::ofstream out(root + "/machine.ini", std::ios::binary);
    out << c.Serialize();
  }
  MakeFolders(root, *p, c);
  InstallSystemPrograms(root, c.Is64Bit());

  ProcessIdentity boot;
  boot.imagePath = u"C:\\Windows\\System32\\smss.exe";
  boot.bits = c.Is64Bit() ? 64 : 32;
  boot.currentDirectory = u"C:\\Windows\\System32";
  boot.session = 0;
  boot.system = true;
  try {
    auto platform = OpenPlatform(root, boot);
    if (!WriteInitialRegistry(platform->Registry(), *p, c)) return "cannot write the initial registry";
  } catch (const std::exception& e) {
    return std::string("cannot set the machine up: ") + e.what();
  }
  return {};
}

}  // namespace winsim

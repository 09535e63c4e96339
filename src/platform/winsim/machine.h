// A simulated Windows machine: a folder (the machine root) holding its drives, its registry
// database, its state database (processes, exit codes, open files, desktop journal) and a small
// machine file with the facts that Windows does not keep in the registry.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/winsim/db.h"

namespace winsim {

struct Volume {
  char letter = 'C';
  uint32_t serial = 0;
  uint32_t type = 3;  // DRIVE_FIXED, DRIVE_CDROM, DRIVE_REMOVABLE
  bool present = true;  // medium inserted
  std::string label;
};

// What a profile sets up.
struct Profile {
  std::string name;
  std::string description;
  uint32_t major = 0, minor = 0, build = 0;
  std::string csd;  // "Service Pack 3" or empty
  uint8_t productType = 1;  // 1 workstation, 2 domain controller, 3 server
  uint16_t arch = 0;  // PROCESSOR_ARCHITECTURE_*
  std::string productName;
};

const std::vector<Profile>& Profiles();
const Profile* FindProfile(const std::string& name);

// The machine file (machine.ini): one "key = value" per line; repeated keys for lists.
struct MachineConfig {
  std::string profile;
  uint16_t arch = 9;
  uint16_t uiLanguage = 0x409;  // 1033 English, 1042 Korean
  uint32_t codePage = 1252;  // 949 on Korean machines
  std::string user = "Administrator";
  std::string computerName = "WINSIM-PC";
  int tzOffsetMinutes = 0;
  std::vector<Volume> volumes;
  std::optional<uint64_t> freeSpaceMb;  // override of the free space of every fixed drive
  int64_t clockOffsetMs = 0;
  std::vector<std::string> lockedFiles;  // host paths, folded to lower case
  bool failCoCreateGuid = false;
  int messageBoxAnswer = 0;  // 0: the box's default button
  int screenWidth = 1024;  // "screen = WxH"
  int screenHeight = 768;

  static MachineConfig Parse(const std::string& text);
  std::string Serialize() const;
  bool Is64Bit() const { return arch == 9 || arch == 6; }
};

// Identity of the program a process runs, on its machine.
struct ProcessIdentity {
  std::u16string imagePath;  // Windows path of the program file
  int bits = 32;  // 32 or 64
  std::u16string commandLine;  // exactly as its creator passed it
  std::u16string currentDirectory;  // Windows path
  uint32_t session = 1;
  bool system = false;  // runs as LocalSystem (services)
};

// One process's view of its machine. Thread-safe: database access is serialised per process.
class Machine {
 public:
  Machine(std::string root, ProcessIdentity self);
  ~Machine();

  const std::string& root() const { return root_; }
  ProcessIdentity& self() { return self_; }
  const ProcessIdentity& self() const { return self_; }

  // The machine file, re-read when it changed on disk.
  MachineConfig Config();
  // Changes the machine file atomically.
  void UpdateConfig(const std::function<void(MachineConfig&)>& change);

  bool Is64BitMachine();
  // A 32-bit program on a 64-bit machine.
  bool IsWow64();

  // Each call runs under the process-wide lock of that database.
  template <class F>
  auto WithRegistry(F&& f) {
    std::lock_guard lock(registryMutex_);
    return f(RegistryDb());
  }
  template <class F>
  auto WithState(F&& f) {
    std::lock_guard lock(stateMutex_);
    return f(StateDb());
  }

  std::string RegistryPath() const { return root_ + "/registry.db"; }
  std::string StatePath() const { return root_ + "/state.db"; }
  std::string ConfigPath() const { return root_ + "/machine.ini"; }

 private:
  Db& RegistryDb();
  Db& StateDb();

  std::string root_;
  ProcessIdentity self_;
  std::recursive_mutex registryMutex_;
  std::recursive_mutex stateMutex_;
  std::unique_ptr<Db> registry_;
  std::unique_ptr<Db> state_;
  std::mutex configMutex_;
  MachineConfig config_;
  int64_t configStamp_ = -1;
};

// Creates a ready machine at root (which must not exist or be empty). lang: "en" or "ko".
// Returns an error text, empty on success.
std::string CreateMachine(const std::string& root, const std::string& profile, const std::string& lang);

// Schema of the state database, created on first use by any process.
void EnsureStateSchema(Db& db);

// Process start time (clock ticks since boot) of a live process, nullopt when it is gone or a zombie.
std::optional<uint64_t> ProcessStartTime(int pid);

}  // namespace winsim

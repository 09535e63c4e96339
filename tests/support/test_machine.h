// A fresh simulated machine per test, and a way to act as one of its programs in-process.
#pragma once

#include <memory>
#include <optional>
#include <vector>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace qztest {

class TestMachine {
 public:
  // profile: a winsim profile name ("win10-x64", "winxp-sp2", ...); lang: "en" or "ko".
  explicit TestMachine(const std::string& profile = "win10-x64", const std::string& lang = "en");
  // Ends every process left on the machine, then removes its folder.
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  const std::string& root() const { return root_; }
  // Host path of a Windows path on this machine (no WOW64 redirection applied).
  std::string HostPath(std::u16string_view winPath) const;

  // Makes this test process act as the program at imagePath (bits 32 or 64) on this machine:
  // a winsim platform becomes the current one until Leave() or the machine's destruction.
  win::Platform& Enter(const std::u16string& imagePath = u"C:\\test\\test.exe", int bits = 32);
  void Leave();

  // Copies a program of the build tree (BuiltProgram name) to a Windows path on this machine.
  void Install(const std::string& program, std::u16string_view winPath) const;
  // Runs a command line on this machine from the test (which must have entered it) and waits;
  // returns the 32-bit exit code, or nullopt when the program could not be started.
  std::optional<int32_t> Run(std::u16string_view commandLine, std::u16string_view currentDirectory = u"C:\\");

  struct JournalEntry {
    std::string kind, image, caption, text;
    uint32_t flags = 0;
  };
  std::vector<JournalEntry> Journal() const;

 private:
  std::string root_;
  std::unique_ptr<win::Platform> platform_;
  win::Platform* previous_ = nullptr;
};

// Starts a program on the entered machine without waiting; its pid, 0 when it did not start.
win::DWORD Launch(std::u16string_view commandLine, std::u16string_view dir = u"C:\\");
// Ends a process a test started and waits until it is gone.
void End(win::DWORD pid);

// PendingFileRenameOperations of the entered machine: the value's bytes (empty when absent), and
// the same as UTF-8 with every string's terminator shown as '|' ("src||" is a deletion).
std::vector<uint8_t> PendingRenameBytes();
std::string PendingRenames();

// Path of a program built into the build tree's bin folder.
std::string BuiltProgram(const std::string& name);

// Runs the winsim command with the given arguments (each quoted for the shell); returns its
// standard output and sets *status to its exit status.
std::string RunWinsim(const std::vector<std::string>& args, int* status = nullptr);

// One word of a host shell command line, single-quoted.
std::string ShellQuote(const std::string& word);
// Runs a host program with its arguments, its output discarded; the shell's exit status.
int RunHost(const std::vector<std::string>& args);
// Runs a host shell command line; returns its standard output and sets *status to its exit
// status (-1 when it did not exit).
std::string HostOutput(const std::string& commandLine, int* status = nullptr);

}  // namespace qztest

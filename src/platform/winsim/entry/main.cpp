// Process start on a simulated machine: the process learns its machine, its program file, its
// command line and its current folder from what its creator passed, registers itself, runs
// wWinMain and records its 32-bit exit code.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/bundle.h"
#include "platform/winsim/paths.h"
#include "platform/winsim/process_internal.h"
#include "platform/winsim/services.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}


}  // namespace

int main(int argc, char** argv) {
  std::string root = Env("WINSIM_ROOT");
  if (root.empty()) {
    std::fprintf(stderr,
                 "%s: this is a Windows program for a winsim machine; run it with `winsim run DIR -- ...`"
                 " or set WINSIM_ROOT\n",
                 argc > 0 ? argv[0] : "program");
    return 1;
  }
  char exe[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string hostImage = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string(argv[0]);

  winsim::ProcessIdentity id;
  std::string image = Env("WINSIM_IMAGE");
  if (!image.empty()) {
    id.imagePath = win::Utf8ToWide(image);
  } else if (auto p = winsim::FromHostPath(root, hostImage)) {
    id.imagePath = p->ToString();
  } else {
    std::string base = hostImage.substr(hostImage.find_last_of('/') + 1);
    id.imagePath = u"C:\\winsim\\" + win::Utf8ToWide(base);
  }
  std::string bits = Env("WINSIM_BITS");
  if (!bits.empty()) {
    id.bits = std::atoi(bits.c_str());
  } else {
    auto b = winsim::ReadBundle(hostImage, false);
    id.bits = b && b->bits ? b->bits : 0;
  }
  if (Env("WINSIM_CMDLINE").empty() && !std::getenv("WINSIM_CMDLINE")) {
    std::u16string cl = win::QuoteArg(id.imagePath);
    for (int i = 1; i < argc; ++i) cl += u" " + win::QuoteArg(win::Utf8ToWide(argv[i]));
    id.commandLine = cl;
  } else {
    id.commandLine = win::Utf8ToWide(Env("WINSIM_CMDLINE"));
  }
  std::string cwd = Env("WINSIM_CWD");
  if (!cwd.empty()) {
    id.currentDirectory = win::Utf8ToWide(cwd);
  } else {
    char here[PATH_MAX] = {};
    auto p = getcwd(here, sizeof here) ? winsim::FromHostPath(root, here) : std::nullopt;
    id.currentDirectory = p ? p->ToString() : u"C:\\";
  }
  std::string session = Env("WINSIM_SESSION");
  id.session = session.empty() ? 1 : static_cast<uint32_t>(std::atoi(session.c_str()));
  id.system = Env("WINSIM_SYSTEM") == "1";

  std::unique_ptr<winsim::WinsimPlatform> platform;
  try {
    winsim::Machine probe(root, id);
    if (id.bits == 0) id.bits = probe.Is64BitMachine() ? 64 : 32;
    platform = winsim::OpenPlatform(root, id);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot open the machine at %s: %s\n", root.c_str(), e.what());
    return 1;
  }
  win::Platform::SetCurrent(platform.get());
  winsim::RegisterCurrentProcess(platform->machine(), hostImage);

  std::u16string args = win::CommandLineArguments(id.commandLine);
  int rc;
  try {
    rc = wWinMain(reinterpret_cast<win::HINSTANCE>(0x400000), nullptr, args.data(), 1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "unhandled exception: %s\n", e.what());
    rc = static_cast<int>(0xE06D7363u);  // what an uncaught C++ exception ends a Windows program with
  }
  win::Processes().ExitProcess(static_cast<win::UINT>(rc));
}

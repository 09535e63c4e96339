#include "crypto/machine_code.h"

#include <mutex>

#include "platform/platform.h"

namespace qz {

bool ComputeMachineCode(std::string* code) {
  code->clear();
  std::u16string list = win::Files().GetLogicalDriveStringsW();
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find(u'\0', at);
    if (end == std::u16string::npos) end = list.size();
    std::u16string_view root(list.data() + at, end - at);
    if (root.empty()) break;
    at = end + 1;
    std::u16string label;
    win::DWORD serial = 0;
    // A drive without a medium fails here and the next one is tried.
    if (!win::Files().GetVolumeInformationW(root, &label, &serial)) continue;
    code->push_back(static_cast<char>(root[0]));
    for (int shift = 28; shift >= 0; shift -= 4) code->push_back("0123456789ABCDEF"[(serial >> shift) & 0xF]);
    return true;
  }
  return false;
}

std::string MachineCode() {
  std::string code;
  ComputeMachineCode(&code);
  return code;
}

uint64_t StampClock::Next() {
  win::Time().Sleep(1);
  uint64_t now = win::Time().GetSystemTimeMs();
  std::lock_guard lock(mutex_);
  // A shortened pause (scaled simulated time) or a coarse clock could repeat the last stamp;
  // a clock set back by more than a moment is followed as it is.
  if (now <= last_ && last_ - now < 1000) now = last_ + 1;
  last_ = now;
  return now;
}

}  // namespace qz

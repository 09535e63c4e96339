// The machine code (drive letter + volume serial of the first readable volume) and the
// millisecond time stamp of requests.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace qz {

// Walks the logical drives in order; the first whose volume information can be read gives
// "%c%08X" (letter, serial). False with an empty code when no drive gives one.
bool ComputeMachineCode(std::string* code);

// The code ComputeMachineCode finds, read afresh by each machine-bound key derivation; empty when
// no drive gives one.
std::string MachineCode();

// The millisecond time stamps of one server session (the main and the alive thread share it).
class StampClock {
 public:
  // Milliseconds since 1970-01-01 UTC, taken after a 1 ms pause; never equal to the previous one.
  uint64_t Next();

 private:
  std::mutex mutex_;
  uint64_t last_ = 0;
};

}  // namespace qz

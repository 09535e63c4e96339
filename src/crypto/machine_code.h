// The machine code (drive letter + volume serial of the first readable volume) and the
// millisecond time stamp of requests.
#pragma once

#include <cstdint>
#include <string>

namespace qz {

// Walks the logical drives in order; the first whose volume information can be read gives
// "%c%08X" (letter, serial). False with an empty code when no drive gives one.
bool ComputeMachineCode(std::string* code);

// The process-wide machine code: recomputed by each machine-bound key derivation.
std::string RefreshMachineCode();
std::string CurrentMachineCode();

// Milliseconds since 1970-01-01 UTC, taken after a 1 ms pause; never equal to the previous one.
uint64_t TimeStamp();

}  // namespace qz

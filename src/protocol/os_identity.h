// Classification of the running Windows into one OS code: one bit per generation and class.
#pragma once

#include <cstdint>

namespace qz {

// Bytes: client 32-bit, server 32-bit, client 64-bit, server 64-bit; within a byte, bit 0 XP/2003,
// bit 1 Vista/2008, bit 2 7/2008 R2, bit 3 8/2012, bit 4 8.1/2012 R2, bit 5 10/2016.
struct OsInformation {
  uint32_t osCode = 0;  // 0: not supported or not identified
  uint32_t servicePack = 0;
  bool is64Bit = false;
};

constexpr uint32_t kOsMaskXpFamily = 0x00010001;
constexpr uint32_t kOsMaskServer2003Family = 0x01000100;

// Fills info from the platform's version facts; false (OS code 0) when the version cannot be read,
// the platform is not NT, or the major version is 4 or lower.
bool IdentifyOs(OsInformation* info);

}  // namespace qz

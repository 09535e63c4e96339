// SHA-256 of memory, files and file regions, and the upper-case hex text of digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace qz {

using Digest = std::array<uint8_t, 32>;

constexpr size_t kDigestBlockSize = 1024;

Digest DigestMemory(std::span<const uint8_t> data);
Digest DigestMemory(std::string_view data);

// Reads the file in 1,024-byte blocks to its end. False when it cannot be opened or read.
bool DigestFile(std::string_view ansiPath, Digest* out);
bool DigestFile(std::u16string_view path, Digest* out);

// Digests exactly `length` bytes from the file's current position. Returns the number of bytes
// digested, or -1 on a short read (or a negative length).
int64_t DigestFileRegion(win::HANDLE file, int64_t length, Digest* out);

// Two upper-case characters per byte, high nibble first, stopping once `limit` characters are
// written (possibly after a high nibble). Returns the number written; `out` receives exactly those.
size_t HexEncode(std::span<const uint8_t> bytes, std::string* out, size_t limit);
std::string HexEncode(std::span<const uint8_t> bytes);

// Turns 64 hex characters into 32 bytes. A character below 'A' counts as a digit, any other as a
// letter from 'A', so lower-case letters give wrong values rather than an error. Fails when fewer
// than 64 characters come before the end or a zero character.
bool HexDecode64(std::string_view text, Digest* out);

}  // namespace qz

// Sealed registry values under a given cipher: the encodings (raw bytes, text with its
// terminator, DWORD, digest, the install folder). The programs reach them through SealedStore,
// which picks the key; this level is for the store and for tests that seal with a key of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/aes.h"
#include "crypto/digest.h"
#include "platform/types.h"

namespace qz {

// A sealed value that does not decrypt, decrypts to nothing or does not fit the caller's room.
inline constexpr win::LONG kSealedValueError = 592;
inline constexpr size_t kSealedBuffer = 4096;
// The serial's raw and cipher room.
inline constexpr size_t kSerialSealedBuffer = 256;

// Reads the raw data (at most rawLimit bytes) and decrypts it. 0 with the plain bytes, the registry
// error, or kSealedValueError (and no bytes) when it does not decrypt, decrypts to nothing or to
// more than capacity bytes.
win::LONG ReadSealedValue(IqzAES& cipher, win::HKEY key, std::string_view name, size_t capacity, std::string* plain,
                          size_t rawLimit = kSealedBuffer);
// Encrypts into cipherLimit bytes and stores REG_BINARY; kSealedValueError without touching the
// registry when that yields nothing.
win::LONG WriteSealedValue(IqzAES& cipher, win::HKEY key, std::string_view name, std::string_view plain,
                           size_t cipherLimit = kSealedBuffer);

// Text stored with its terminator; capacity counts the terminator. The text read ends at the first NUL.
win::LONG ReadSealedText(IqzAES& cipher, win::HKEY key, std::string_view name, size_t capacity, std::string* text,
                         size_t rawLimit = kSealedBuffer);
win::LONG WriteSealedText(IqzAES& cipher, win::HKEY key, std::string_view name, std::string_view text,
                          size_t cipherLimit = kSealedBuffer);
win::LONG ReadSealedDword(IqzAES& cipher, win::HKEY key, std::string_view name, uint32_t* value);
win::LONG WriteSealedDword(IqzAES& cipher, win::HKEY key, std::string_view name, uint32_t value);
// A 32-byte digest; fewer plain bytes leave the rest zero.
win::LONG ReadSealedDigest(IqzAES& cipher, win::HKEY key, std::string_view name, Digest* digest);
win::LONG WriteSealedDigest(IqzAES& cipher, win::HKEY key, std::string_view name, const Digest& digest);

// value02: false when it cannot be read; an empty text gives the expanded default folder.
bool ReadInstallFolder(IqzAES& cipher, win::HKEY common, std::u16string* folder);
// Stored as ANSI text with its terminator; false when it needs more than 260 bytes.
bool WriteInstallFolder(IqzAES& cipher, win::HKEY common, std::u16string_view folder);

}  // namespace qz

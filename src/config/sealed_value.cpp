#include "config/sealed_value.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "config/config_context.h"
#include "config/registry_keys.h"
#include "config/registry_layout.h"
#include "platform/platform.h"

namespace qz {

using namespace win;

namespace {

// Wipes plain text of a sealed value once it has served.
struct Wipe {
  std::vector<uint8_t>& buffer;
  ~Wipe() { OPENSSL_cleanse(buffer.data(), buffer.size()); }
};

}  // namespace

LONG ReadSealedValue(IqzAES& cipher, HKEY key, std::string_view name, size_t capacity, std::string* plain,
                     size_t rawLimit) {
  plain->clear();
  std::vector<uint8_t> raw(rawLimit);
  DWORD size = static_cast<DWORD>(raw.size());
  if (LONG rc = Registry().RegQueryValueExA(key, name, nullptr, raw.data(), &size)) return rc;
  std::vector<uint8_t> out(kSealedBuffer);
  Wipe wipe{out};
  const int n = cipher.Decrypt(out, std::span(raw.data(), size));
  if (n <= 0 || static_cast<size_t>(n) > capacity) return kSealedValueError;
  plain->assign(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
  return ERROR_SUCCESS;
}

LONG WriteSealedValue(IqzAES& cipher, HKEY key, std::string_view name, std::string_view plain, size_t cipherLimit) {
  std::vector<uint8_t> out(cipherLimit);
  const int n = cipher.Encrypt(out, std::span(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));
  if (n <= 0) return kSealedValueError;
  return Registry().RegSetValueExA(key, name, REG_BINARY, out.data(), static_cast<DWORD>(n));
}

LONG ReadSealedText(IqzAES& cipher, HKEY key, std::string_view name, size_t capacity, std::string* text,
                    size_t rawLimit) {
  LONG rc = ReadSealedValue(cipher, key, name, capacity, text, rawLimit);
  if (rc == ERROR_SUCCESS) text->resize(std::min(text->size(), text->find('\0')));
  return rc;
}

LONG WriteSealedText(IqzAES& cipher, HKEY key, std::string_view name, std::string_view text, size_t cipherLimit) {
  std::string plain(text);
  plain.push_back('\0');
  return WriteSealedValue(cipher, key, name, plain, cipherLimit);
}

LONG ReadSealedDword(IqzAES& cipher, HKEY key, std::string_view name, uint32_t* value) {
  std::string plain;
  LONG rc = ReadSealedValue(cipher, key, name, 4, &plain);
  if (rc) return rc;
  uint8_t b[4] = {};
  std::memcpy(b, plain.data(), plain.size());
  *value = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
  return ERROR_SUCCESS;
}

LONG WriteSealedDword(IqzAES& cipher, HKEY key, std::string_view name, uint32_t value) {
  const char b[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                     static_cast<char>(value >> 24)};
  return WriteSealedValue(cipher, key, name, std::string_view(b, 4));
}

LONG ReadSealedDigest(IqzAES& cipher, HKEY key, std::string_view name, Digest* digest) {
  std::string plain;
  LONG rc = ReadSealedValue(cipher, key, name, digest->size(), &plain);
  if (rc) return rc;
  digest->fill(0);
  std::memcpy(digest->data(), plain.data(), plain.size());
  return ERROR_SUCCESS;
}

LONG WriteSealedDigest(IqzAES& cipher, HKEY key, std::string_view name, const Digest& digest) {
  return WriteSealedValue(cipher, key, name, std::string_view(reinterpret_cast<const char*>(digest.data()), 32));
}

bool ReadInstallFolder(IqzAES& cipher, HKEY common, std::u16string* folder) {
  std::string ansi;
  if (ReadSealedText(cipher, common, kValueInstallFolder, kPathField, &ansi) != ERROR_SUCCESS) return false;
  *folder = ansi.empty() ? DefaultInstallFolder() : AnsiToWide(ansi);
  return true;
}

bool WriteInstallFolder(IqzAES& cipher, HKEY common, std::u16string_view folder) {
  const std::string ansi = WideToAnsi(folder);
  // A cut path would name another folder.
  if (ansi.size() + 1 > kPathField) return false;
  return WriteSealedText(cipher, common, kValueInstallFolder, ansi) == ERROR_SUCCESS;
}

}  // namespace qz

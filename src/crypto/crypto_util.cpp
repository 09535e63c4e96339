#include "crypto/crypto_util.h"

#include <algorithm>
#include <span>

#include "crypto/digest.h"

namespace qz {

namespace {

void PlaceKey(std::span<uint8_t> tmpl, std::span<const uint8_t, 64> positions, std::string_view key) {
  for (size_t i = 0; i < qzCryptoUtil::kKeyLength; ++i) {
    size_t from = positions[i];
    tmpl[i] = from < key.size() ? static_cast<uint8_t>(key[from]) : 0;
  }
}

template <size_t N>
bool KeyedDigest(const std::array<uint8_t, N>& tmpl, std::string* out, size_t outSize, uint64_t value) {
  if (outSize <= 64) return false;
  std::array<uint8_t, N> work = tmpl;
  for (size_t i = 0; i < 8; ++i) work[qzCryptoUtil::kValueOffset + i] = static_cast<uint8_t>(value >> (8 * i));
  Digest d = DigestMemory(work);
  std::string text;
  if (HexEncode(d, &text, outSize - 1) != 64) return false;
  *out = std::move(text);
  return true;
}

}  // namespace

qzCryptoUtil::qzCryptoUtil() {
  std::ranges::copy(secrets::TemplateA(), templateA_.begin());
  std::ranges::copy(secrets::TemplateB(), templateB_.begin());
}

void qzCryptoUtil::SetKeyA(std::string_view key) { PlaceKey(templateA_, secrets::PositionA(), key); }
void qzCryptoUtil::SetKeyB(std::string_view key) { PlaceKey(templateB_, secrets::PositionB(), key); }

bool qzCryptoUtil::DigestA(std::string* out, size_t outSize, uint64_t value) {
  return KeyedDigest(templateA_, out, outSize, value);
}

bool qzCryptoUtil::DigestB(std::string* out, size_t outSize, uint64_t value) {
  return KeyedDigest(templateB_, out, outSize, value);
}

}  // namespace qz

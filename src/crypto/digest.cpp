#include "crypto/digest.h"

#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "platform/platform.h"

namespace qz {

namespace {

const EVP_MD* Sha256() {
  // Fetched once; the implicit fetch of EVP_sha256() would repeat the lookup for every digest.
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

MdCtx NewSha256() {
  MdCtx ctx(EVP_MD_CTX_new());
  if (ctx && EVP_DigestInit_ex(ctx.get(), Sha256(), nullptr) != 1) ctx.reset();
  return ctx;
}

bool Finish(EVP_MD_CTX* ctx, Digest* out) {
  unsigned int len = 0;
  return EVP_DigestFinal_ex(ctx, out->data(), &len) == 1 && len == out->size();
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

Digest DigestMemory(std::span<const uint8_t> data) {
  Digest d{};
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), d.data(), &len, Sha256(), nullptr);
  return d;
}

Digest DigestMemory(std::string_view data) {
  return DigestMemory(std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
}

bool DigestFile(std::string_view ansiPath, Digest* out) { return DigestFile(win::AnsiToWide(ansiPath), out); }

bool DigestFile(std::u16string_view path, Digest* out) {
  win::HANDLE file = win::Files().CreateFileW(path, win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                              win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
  if (file == win::INVALID_HANDLE_VALUE) return false;
  MdCtx ctx = NewSha256();
  bool ok = ctx != nullptr;
  uint8_t block[kDigestBlockSize];
  while (ok) {
    win::DWORD got = 0;
    if (!win::Files().ReadFile(file, block, sizeof block, &got)) {
      // A read error must not pass for the digest of a shorter file.
      ok = false;
      break;
    }
    if (got == 0) break;
    ok = EVP_DigestUpdate(ctx.get(), block, got) == 1;
  }
  win::CloseHandle(file);
  return ok && Finish(ctx.get(), out);
}

int64_t DigestFileRegion(win::HANDLE file, int64_t length, Digest* out) {
  if (length < 0) return -1;
  MdCtx ctx = NewSha256();
  if (!ctx) return -1;
  uint8_t block[kDigestBlockSize];
  int64_t left = length;
  while (left > 0) {
    win::DWORD want = static_cast<win::DWORD>(left < int64_t{kDigestBlockSize} ? left : int64_t{kDigestBlockSize});
    win::DWORD got = 0;
    if (!win::Files().ReadFile(file, block, want, &got) || got != want) return -1;
    if (EVP_DigestUpdate(ctx.get(), block, got) != 1) return -1;
    left -= got;
  }
  return Finish(ctx.get(), out) ? length : -1;
}

size_t HexEncode(std::span<const uint8_t> bytes, std::string* out, size_t limit) {
  out->clear();
  for (uint8_t b : bytes) {
    if (out->size() >= limit) break;
    out->push_back(kHexDigits[b >> 4]);
    if (out->size() >= limit) break;
    out->push_back(kHexDigits[b & 0x0F]);
  }
  return out->size();
}

std::string HexEncode(std::span<const uint8_t> bytes) {
  std::string s;
  HexEncode(bytes, &s, bytes.size() * 2);
  return s;
}

bool HexDecode64(std::string_view text, Digest* out) {
  if (text.size() < 64) return false;
  auto value = [](char c) {
    int v = static_cast<unsigned char>(c);
    return v < 'A' ? v - '0' : v - 'A' + 10;
  };
  Digest d{};
  for (size_t i = 0; i < 32; ++i) {
    char hi = text[2 * i], lo = text[2 * i + 1];
    if (hi == '\0' || lo == '\0') return false;
    d[i] = static_cast<uint8_t>(value(hi) * 16 + value(lo));
  }
  *out = d;
  return true;
}

}  // namespace qz

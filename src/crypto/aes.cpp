#include "crypto/aes.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "crypto/digest.h"
#include "crypto/machine_code.h"
#include "crypto/secrets.h"
#include "platform/file_handle.h"
#include "platform/platform.h"

namespace qz {

namespace {

constexpr size_t kKeyTextBuffer = 1024;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

const EVP_CIPHER* CipherFor(int keyBits) {
  switch (keyBits) {
    case 128:
      return EVP_aes_128_cbc();
    case 192:
      return EVP_aes_192_cbc();
    default:
      return EVP_aes_256_cbc();
  }
}

class File {
 public:
  explicit File(win::HANDLE h) : h_(h) {}
  bool ok() const { return h_.IsOpen(); }
  bool Write(const void* data, size_t size) {
    win::DWORD written = 0;
    return win::Files().WriteFile(h_.get(), data, static_cast<win::DWORD>(size), &written) && written == size;
  }
  bool Read(void* data, size_t size) {
    win::DWORD got = 0;
    return win::Files().ReadFile(h_.get(), data, static_cast<win::DWORD>(size), &got) && got == size;
  }

 private:
  win::FileHandle h_;
};

}  // namespace

std::string FormatKeyText(std::string_view tmpl, std::initializer_list<std::string_view> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < tmpl.size(); ++i) {
    char c = tmpl[i];
    if (c == '%' && i + 1 < tmpl.size() && tmpl[i + 1] == '%') {
      out.push_back('%');
      ++i;
    } else if (c == '%' && i + 1 < tmpl.size() && tmpl[i + 1] == 's') {
      if (next != args.end()) {
        std::string_view arg = *next++;
        out.append(arg.substr(0, arg.find('\0')));  // %s stops at a terminator
      }
      ++i;
    } else {
      out.push_back(c);
    }
  }
  if (out.size() > kKeyTextBuffer - 1) out.resize(kKeyTextBuffer - 1);
  return out;
}

void qzAES::SetPassword(std::string_view password) {
  std::string code = MachineCode();
  std::string text = FormatKeyText(secrets::KeyTemplate(), {code, password});
  Digest d = DigestMemory(text);
  SetKeyInput(d);
}

void qzAES::SetKeyInput(std::span<const uint8_t, 32> input) {
  auto salt = secrets::Salt();
  EVP_BytesToKey(EVP_aes_256_cbc(), EVP_sha256(), salt.data(), input.data(), static_cast<int>(input.size()), 9,
                 key_.data(), iv_.data());
  keyBits_ = 256;
}

int qzAES::Run(bool encrypt, std::span<uint8_t> out, std::span<const uint8_t> in) const {
  if (in.size() > static_cast<size_t>(INT32_MAX) - 32) return -2;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), CipherFor(keyBits_), nullptr, key_.data(), iv_.data(), encrypt ? 1 : 0) != 1)
    return -1;
  // Worked in a buffer of its own so that a short out cannot be overrun.
  std::vector<uint8_t> work(in.size() + 16);
  int updated = 0;
  if (EVP_CipherUpdate(ctx.get(), work.data(), &updated, in.data(), static_cast<int>(in.size())) != 1) return -2;
  int finished = 0;
  if (EVP_CipherFinal_ex(ctx.get(), work.data() + updated, &finished) != 1) return -3;
  size_t total = static_cast<size_t>(updated) + static_cast<size_t>(finished);
  if (total > out.size()) return -3;
  std::copy_n(work.begin(), total, out.begin());
  OPENSSL_cleanse(work.data(), work.size());
  return static_cast<int>(total);
}

int qzAES::Encrypt(std::span<uint8_t> out, std::span<const uint8_t> in) { return Run(true, out, in); }
int qzAES::Decrypt(std::span<uint8_t> out, std::span<const uint8_t> in) { return Run(false, out, in); }

int qzAES::SaveEncrypted(std::string_view ansiPath, std::string_view text) {
  if (text.size() > kFileBufferSize - 1) return -11;
  std::vector<uint8_t> cipher(kFileBufferSize);
  int n = Encrypt(cipher, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  if (n < 0) return -11;
  File file(win::Files().CreateFileW(win::AnsiToWide(ansiPath), win::GENERIC_WRITE, 0, win::CREATE_ALWAYS,
                                     win::FILE_ATTRIBUTE_NORMAL));
  if (!file.ok()) return -13;
  uint8_t length[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                       static_cast<uint8_t>(n >> 24)};
  if (!file.Write(length, sizeof length) || !file.Write(cipher.data(), static_cast<size_t>(n))) return -15;
  return 0;
}

int qzAES::LoadEncrypted(std::string_view ansiPath, std::string* out, size_t outSize) {
  File file(win::Files().CreateFileW(win::AnsiToWide(ansiPath), win::GENERIC_READ,
                                     win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING,
                                     win::FILE_ATTRIBUTE_NORMAL));
  if (!file.ok()) return -1;
  uint8_t length[4];
  if (!file.Read(length, sizeof length)) return -14;
  int32_t n = static_cast<int32_t>(static_cast<uint32_t>(length[0]) | static_cast<uint32_t>(length[1]) << 8 |
                                   static_cast<uint32_t>(length[2]) << 16 | static_cast<uint32_t>(length[3]) << 24);
  // Refused before anything more is read: a negative length must not become a huge read.
  if (n < 0 || static_cast<size_t>(n) > kFileBufferSize) return -14;
  std::vector<uint8_t> cipher(static_cast<size_t>(n));
  if (n > 0 && !file.Read(cipher.data(), cipher.size())) return -14;
  std::vector<uint8_t> plain(kFileBufferSize);
  int m = Decrypt(plain, cipher);
  if (m < 0 || outSize == 0 || static_cast<size_t>(m) > outSize - 1) return -12;
  out->assign(reinterpret_cast<const char*>(plain.data()), static_cast<size_t>(m));
  OPENSSL_cleanse(plain.data(), plain.size());
  return 0;
}

}  // namespace qz

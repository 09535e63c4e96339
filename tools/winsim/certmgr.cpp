// certmgr.exe of a simulated machine: "-add FILE -c -s -r LocalMachine|CurrentUser STORE" puts a
// certificate (PEM or DER) into a system store where Windows keeps it:
// SOFTWARE\Microsoft\SystemCertificates\STORE\Certificates\<SHA-1 thumbprint>, value Blob.
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/text.h"

using namespace win;

namespace {

int Fail(const char* why) {
  std::printf("Error: %s\nCertMgr Failed\n", why);
  std::fflush(stdout);
  return -1;
}

bool ReadWholeFile(const std::u16string& path, std::vector<uint8_t>* out) {
  HANDLE h = Files().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE) return false;
  uint8_t buf[4096];
  DWORD n = 0;
  while (Files().ReadFile(h, buf, sizeof buf, &n) && n > 0) out->insert(out->end(), buf, buf + n);
  CloseHandle(h);
  return true;
}

// The DER bytes of the first certificate of a PEM text, or the bytes themselves when not PEM.
bool ToDer(const std::vector<uint8_t>& file, std::vector<uint8_t>* der) {
  std::string text(file.begin(), file.end());
  const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
  size_t b = text.find(begin);
  if (b == std::string::npos) {
    *der = file;
    return !file.empty() && file[0] == 0x30;
  }
  size_t e = text.find(end, b);
  if (e == std::string::npos) return false;
  std::string b64;
  for (size_t i = b + begin.size(); i < e; ++i) {
    char c = text[i];
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t') b64 += c;
  }
  if (b64.empty() || b64.size() % 4 != 0) return false;
  der->assign(b64.size() / 4 * 3, 0);
  int n = EVP_DecodeBlock(der->data(), reinterpret_cast<const unsigned char*>(b64.data()), static_cast<int>(b64.size()));
  if (n < 0) return false;
  size_t pad = (b64.back() == '=') + (b64.size() > 1 && b64[b64.size() - 2] == '=');
  der->resize(static_cast<size_t>(n) - pad);
  return true;
}

}  // namespace

int wWinMain(HINSTANCE, HINSTANCE, char16_t* cmdLine, int) {
  auto argv = CommandLineToArgv(u"certmgr " + std::u16string(cmdLine));
  std::u16string file, location = u"CurrentUser", store;
  bool add = false, system = false;
  for (size_t i = 1; i < argv.size(); ++i) {
    std::u16string a = FoldCase(argv[i]);
    if (a == u"-ADD" && i + 1 < argv.size()) {
      add = true;
      file = argv[++i];
    } else if (a == u"-C") {
      // the file holds a certificate
    } else if (a == u"-S") {
      system = true;
    } else if (a == u"-R" && i + 1 < argv.size()) {
      location = argv[++i];
    } else if (!a.empty() && a[0] != u'-') {
      store = argv[i];
    } else {
      return Fail("Invalid argument");
    }
  }
  if (!add || file.empty() || store.empty() || !system) return Fail("Invalid argument");
  HKEY root;
  if (EqualsNoCase(location, u"LocalMachine")) {
    root = HKEY_LOCAL_MACHINE;
  } else if (EqualsNoCase(location, u"CurrentUser")) {
    root = HKEY_CURRENT_USER;
  } else {
    return Fail("Invalid argument");
  }
  std::vector<uint8_t> bytes, der;
  if (!ReadWholeFile(file, &bytes)) return Fail("Failed to open the source file");
  if (!ToDer(bytes, &der)) return Fail("Failed to decode the certificate");
  uint8_t sha1[SHA_DIGEST_LENGTH];
  SHA1(der.data(), der.size(), sha1);
  std::string thumb;
  for (uint8_t b : sha1) thumb += FmtA("%02X", b);
  HKEY k = nullptr;
  std::u16string path = u"SOFTWARE\\Microsoft\\SystemCertificates\\" + store + u"\\Certificates\\" + Utf8ToWide(thumb);
  if (Registry().RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &k, nullptr) !=
      ERROR_SUCCESS) {
    return Fail("Failed to save to the destination store");
  }
  LONG rc = Registry().RegSetValueExW(k, u"Blob", REG_BINARY, der.data(), static_cast<DWORD>(der.size()));
  Registry().RegCloseKey(k);
  if (rc != ERROR_SUCCESS) return Fail("Failed to save to the destination store");
  std::printf("CertMgr Succeeded\n");
  std::fflush(stdout);
  return 0;
}

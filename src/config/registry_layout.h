// The agent's registry tree under HKEY_LOCAL_MACHINE and the helpers both programs use on it:
// sealed values, the install folder, the key tree, the installer's outcome, the start-up read of
// the site settings and the clean-up of outdated InformalSw policies.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/config_context.h"
#include "crypto/aes.h"
#include "platform/registry.h"
#include "platform/types.h"

namespace qz {

// Key paths, relative to HKEY_LOCAL_MACHINE (a 32-bit program sees SOFTWARE in the 32-bit view).
inline constexpr char16_t kProductKey[] = u"SOFTWARE\\Varnholt\\KSM";
inline constexpr char16_t kClientKey[] = u"SOFTWARE\\Varnholt\\KSM\\Client";
inline constexpr char16_t kFontKey[] = u"SOFTWARE\\Varnholt\\KSM\\Current\\Font";
inline constexpr char16_t kPatchKey[] = u"SOFTWARE\\Varnholt\\KSM\\Current\\Patch";
inline constexpr char16_t kCurrentInformalSwKey[] = u"SOFTWARE\\Varnholt\\KSM\\Current\\InformalSw";
inline constexpr char16_t kPolicyInformalSwKey[] = u"SOFTWARE\\Varnholt\\KSM\\Policy\\InformalSw";
inline constexpr char16_t kAgentKey[] = u"SOFTWARE\\Varnholt\\KSM\\Agent";
inline constexpr char16_t kCommonKey[] = u"SOFTWARE\\Varnholt\\KSM\\Common";
inline constexpr char16_t kPcKeeperKey[] = u"SOFTWARE\\Varnholt\\KSM\\PcKeeper";
inline constexpr char16_t kInstallKey[] = u"SOFTWARE\\Varnholt\\KSM\\Install";
// Outside the product tree, so it survives an uninstall.
inline constexpr char16_t kBackupKey[] = u"SYSTEM\\Software\\Varnholt\\KSM";

inline constexpr char16_t kProductName[] = u"VH-KSM V2.1";
inline constexpr char16_t kDefaultInstallFolder[] = u"%ProgramFiles%\\varnholt\\KSM";

// Common values.
inline constexpr char kValueClientId[] = "value01";
inline constexpr char kValueInstallFolder[] = "value02";
inline constexpr char kValueServer[] = "value03";
inline constexpr char kValueHttpPort[] = "value04";
inline constexpr char kValueHttpsPort[] = "value05";
inline constexpr char kValueSerial[] = "value06";
inline constexpr char kValueAgentGuid[] = "value08";
inline constexpr char kValueConfigDigest[] = "value09";
inline constexpr char kValueDefinitionDigest[] = "value10";
inline constexpr char kValuePkServer[] = "value11";
inline constexpr char kValueMenu[] = "value12";
inline constexpr char kValueSlot01[] = "slot01";
inline constexpr char kValueBackupGuid[] = "UUID";

// A sealed value that does not decrypt, decrypts to nothing or does not fit the caller's room.
inline constexpr win::LONG kSealedValueError = 592;
inline constexpr size_t kSealedBuffer = 4096;
// The serial's raw and cipher room.
inline constexpr size_t kSerialSealedBuffer = 256;

// Closes the key it holds.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(win::HKEY key) : key_(key) {}
  ~RegKey() { Close(); }
  RegKey(RegKey&& o) noexcept : key_(o.release()) {}
  RegKey& operator=(RegKey&& o) noexcept {
    if (this != &o) {
      Close();
      key_ = o.release();
    }
    return *this;
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  win::HKEY get() const { return key_; }
  win::HKEY* put() {
    Close();
    return &key_;
  }
  win::HKEY release() {
    win::HKEY k = key_;
    key_ = nullptr;
    return k;
  }
  void Close();
  explicit operator bool() const { return key_ != nullptr; }

 private:
  win::HKEY key_ = nullptr;
};

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
std::u16string DefaultInstallFolder();

// Opens HKLM\subKey, or creates it when it does not open.
win::LONG OpenOrCreateKey(std::u16string_view subKey, win::HKEY* key);

// Builds the product tree with Product and hands back the open Common key. 0, or the step that
// failed: 1 product key, 2 Product, 3..8 Client, Font, Patch, Current\InformalSw,
// Policy\InformalSw, Agent, 9 Common.
int CreateKeyTree(RegKey* common);

// Install\value01 (REG_SZ with its terminator). False when the key does not open or text is null.
bool WriteInstallerOutcome(const char16_t* text);

// Start of every updater mode but install: 0, or 1 (Common does not open), 2 (no install folder
// while a serial is registered), 3 (neither), 4 (server), 5 (HTTP port), 6 (HTTPS port).
int ReadSiteSettings(ConfigContext& ctx);

// Deletes Policy\InformalSw when one of its subkeys has no slot01. False only when that deletion fails.
bool CleanInformalSwPolicy();

}  // namespace qz

// The simulated registry seen from outside any program of the machine: the account SIDs that name
// the user hives, and whole-path helpers for the winsim command and tests. The helpers work on the
// native (64-bit) view and return Windows error codes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace winsim {

// LocalSystem's hive: HKEY_CURRENT_USER of services.
inline constexpr char16_t kSystemSid[] = u"S-1-5-18";

// SID of a local account of the simulated machine: Administrator is RID 500 as on Windows, any other
// account the first user RID 1001. One fixed machine part keeps every machine's hives predictable.
std::u16string UserSid(std::string_view userName);

// Key paths: "HKLM\SOFTWARE\...", "HKEY_LOCAL_MACHINE\...", "HKU\...", "HKEY_USERS\...",
// "HKCR\..." (= HKLM\SOFTWARE\Classes), "HKCU\..." (the machine user's hive); UTF-8.

// Readable text of a subtree: "[key path]" lines, each followed by its values as
// `"name" = REG_TYPE: data` (strings quoted with escapes, DWORD as 0x%08X (decimal), binary as hex
// bytes with their length), then its subkeys in enumeration order. *error (optional) gets 0 or the
// Windows error (2 when the key is missing); the text is empty then.
std::string ExportRegistry(const std::string& root, const std::string& keyPath, long* error = nullptr);

// One value's line (valueName given; "" is the default value) or the key's values and subkey names.
long QueryRegistry(const std::string& root, const std::string& keyPath, const std::optional<std::string>& valueName,
                   std::string* text);

// Sets a value, creating the key path. type: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,
// REG_QWORD, REG_BINARY, REG_NONE. data:
//   strings: text with the export's escapes (\\ \" \0 \n \r \t \xHH), stored as UTF-16 with its
//            terminator; REG_MULTI_SZ items are separated by \0;
//   "ansi:TEXT" for string types: TEXT (escapes applied) in the machine's ANSI code page, written
//            as an ANSI program writes it, without an added terminator;
//   numbers: decimal or 0x hex; binary: hex bytes, blanks and commas allowed;
//   "hex:..." for any type: exactly those bytes.
// 87 for a type or data that cannot be read.
long SetRegistryValue(const std::string& root, const std::string& keyPath, const std::string& valueName,
                      const std::string& type, const std::string& data);

// Deletes the key and everything below it (2 when missing).
long DeleteRegistryKey(const std::string& root, const std::string& keyPath);
long DeleteRegistryValue(const std::string& root, const std::string& keyPath, const std::string& valueName);

}  // namespace winsim

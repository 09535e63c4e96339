#include "crypto/module_name.h"

#include <array>

namespace qz {

namespace {

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool SameLetters(std::u16string_view a, std::u16string_view lowered) {
  if (a.size() != lowered.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != lowered[i]) return false;
  }
  return true;
}

// Windows opens the device whatever follows the first dot, and ignores blanks before it.
bool IsDeviceName(std::u16string_view name) {
  std::u16string_view stem = name.substr(0, name.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
  static constexpr std::array<std::u16string_view, 4> kPlain = {u"con", u"prn", u"aux", u"nul"};
  for (auto d : kPlain) {
    if (SameLetters(stem, d)) return true;
  }
  if (stem.size() != 4 || stem[3] < u'1' || stem[3] > u'9') return false;
  return SameLetters(stem.substr(0, 3), u"com") || SameLetters(stem.substr(0, 3), u"lpt");
}

bool EndsWithPartNumber(std::u16string_view name) {
  size_t digits = 0;
  while (digits < name.size() && name[name.size() - 1 - digits] >= u'0' && name[name.size() - 1 - digits] <= u'9')
    ++digits;
  if (digits == 0 || name.size() < digits + 2) return false;
  const std::u16string_view before = name.substr(name.size() - digits - 2, 2);
  return before[0] == u'.' && Lower(before[1]) == u'r';
}

}  // namespace

bool IsPlainFileName(std::u16string_view name) {
  if (name.empty() || name.size() > kModuleNameMax || name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) return false;
  }
  return true;
}

std::string_view ModuleNameRefusal(std::u16string_view name) {
  if (name.empty()) return "empty";
  if (name.size() > kModuleNameMax) return "longer than 79 characters";
  if (!IsPlainFileName(name))
    return name == u"." || name == u".." ? "a folder, not a file"
                                         : "holds a separator, wildcard or control character (\\ / : * ? \" < > |)";
  if (name[0] == u'.') return "begins with '.'";
  if (SameLetters(name, u"module") || SameLetters(name, u"logs")) return "the name of a folder of the agent";
  if (IsDeviceName(name)) return "a Windows device name";
  if (EndsWithPartNumber(name)) return "ends with .r and digits, as the agent's backups do";
  return {};
}

}  // namespace qz

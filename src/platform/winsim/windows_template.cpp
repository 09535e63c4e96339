// Dialog templates in their text form (see windows_internal.h).
#include <cstdlib>
#include <map>
#include <sstream>

#include "platform/text.h"
#include "platform/winsim/windows_internal.h"

namespace winsim {

using namespace win;

namespace {

const std::map<std::string, DWORD>& StyleNames() {
  static const std::map<std::string, DWORD> names = {
      {"WS_POPUP", WS_POPUP},       {"WS_CHILD", WS_CHILD},
      {"WS_VISIBLE", WS_VISIBLE},   {"WS_DISABLED", WS_DISABLED},
      {"WS_CAPTION", WS_CAPTION},   {"WS_BORDER", WS_BORDER},
      {"WS_SYSMENU", WS_SYSMENU},   {"WS_TABSTOP", WS_TABSTOP},
      {"WS_EX_TOPMOST", WS_EX_TOPMOST},
      {"DS_SETFONT", DS_SETFONT},   {"DS_MODALFRAME", DS_MODALFRAME},
      {"DS_FIXEDSYS", DS_FIXEDSYS}, {"DS_CENTER", DS_CENTER},
      {"BS_PUSHBUTTON", BS_PUSHBUTTON}, {"BS_DEFPUSHBUTTON", BS_DEFPUSHBUTTON},
      {"BS_BITMAP", BS_BITMAP},     {"SS_LEFT", SS_LEFT},
      {"SS_CENTER", SS_CENTER},     {"SS_RIGHT", SS_RIGHT},
      {"SS_BITMAP", SS_BITMAP},     {"SS_NOTIFY", SS_NOTIFY},
      {"SS_REALSIZECONTROL", SS_REALSIZECONTROL}, {"SS_ENDELLIPSIS", SS_ENDELLIPSIS},
  };
  return names;
}

bool ParseFlags(const std::string& text, DWORD* out) {
  *out = 0;
  std::string part;
  std::istringstream in(text);
  bool any = false;
  while (std::getline(in, part, '|')) {
    size_t a = part.find_first_not_of(" \t"), b = part.find_last_not_of(" \t");
    if (a == std::string::npos) return false;
    part = part.substr(a, b - a + 1);
    auto it = StyleNames().find(part);
    if (it != StyleNames().end()) {
      *out |= it->second;
    } else {
      char* end = nullptr;
      unsigned long v = std::strtoul(part.c_str(), &end, 0);
      if (!end || *end || v > 0xFFFFFFFFul) return false;
      *out |= static_cast<DWORD>(v);
    }
    any = true;
  }
  return any;
}

// Reads a whitespace-free token; flags may not hold blanks around '|' in control lines.
bool Token(std::istringstream& in, std::string* out) { return static_cast<bool>(in >> *out); }

bool Int(std::istringstream& in, int* out) {
  std::string t;
  if (!Token(in, &t)) return false;
  char* end = nullptr;
  long v = std::strtol(t.c_str(), &end, 10);
  if (!end || *end || v < -32768 || v > 65535) return false;
  *out = static_cast<int>(v);
  return true;
}

// A quoted text with \" \\ \n escapes; the rest of the line after it must be empty.
bool Quoted(std::istringstream& in, std::u16string* out) {
  in >> std::ws;
  if (in.get() != '"') return false;
  std::string utf8;
  for (int c; (c = in.get()) != EOF;) {
    if (c == '"') {
      std::string rest;
      if (in >> rest) return false;
      *out = Utf8ToWide(utf8);
      return true;
    }
    if (c == '\\') {
      int n = in.get();
      if (n == 'n') utf8 += '\n';
      else if (n == '"' || n == '\\') utf8 += static_cast<char>(n);
      else return false;
    } else {
      utf8 += static_cast<char>(c);
    }
  }
  return false;
}

}  // namespace

bool ParseDialogTemplate(const std::string& text, DialogTemplate* out, std::string* why) {
  *out = DialogTemplate{};
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  bool sized = false;
  auto fail = [&](const std::string& what) {
    *why = "line " + std::to_string(number) + ": " + what;
    return false;
  };
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == ';') continue;
    std::istringstream in(line.substr(start));
    std::string key;
    Token(in, &key);
    if (key == "DIALOG") {
      if (!Int(in, &out->w) || !Int(in, &out->h) || out->w <= 0 || out->h <= 0) return fail("DIALOG w h");
      sized = true;
    } else if (key == "POS") {
      if (!Int(in, &out->x) || !Int(in, &out->y)) return fail("POS x y");
    } else if (key == "STYLE" || key == "EXSTYLE") {
      std::string rest;
      std::getline(in, rest);
      if (!ParseFlags(rest, key == "STYLE" ? &out->style : &out->exStyle)) return fail("bad " + key);
    } else if (key == "CAPTION") {
      if (!Quoted(in, &out->caption)) return fail("CAPTION \"text\"");
    } else if (key == "FONT") {
      if (!Int(in, &out->fontPoints) || out->fontPoints <= 0 || !Quoted(in, &out->fontFace)) {
        return fail("FONT points \"face\"");
      }
    } else if (key == "CONTROL") {
      DialogTemplate::Item item;
      std::string cls, flags;
      if (!Int(in, &item.id) || !Token(in, &cls) || !Token(in, &flags) || !ParseFlags(flags, &item.style) ||
          !Int(in, &item.x) || !Int(in, &item.y) || !Int(in, &item.w) || !Int(in, &item.h) ||
          !Quoted(in, &item.text)) {
        return fail("CONTROL id class flags x y w h \"text\"");
      }
      item.cls = Utf8ToWide(cls);
      out->items.push_back(std::move(item));
    } else {
      return fail("unknown statement " + key);
    }
  }
  if (!sized) {
    *why = "no DIALOG line";
    return false;
  }
  if ((out->style & DS_SETFONT) && out->fontFace.empty()) {
    *why = "DS_SETFONT without FONT";
    return false;
  }
  return true;
}

}  // namespace winsim

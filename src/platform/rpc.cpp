// String bindings and UUID text, the same on every backend.
#include "platform/rpc.h"

#include <cstdio>

namespace win {

namespace {
int HexVal(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

RPC_STATUS UuidFromStringA(std::string_view text, GUID* uuid) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
    return RPC_S_INVALID_STRING_UUID;
  }
  uint8_t b[16];
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '-') {
      ++i;
      continue;
    }
    int hi = HexVal(text[i]), lo = i + 1 < text.size() ? HexVal(text[i + 1]) : -1;
    if (hi < 0 || lo < 0 || n >= 16) return RPC_S_INVALID_STRING_UUID;
    b[n++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  if (n != 16) return RPC_S_INVALID_STRING_UUID;
  uuid->Data1 = static_cast<DWORD>(b[0]) << 24 | static_cast<DWORD>(b[1]) << 16 | static_cast<DWORD>(b[2]) << 8 | b[3];
  uuid->Data2 = static_cast<WORD>(b[4] << 8 | b[5]);
  uuid->Data3 = static_cast<WORD>(b[6] << 8 | b[7]);
  for (int i = 0; i < 8; ++i) uuid->Data4[i] = b[8 + i];
  return RPC_S_OK;
}

std::string UuidToStringA(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::string ComposeStringBinding(std::string_view objUuid, std::string_view protSeq, std::string_view networkAddr,
                                 std::string_view endpoint, std::string_view options) {
  std::string s;
  if (!objUuid.empty()) {
    s += objUuid;
    s += '@';
  }
  s += protSeq;
  s += ':';
  s += networkAddr;
  if (!endpoint.empty() || !options.empty()) {
    s += '[';
    s += endpoint;
    if (!options.empty()) {
      s += ',';
      s += options;
    }
    s += ']';
  }
  return s;
}

RPC_STATUS ParseStringBinding(std::string_view text, StringBindingParts* parts) {
  *parts = {};
  size_t at = text.find('@');
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return RPC_S_INVALID_STRING_BINDING;
  if (at != std::string_view::npos && at < colon) {
    parts->objUuid = std::string(text.substr(0, at));
    GUID g;
    if (UuidFromStringA(parts->objUuid, &g) != RPC_S_OK) return RPC_S_INVALID_STRING_UUID;
    text.remove_prefix(at + 1);
    colon = text.find(':');
  }
  parts->protSeq = std::string(text.substr(0, colon));
  text.remove_prefix(colon + 1);
  size_t open = text.find('[');
  parts->networkAddr = std::string(text.substr(0, open));
  if (open != std::string_view::npos) {
    size_t close = text.find(']', open);
    if (close == std::string_view::npos || close + 1 != text.size()) return RPC_S_INVALID_STRING_BINDING;
    std::string_view inside = text.substr(open + 1, close - open - 1);
    size_t comma = inside.find(',');
    parts->endpoint = std::string(inside.substr(0, comma));
    if (comma != std::string_view::npos) parts->options = std::string(inside.substr(comma + 1));
  }
  if (parts->protSeq.empty()) return RPC_S_INVALID_STRING_BINDING;
  return RPC_S_OK;
}

}  // namespace win

// Built-in secrets shared with the management server and the log reader. The values live in one
// generated source file (tools/secretgen); everything else reaches them through these accessors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qz::secrets {

constexpr size_t kTemplateASize = 242;
constexpr size_t kTemplateBSize = 244;

// Digest templates of the request signing and their key position tables (permutations of 0-63).
std::span<const uint8_t, kTemplateASize> TemplateA();
std::span<const uint8_t, kTemplateBSize> TemplateB();
std::span<const uint8_t, 64> PositionA();
std::span<const uint8_t, 64> PositionB();

// Key derivation salt: a GUID in its binary form; the derivation uses its first 8 bytes.
std::span<const uint8_t, 16> Salt();
// 85 characters, printf-style: "%s" machine code, then "%s" password.
std::string_view KeyTemplate();
// Digest input of the key that opens encrypted certificates.
std::span<const uint8_t, 32> CertKeyInput();
// 94 bytes, printf-style with one "%s" for the log password.
std::string_view LogKeyTemplate();
std::string_view LogPassword();

}  // namespace qz::secrets

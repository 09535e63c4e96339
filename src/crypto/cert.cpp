#include "crypto/cert.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "crypto/digest.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

namespace {

constexpr uint8_t kSha256WithRsa[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                      0xF7, 0x0D, 0x01, 0x01, 0x0B, 0x05, 0x00};
constexpr uint8_t kRsaEncryption[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                      0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
constexpr uint8_t kVersion3[] = {0xA0, 0x03, 0x02, 0x01, 0x02};
constexpr uint8_t kValidity[] = {0x30, 0x1E};
constexpr uint8_t kUtcTime[] = {0x17, 0x0D};
constexpr uint8_t kModulusWithZero[] = {0x02, 0x82, 0x01, 0x01, 0x00};
constexpr uint8_t kModulus[] = {0x02, 0x82, 0x01, 0x00};
constexpr uint8_t kExponent[] = {0x02, 0x03, 0x01, 0x00, 0x01};
constexpr uint8_t kExtensionOid[] = {0x06, 0x03, 0x55, 0x1D};
constexpr uint8_t kSignatureHeader[] = {0x03, 0x82, 0x01, 0x01, 0x00};
constexpr uint8_t kUpnOid[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x14, 0x02, 0x03};
constexpr uint8_t kCountryOid[] = {0x55, 0x04, 0x06};
constexpr uint8_t kOrganisationOid[] = {0x55, 0x04, 0x0A};
constexpr uint8_t kDigestInfoSha256[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

constexpr uint8_t kSubjectKeyId = 0x0E;
constexpr uint8_t kAuthorityKeyId = 0x23;
constexpr uint8_t kSubjectAltName = 0x11;
constexpr uint8_t kCrlPoints = 0x1F;

constexpr size_t kModulusBytes = 256;
constexpr size_t kMaxSerialBytes = 11;
constexpr size_t kMaxKeyIdBytes = 23;
constexpr size_t kMaxText = 79;
constexpr size_t kMaxCrlUri = 79;
constexpr size_t kMaxPemFile = 1 << 20;

// A bounded cursor over DER data: every element must lie inside its parent.
class Der {
 public:
  Der() = default;
  Der(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}

  bool empty() const { return p_ == end_; }
  size_t size() const { return static_cast<size_t>(end_ - p_); }
  const uint8_t* pos() const { return p_; }
  std::span<const uint8_t> bytes() const { return {p_, size()}; }
  int Peek(size_t at = 0) const { return at < size() ? p_[at] : -1; }

  bool Expect(std::span<const uint8_t> want) {
    if (size() < want.size() || !std::equal(want.begin(), want.end(), p_)) return false;
    p_ += want.size();
    return true;
  }
  bool Take(size_t n, std::span<const uint8_t>* out) {
    if (size() < n) return false;
    *out = {p_, n};
    p_ += n;
    return true;
  }
  // Any element with a one-byte tag; its content becomes a cursor of its own.
  bool Any(uint8_t* tag, Der* content) {
    if (empty() || (p_[0] & 0x1F) == 0x1F) return false;
    *tag = p_[0];
    const uint8_t* q = p_ + 1;
    size_t len = 0;
    if (q == end_) return false;
    uint8_t first = *q++;
    if (first < 0x80) {
      len = first;
    } else {
      size_t count = first & 0x7F;
      if (count == 0 || count > 4 || static_cast<size_t>(end_ - q) < count) return false;
      for (size_t i = 0; i < count; ++i) len = (len << 8) | *q++;
    }
    if (static_cast<size_t>(end_ - q) < len) return false;
    *content = Der(q, len);
    p_ = q + len;
    return true;
  }
  bool Element(uint8_t tag, Der* content) {
    uint8_t got = 0;
    Der saved = *this;
    if (Any(&got, content) && got == tag) return true;
    *this = saved;
    return false;
  }

 private:
  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
};

bool Equal(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Serial numbers drop one leading zero byte (the sign byte of a positive INTEGER).
std::span<const uint8_t> SerialBytes(std::span<const uint8_t> s) {
  return s.size() > 1 && s[0] == 0 ? s.subspan(1) : s;
}

std::string NameText(std::string_view organisation, std::string_view country) {
  std::string text = std::string(organisation) + ", " + std::string(country);
  if (text.size() > kMaxText) text.resize(kMaxText);
  return text;
}

// Organisation and country of a Name; every other attribute is skipped.
bool ParseName(Der& parent, std::string* text) {
  Der name;
  if (!parent.Element(0x30, &name)) return false;
  bool haveOrg = false, haveCountry = false;
  std::string organisation, country;
  while (!name.empty()) {
    Der set;
    if (!name.Element(0x31, &set)) return false;
    while (!set.empty()) {
      Der atv, oid, value;
      uint8_t tag = 0;
      if (!set.Element(0x30, &atv) || !atv.Element(0x06, &oid) || !atv.Any(&tag, &value) || !atv.empty())
        return false;
      const bool isCountry = Equal(oid.bytes(), kCountryOid);
      const bool isOrg = Equal(oid.bytes(), kOrganisationOid);
      if (!isCountry && !isOrg) continue;
      if (tag != 0x13 && tag != 0x0C) return false;
      std::string v(reinterpret_cast<const char*>(value.pos()), value.size());
      if (isCountry) {
        country = std::move(v);
        haveCountry = true;
      } else {
        organisation = std::move(v);
        haveOrg = true;
      }
    }
  }
  if (!haveOrg || !haveCountry) return false;
  *text = NameText(organisation, country);
  return true;
}

bool ParseUtcTime(Der& in, std::string* text) {
  std::span<const uint8_t> t;
  if (!in.Expect(kUtcTime) || !in.Take(13, &t) || t[12] != 'Z') return false;
  for (size_t i = 0; i < 12; ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
  }
  text->assign(reinterpret_cast<const char*>(t.data()), 12);
  return true;
}

std::string NowText() {
  win::SYSTEMTIME st = win::Time().GetSystemTime();
  return win::FmtA("%02d%02d%02d%02d%02d%02d", st.wYear % 100, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// The lines as a 80-byte fgets buffer returns them: at most 79 characters, a longer line in pieces.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  bool Next(std::string_view* line) {
    if (at_ >= text_.size()) return false;
    size_t n = std::min(kMaxLine, text_.size() - at_);
    size_t nl = text_.substr(at_, n).find('\n');
    if (nl != std::string_view::npos) n = nl + 1;
    std::string_view l = text_.substr(at_, n);
    at_ += n;
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.remove_suffix(1);
    *line = l;
    return true;
  }

 private:
  static constexpr size_t kMaxLine = qzRSACert::kMaxLine;
  std::string_view text_;
  size_t at_ = 0;
};

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Groups of four until the first character outside the alphabet; a group cut short by anything
// but padding is damage, not an end.
bool DecodeBase64Line(std::string_view line, std::string* out) {
  size_t i = 0;
  while (i < line.size() && Base64Value(line[i]) >= 0) {
    int v[4] = {0, 0, 0, 0};
    int valid = 0;
    bool padded = false;
    for (int k = 0; k < 4; ++k) {
      char c = i + k < line.size() ? line[i + k] : '\0';
      int x = Base64Value(c);
      if (x >= 0 && !padded) {
        v[k] = x;
        ++valid;
      } else if (c == '=' && k >= 2) {
        padded = true;
      } else {
        return false;
      }
    }
    out->push_back(static_cast<char>((v[0] << 2) | (v[1] >> 4)));
    if (valid >= 3) out->push_back(static_cast<char>(((v[1] & 0x0F) << 4) | (v[2] >> 2)));
    if (valid == 4) out->push_back(static_cast<char>(((v[2] & 0x03) << 6) | v[3]));
    if (padded) break;
    i += 4;
  }
  return true;
}

}  // namespace

void qzRSACert::Clear() {
  serial_.clear();
  subjectKeyId_.clear();
  userPrincipalName_.clear();
  notBefore_.clear();
  notAfter_.clear();
  issuer_.clear();
  subject_.clear();
}

int qzRSACert::DecodePem(std::string_view text, std::string* der, size_t block) const {
  der->clear();
  LineReader lines(text);
  std::string_view line;
  bool found = false;
  while (lines.Next(&line)) {
    if (line.empty() || line[0] == '-') {
      found = true;
      break;
    }
  }
  if (!found) return kNoPemBlock;
  for (size_t index = 0;; ++index) {
    bool encrypted;
    if (StartsWith(line, "-----BEGIN CERTIFICATE-----")) {
      encrypted = false;
    } else if (StartsWith(line, "-----BEGIN ENCRYPTED CERTIFICATE-----")) {
      encrypted = true;
    } else {
      return kNoPemBlock;
    }
    std::string decoded;
    bool first = true;
    while (lines.Next(&line)) {
      if (first && StartsWith(line, "Proc-Type:")) return kNoPemBlock;
      first = false;
      if (line.empty() || line[0] == '-') break;
      if (!DecodeBase64Line(line, &decoded) || decoded.size() > kMaxDecoded) return kNoPemBlock;
    }
    if (decoded.empty()) return kNoPemBlock;
    if (index == block) {
      if (!encrypted) {
        *der = std::move(decoded);
        return 0;
      }
      if (!certificateCipher_) return kNoPemBlock;
      std::vector<uint8_t> plain(kDerBufferSize);
      int n = certificateCipher_->Decrypt(plain,
                                          std::span(reinterpret_cast<const uint8_t*>(decoded.data()), decoded.size()));
      if (n <= 0) return kNoPemBlock;
      der->assign(reinterpret_cast<const char*>(plain.data()), static_cast<size_t>(n));
      return 0;
    }
    // Later blocks each start at their own BEGIN line.
    found = false;
    while (lines.Next(&line)) {
      if (StartsWith(line, "-----BEGIN ")) {
        found = true;
        break;
      }
    }
    if (!found) return kNoPemBlock;
  }
}

int qzRSACert::ReadPem(std::string_view ansiPath, std::string* der) const {
  win::HANDLE file = win::Files().CreateFileW(win::AnsiToWide(ansiPath), win::GENERIC_READ, win::FILE_SHARE_READ,
                                              win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
  if (file == win::INVALID_HANDLE_VALUE) return kCannotOpen;
  std::string text;
  char block[4096];
  while (text.size() < kMaxPemFile) {
    win::DWORD got = 0;
    if (!win::Files().ReadFile(file, block, sizeof block, &got) || got == 0) break;
    text.append(block, got);
  }
  win::CloseHandle(file);
  return DecodePem(text, der);
}

int qzRSACert::Load(std::string_view ansiPath, const IRSACert* ca) {
  std::string der;
  int r = ReadPem(ansiPath, &der);
  if (r != 0) return r;
  return Parse(std::span(reinterpret_cast<const uint8_t*>(der.data()), der.size()), ca);
}

int qzRSACert::Parse(std::span<const uint8_t> data, const IRSACert* ca) {
  Clear();
  Der in(data.data(), data.size());
  Der cert, tbs;
  if (!in.Element(0x30, &cert) || !in.empty()) return kFormatError;
  // The signature covers the tbsCertificate's header too; a CA check wants its two-byte length form.
  const uint8_t* tbsStart = cert.pos();
  if (ca && (cert.Peek(0) != 0x30 || cert.Peek(1) != 0x82)) return kFormatError;
  if (!cert.Element(0x30, &tbs)) return kFormatError;
  const std::span<const uint8_t> tbsBytes(tbsStart, static_cast<size_t>(cert.pos() - tbsStart));

  Der serial;
  if (!tbs.Expect(kVersion3) || !tbs.Element(0x02, &serial) || serial.empty()) return kFormatError;
  std::span<const uint8_t> serialBytes = SerialBytes(serial.bytes());
  if (serialBytes.size() > kMaxSerialBytes) return kFormatError;
  serial_ = HexEncode(serialBytes);
  if (!tbs.Expect(kSha256WithRsa) || !ParseName(tbs, &issuer_)) return kFormatError;
  if (!tbs.Expect(kValidity) || !ParseUtcTime(tbs, &notBefore_) || !ParseUtcTime(tbs, &notAfter_))
    return kFormatError;
  const std::string now = NowText();
  if (now < notBefore_ || now > notAfter_) return kNotValidNow;
  if (!ParseName(tbs, &subject_)) return kFormatError;

  Der spki, bitString, rsaKey;
  std::span<const uint8_t> modulus;
  if (!tbs.Element(0x30, &spki) || !spki.Expect(kRsaEncryption) || !spki.Element(0x03, &bitString) ||
      !spki.empty() || !bitString.Expect(std::array<uint8_t, 1>{0x00}) || !bitString.Element(0x30, &rsaKey) ||
      !bitString.empty())
    return kFormatError;
  if (!rsaKey.Expect(kModulusWithZero) && !rsaKey.Expect(kModulus)) return kFormatError;
  if (!rsaKey.Take(kModulusBytes, &modulus) || !rsaKey.Expect(kExponent) || !rsaKey.empty()) return kFormatError;
  if (!SetPublicKey(modulus, 65537)) return kNoKey;

  Der wrapper, extensions;
  if (!tbs.Element(0xA3, &wrapper) || !wrapper.Element(0x30, &extensions) || !wrapper.empty() || !tbs.empty())
    return kFormatError;
  bool haveCrl = false;
  while (!extensions.empty()) {
    Der ext, value;
    std::span<const uint8_t> id;
    if (!extensions.Element(0x30, &ext) || !ext.Expect(kExtensionOid) || !ext.Take(1, &id)) return kFormatError;
    switch (id[0]) {
      case 0x13:  // basic constraints
      case 0x24:  // policy constraints
      case 0x0F:  // key usage
      case 0x25:  // extended key usage
      case 0x20:  // certificate policies
        break;
      case kSubjectKeyId: {
        Der keyId;
        if (!ext.Element(0x04, &value) || !value.Element(0x04, &keyId) || !value.empty() ||
            keyId.size() > kMaxKeyIdBytes)
          return kFormatError;
        subjectKeyId_ = HexEncode(keyId.bytes());
        break;
      }
      case kAuthorityKeyId: {
        if (!ca) break;
        Der seq, keyId, issuerName, issuerSerial;
        if (!ext.Element(0x04, &value) || !value.Element(0x30, &seq) || !seq.Element(0x80, &keyId) ||
            !seq.Element(0xA1, &issuerName) || !seq.Element(0x82, &issuerSerial))
          return kFormatError;
        if (HexEncode(keyId.bytes()) != ca->subjectKeyId() ||
            HexEncode(SerialBytes(issuerSerial.bytes())) != ca->serial())
          return kAuthorityMismatch;
        break;
      }
      case kSubjectAltName: {
        Der names, otherName, explicitValue, upn;
        if (!ext.Element(0x04, &value) || !value.Element(0x30, &names) || !names.Element(0xA0, &otherName) ||
            !otherName.Expect(kUpnOid) || !otherName.Element(0xA0, &explicitValue) ||
            !explicitValue.Element(0x0C, &upn))
          return kFormatError;
        std::string ansi = win::WideToAnsi(
            win::Utf8ToWide(std::string_view(reinterpret_cast<const char*>(upn.pos()), upn.size())));
        if (ansi.size() > kMaxText) return kFormatError;
        userPrincipalName_ = std::move(ansi);
        break;
      }
      case kCrlPoints: {
        if (!ca) break;
        Der points, point, distName, fullName, uri;
        if (!ext.Element(0x04, &value) || !value.Element(0x30, &points) || !points.Element(0x30, &point) ||
            !point.Element(0xA0, &distName) || !distName.Element(0xA0, &fullName) || !fullName.Element(0x86, &uri))
          return kFormatError;
        if (uri.size() > kMaxCrlUri) return kBadCrlPoint;
        haveCrl = true;
        break;
      }
      default:
        return kFormatError;
    }
  }
  if (ca && !haveCrl) return kBadCrlPoint;

  std::span<const uint8_t> signature;
  if (!cert.Expect(kSha256WithRsa) || !cert.Expect(kSignatureHeader) || !cert.Take(kModulusBytes, &signature) ||
      !cert.empty())
    return kFormatError;
  if (!ca) return 0;

  const Digest digest = DigestMemory(tbsBytes);
  std::array<uint8_t, kModulusBytes> plain{};
  int n = ca->PublicDecrypt(plain, signature);
  if (n != static_cast<int>(sizeof kDigestInfoSha256 + digest.size()) ||
      !std::equal(std::begin(kDigestInfoSha256), std::end(kDigestInfoSha256), plain.begin()) ||
      !std::equal(digest.begin(), digest.end(), plain.begin() + sizeof kDigestInfoSha256))
    return kBadSignature;
  return 0;
}

int CheckCaSuccessor(std::string_view pemText, const qzRSACert& held, qzRSACert* successor) {
  std::string der;
  int r = successor->DecodePem(pemText, &der, 0);
  if (r != 0) return r;
  r = successor->Parse(std::span(reinterpret_cast<const uint8_t*>(der.data()), der.size()), nullptr);
  if (r != 0) return r;
  // The held CA vouches for the new key: signature, authority and validity under the held CA.
  qzRSACert cross;
  cross.SetCertificateCipher(successor->certificateCipher());
  if (cross.DecodePem(pemText, &der, 1) != 0) return qzRSACert::kNotCrossSigned;
  r = cross.Parse(std::span(reinterpret_cast<const uint8_t*>(der.data()), der.size()), &held);
  if (r != 0) return r;
  return cross.SamePublicKey(*successor) ? 0 : qzRSACert::kNotCrossSigned;
}

}  // namespace qz

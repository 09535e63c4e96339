#include "pack.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <tinyxml2.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "certs.h"
#include "crypto/aes.h"
#include "crypto/cert.h"
#include "crypto/definition_stamp.h"
#include "crypto/digest.h"
#include "crypto/module_name.h"
#include "crypto/secrets.h"
#include "crypto/zip_archive.h"
#include "host.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace qzpack {

namespace {

void PutLe(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// One zlib stream of the data.
bool Compress(const std::string& data, std::string* out) {
  z_stream zs{};
  if (deflateInit(&zs, Z_BEST_COMPRESSION) != Z_OK) return false;
  out->resize(deflateBound(&zs, static_cast<uLong>(data.size())));
  zs.next_in = const_cast<Bytef*>(Bytes(data));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out->data());
  zs.avail_out = static_cast<uInt>(out->size());
  const int z = deflate(&zs, Z_FINISH);
  out->resize(zs.total_out);
  deflateEnd(&zs);
  return z == Z_STREAM_END;
}

std::string Describe(int unzipResult) {
  static const std::map<int, std::string> kTexts = {
      {qz::kUnzipCannotOpen, "the container cannot be opened"},
      {qz::kUnzipCannotCreate, "an output file cannot be created"},
      {qz::kUnzipWriteFailed, "writing an output file failed"},
      {qz::kUnzipNoWorkingDir, "the working folder cannot be made current"},
      {qz::kUnzipBadHeader, "an entry header is bad (detail code in the log line)"},
      {qz::kUnzipInitFailed, "the decompressor cannot be initialised"},
      {qz::kUnzipStreamError, "the decompressor reports a stream error"},
      {qz::kUnzipDataError, "an entry's data is not a complete zlib or gzip stream, or cannot be read"},
      {qz::kUnzipNoMemory, "the decompressor is out of memory"},
      {qz::kUnzipIllegal, "the container failed verification (detail code in the log line: 2 short, 5 magic, "
                          "6 check value, 2018 signature block, 2011 payload length or digest)"},
  };
  auto it = kTexts.find(unzipResult);
  return it == kTexts.end() ? "unknown" : it->second;
}

std::string DescribeCert(int r) {
  static const std::map<int, std::string> kTexts = {
      {qz::qzRSACert::kCannotOpen, "the file cannot be opened"},
      {qz::qzRSACert::kNoPemBlock, "no certificate block, or it cannot be decoded or decrypted"},
      {qz::qzRSACert::kNotValidNow, "not valid at this time"},
      {qz::qzRSACert::kBadCrlPoint, "CRL distribution point missing or too long"},
      {qz::qzRSACert::kAuthorityMismatch, "authority key identifier does not name the CA"},
      {qz::qzRSACert::kBadSignature, "the signature does not verify with the CA's key"},
      {qz::qzRSACert::kFormatError, "not in the accepted profile"},
      {qz::qzRSACert::kNoKey, "the public key cannot be prepared"},
  };
  auto it = kTexts.find(r);
  return it == kTexts.end() ? "unknown" : it->second;
}

// Loads both certificates as the updater does: the CA without a CA, the file-signing one with it.
std::string LoadCertificates(const std::string& caPath, const std::string& certPath, qz::qzRSACert* ca,
                             qz::qzRSACert* cert) {
  static qz::qzAES cipher;
  cipher.SetKeyInput(qz::secrets::CertKeyInput());
  ca->SetCertificateCipher(&cipher);
  cert->SetCertificateCipher(&cipher);
  auto load = [](qz::qzRSACert* c, const std::string& path, const qz::IRSACert* issuer) {
    std::string text, der;
    if (!ReadHostFile(path, &text)) return qz::qzRSACert::kCannotOpen;
    int r = c->DecodePem(text, &der);
    return r != 0 ? r : c->Parse(std::span(Bytes(der), der.size()), issuer);
  };
  int r = load(ca, caPath, nullptr);
  if (r != 0) return "CA certificate " + caPath + " refused: " + std::to_string(r) + " (" + DescribeCert(r) + ")";
  r = load(cert, certPath, ca);
  if (r != 0) return "certificate " + certPath + " refused: " + std::to_string(r) + " (" + DescribeCert(r) + ")";
  return {};
}

// The agent's own rule, and ASCII: a package entry's name is read in the PC's code page, so any
// other byte would name a different file there than the definition does.
std::string ModuleNameProblem(const std::string& name) {
  if (!std::all_of(name.begin(), name.end(), [](char c) { return c >= ' ' && c < 0x7F; }))
    return "not plain ASCII";
  const std::string_view why = qz::ModuleNameRefusal(win::Utf8ToWide(name));
  if (!why.empty()) return std::string(why);
  if (name.size() > qz::kMaxEntryName || !qz::IsSafeEntryName(name)) return "not a safe package entry name";
  return {};
}

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string FileChecksum(const std::string& path) {
  std::string data;
  if (!ReadHostFile(path, &data)) return {};
  return qz::HexEncode(qz::DigestMemory(data));
}

// Packages written by a release are checked with the updater's code before anyone fetches them.
int CheckPackage(const std::string& path, const qz::qzRSACert& cert) {
  FileStream in(path);
  if (!in.ok()) return qz::kUnzipCannotOpen;
  qz::ZipArchive zip;
  CountingSink sink;
  return zip.UnpackSigned(in, win::Utf8ToWide(path), cert, ".", sink);
}

}  // namespace

std::string SignContainer(const std::string& payload, const std::string& keyPath, std::string* error) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(keyPath.c_str(), "rb"), BIO_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) != 2048) {
    *error = "cannot read a 2,048-bit RSA private key from " + keyPath;
    return {};
  }
  std::string record;
  PutLe(&record, 1, 4);
  PutLe(&record, 0, 4);
  PutLe(&record, payload.size(), 8);
  const qz::Digest digest = qz::DigestMemory(payload);
  record.append(reinterpret_cast<const char*>(digest.data()), digest.size());

  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr),
                                                                  EVP_PKEY_CTX_free);
  std::array<uint8_t, 256> block{};
  size_t len = block.size();
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), block.data(), &len, Bytes(record), record.size()) != 1 || len != block.size()) {
    *error = "signing failed";
    return {};
  }
  std::string out;
  PutLe(&out, qz::kContainerMagic, 4);
  PutLe(&out, qz::ContainerCheckValue(block), 4);
  out.append(reinterpret_cast<const char*>(block.data()), block.size());
  out += payload;
  return out;
}

std::string SignPackage(const std::vector<PackageFile>& files, const std::string& keyPath, const std::string& outPath) {
  std::string payload;
  for (const PackageFile& f : files) {
    if (f.name.empty() || f.name.size() > qz::kMaxEntryName || !qz::IsSafeEntryName(f.name))
      return "entry name refused by the updater: " + f.name;
    std::string data, packed;
    std::error_code ec;
    if (!fs::is_regular_file(f.path, ec)) return "not a file: " + f.path;
    if (!ReadHostFile(f.path, &data)) return "cannot read " + f.path;
    if (data.size() > 0xFFFFFFFFu || !Compress(data, &packed) || packed.size() > 0xFFFFFFFFu)
      return "cannot compress " + f.path;
    const uLong crc = crc32(crc32(0, nullptr, 0), Bytes(data), static_cast<uInt>(data.size()));
    PutLe(&payload, 0x04034B50, 4);
    PutLe(&payload, 20, 2);      // version needed
    PutLe(&payload, 0, 2);       // flags
    PutLe(&payload, 8, 2);       // method
    PutLe(&payload, 0, 2);       // time
    PutLe(&payload, 0x21, 2);    // date: 1980-01-01
    PutLe(&payload, crc, 4);
    PutLe(&payload, packed.size(), 4);
    PutLe(&payload, data.size(), 4);
    PutLe(&payload, f.name.size(), 2);
    PutLe(&payload, 0, 2);
    payload += f.name;
    payload += packed;
  }
  std::string error;
  std::string container = SignContainer(payload, keyPath, &error);
  if (container.empty()) return error;
  if (!WriteHostFile(outPath, container)) return "cannot write " + outPath;
  return {};
}

std::string SignDefinition(const std::string& xmlPath, const std::string& keyPath, const std::string& outPath) {
  std::string xml, packed;
  if (!ReadHostFile(xmlPath, &xml)) return "cannot read " + xmlPath;
  if (xml.size() > qz::kPolicyBufferSize)
    return "the document has " + std::to_string(xml.size()) + " bytes; the updater reads at most 10,240";
  if (!Compress(xml, &packed)) return "cannot compress " + xmlPath;
  std::string error;
  std::string container = SignContainer(packed, keyPath, &error);
  if (container.empty()) return error;
  if (container.size() > static_cast<size_t>(qz::kMaxPolicyFile)) return "the signed file exceeds 102,400 bytes";
  if (!WriteHostFile(outPath, container)) return "cannot write " + outPath;
  return {};
}

int Verify(const std::string& caPath, const std::string& certPath, const std::string& file, bool definition) {
  qz::qzRSACert ca, cert;
  std::string error = LoadCertificates(caPath, certPath, &ca, &cert);
  if (!error.empty()) {
    std::printf("refused: %s\n", error.c_str());
    return 2;
  }
  StderrLogger logger;
  qz::ZipArchive zip(&logger);
  if (definition) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec) {
      std::printf("refused: cannot read %s\n", file.c_str());
      return 1;
    }
    if (size > static_cast<uintmax_t>(qz::kMaxPolicyFile)) {
      logger.LogA("ZipArchive", "LoadPolicyFromStream", qz::kLogWarning, "Policy file too big: %lld",
                  static_cast<int64_t>(size));
      std::printf("refused: the definition file has %ju bytes, more than 102,400\n", static_cast<uintmax_t>(size));
      return 1;
    }
    std::string data;
    ReadHostFile(file, &data);
    std::vector<uint8_t> out(qz::kPolicyBufferSize);
    const int n = zip.LoadPolicyFromBytes(out, std::span(Bytes(data), data.size()), cert);
    if (n <= 0) {
      std::printf("refused: the updater would log \"Found illegal file: qzAgent.xmd\" (reason in the log line above)\n");
      return 1;
    }
    // The signed build and expiry, read by the updater's rules.
    tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
    doc.Parse(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
    const tinyxml2::XMLElement* root = doc.RootElement();
    qz::DefinitionStamp stamp;
    const qz::StampError stampError = root ? qz::ReadDefinitionStamp(root, &stamp) : qz::StampError::None;
    if (!root || stampError != qz::StampError::None) {
      std::printf("refused: %s\n", !root ? "the document has no root element"
                                         : stampError == qz::StampError::BadBuild
                                             ? "the build attribute is not a number from 1 to 4294967295"
                                             : "the expires attribute is not a UTC time YYYY-MM-DDThh:mm:ssZ");
      return 1;
    }
    const bool expired = stamp.hasExpiry && win::Time().GetSystemTimeMs() > stamp.expiresMs;
    std::printf("%s: definition file, %d bytes of XML%s\n", expired ? "refused" : "accepted", n,
                n == static_cast<int>(qz::kPolicyBufferSize) ? " (the document is cut at 10,240 bytes)" : "");
    if (stamp.hasBuild) {
      std::printf("  build: %u (signed; refused by agents that installed a higher build)\n", stamp.build);
    } else {
      std::printf("  build: none (no rollback protection)\n");
    }
    if (stamp.hasExpiry) {
      std::printf("  expires: %s%s\n", stamp.expires.c_str(), expired ? " (passed)" : "");
    } else {
      std::printf("  expires: never\n");
    }
    return expired ? 1 : 0;
  }
  FileStream in(file);
  CountingSink sink;
  const int r = in.ok() ? zip.UnpackSigned(in, win::Utf8ToWide(file), cert, ".", sink) : qz::kUnzipCannotOpen;
  if (r != 0) {
    std::printf("refused: %d (%s)\n", r, Describe(r).c_str());
    return 1;
  }
  std::printf("accepted: package with %zu entries\n", sink.entries.size());
  for (const auto& e : sink.entries) std::printf("  %s  %llu bytes\n", e.path.substr(2).c_str(),
                                                 static_cast<unsigned long long>(e.size));
  return 0;
}

namespace {

// The files a release writes at the top of its folder.
const std::set<std::string> kReleaseEntries = {"agent", "certs", "qzAgent.xml", "local-fs.crt", "release.txt"};

// The release folder is a link to a versioned folder beside it; the new version is built whole,
// then the link is swapped by a rename, so a server never serves half a release.
struct ReleaseSlot {
  fs::path link;          // --out
  fs::path version;       // the folder being built
  fs::path previous;      // the earlier version the link named, when it is ours to remove
  bool realFolder = false;  // --out is a folder (empty, or a release made before releases were linked)
  bool done = false;
  ReleaseSlot() = default;
  ReleaseSlot(const ReleaseSlot&) = delete;
  ReleaseSlot& operator=(const ReleaseSlot&) = delete;
  ~ReleaseSlot() {
    std::error_code ec;
    if (!done && !version.empty()) fs::remove_all(version, ec);
  }
};

// A folder that holds no file, only (empty) folders, holds nothing to keep or to serve.
bool HoldsNoFiles(const fs::path& dir) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->symlink_status(ec).type() != fs::file_type::directory) return false;
  }
  return !ec;
}

// The first certificate block of a PEM text, as DER; empty when there is none.
std::string FirstCertificate(const std::string& pem) {
  qz::qzRSACert c;
  std::string der;
  return c.DecodePem(pem, &der) == 0 ? der : std::string();
}

// Empty when dir holds a release that the CA in caPem may replace: one of the same CA, or of
// the CA that cross-signed it.
std::string CheckPreviousRelease(const fs::path& dir, const std::string& caPem, const std::string& shown) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (!kReleaseEntries.count(name))
      return "--out " + shown + " is neither empty nor a release folder (it holds " + name + ")";
  }
  if (ec) return "cannot list --out " + shown;
  std::string heldPem;
  if (!fs::is_regular_file(dir / "release.txt", ec) || !ReadHostFile((dir / "certs/qorv-ca.pem").string(), &heldPem))
    return "--out " + shown + " is neither empty nor a release folder (no release.txt or certs/qorv-ca.pem)";
  const std::string held = FirstCertificate(heldPem);
  if (!held.empty() && held == FirstCertificate(caPem)) return {};
  qz::qzRSACert heldCa, successor;
  if (!held.empty() && heldCa.Parse(std::span(Bytes(held), held.size()), nullptr) == 0 &&
      qz::CheckCaSuccessor(caPem, heldCa, &successor) == 0)
    return {};
  return "--out " + shown + " holds a release of another CA, which this CA does not succeed; publish into an empty folder";
}

std::string PrepareSlot(const std::string& outDir, uint32_t build, const std::string& caPem, ReleaseSlot* slot) {
  std::error_code ec;
  slot->link = fs::absolute(fs::path(outDir).lexically_normal(), ec);
  if (slot->link.filename().empty()) slot->link = slot->link.parent_path();
  const fs::path parent = slot->link.parent_path();
  const std::string stem = slot->link.filename().string();
  const fs::file_status st = fs::symlink_status(slot->link, ec);
  if (st.type() == fs::file_type::symlink) {
    const fs::path target = fs::read_symlink(slot->link, ec);
    const fs::path resolved = target.is_absolute() ? target : parent / target;
    if (!fs::is_directory(resolved, ec)) return "--out " + outDir + " is a link to no folder";
    std::string error = CheckPreviousRelease(resolved, caPem, outDir);
    if (!error.empty()) return error;
    // Only an earlier version made here is removed after the swap.
    const std::string name = resolved.filename().string();
    if (resolved.parent_path() == parent && name.rfind(stem + ".", 0) == 0) slot->previous = resolved;
  } else if (st.type() == fs::file_type::directory) {
    if (!HoldsNoFiles(slot->link)) {
      std::string error = CheckPreviousRelease(slot->link, caPem, outDir);
      if (!error.empty()) return error;
    }
    slot->realFolder = true;
  } else if (st.type() != fs::file_type::not_found) {
    return "--out " + outDir + " is not a folder";
  }
  fs::create_directories(parent, ec);
  std::string name = (parent / (stem + "." + std::to_string(build) + "-XXXXXX")).string();
  if (!mkdtemp(name.data())) return "cannot create a folder beside " + outDir;
  slot->version = name;
  // Readable by a web server that runs as another user, as a folder made plainly would be.
  fs::permissions(slot->version, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec, ec);
  return {};
}

std::string SwapIn(ReleaseSlot* slot) {
  std::error_code ec;
  const fs::path staged = slot->version.string() + ".link";
  fs::remove(staged, ec);
  fs::create_directory_symlink(slot->version.filename(), staged, ec);
  if (ec) return "cannot make a link beside " + slot->link.string();
  fs::path aside;
  if (slot->realFolder) {
    // A folder cannot be replaced by a link in one step: it is moved aside just before.
    aside = slot->version.string() + ".old";
    fs::rename(slot->link, aside, ec);
    if (ec) {
      fs::remove(staged, ec);
      return "cannot move " + slot->link.string() + " aside";
    }
  }
  fs::rename(staged, slot->link, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(staged, ignored);
    if (!aside.empty()) fs::rename(aside, slot->link, ignored);
    return "cannot swap " + slot->link.string() + " to the new release";
  }
  slot->done = true;
  if (!aside.empty()) fs::remove_all(aside, ec);
  if (!slot->previous.empty() && slot->previous != slot->version) fs::remove_all(slot->previous, ec);
  return {};
}

}  // namespace

std::string Release(const ReleaseOptions& o) {
  qz::qzRSACert ca, cert;
  std::string error = LoadCertificates(o.caCert, o.fsCert, &ca, &cert);
  if (!error.empty()) return error;
  {
    std::unique_ptr<BIO, decltype(&BIO_free)> kb(BIO_new_file(o.fsKey.c_str(), "rb"), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> cb(BIO_new_file(o.fsCert.c_str(), "rb"), BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        kb ? PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> x(cb ? PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr) : nullptr,
                                                  X509_free);
    if (!key || !x || X509_check_private_key(x.get(), key.get()) != 1)
      return "the file-signing key does not belong to " + o.fsCert + " (a plain PEM certificate is needed)";
  }

  // Manifest lines: "os NAME HEX", "remove NAME", "config PATH", "update DRIVER"; '#' starts a comment.
  std::map<std::string, std::string> osMasks;
  std::vector<std::string> removals;
  std::string configPath;
  std::set<std::string> drivers;
  const std::set<std::string> kDrivers = {"NetFilter", "TcpTagger", "PrtProc", "ProcessCut"};
  if (!o.manifest.empty()) {
    std::string text;
    if (!ReadHostFile(o.manifest, &text)) return "cannot read the manifest " + o.manifest;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
      ++number;
      line = line.substr(0, line.find('#'));
      std::istringstream words(line);
      std::string verb, a, b, extra;
      words >> verb >> a >> b >> extra;
      const std::string where = o.manifest + ":" + std::to_string(number) + ": ";
      if (verb.empty()) continue;
      if (verb == "os" && !b.empty() && extra.empty()) {
        if (b.size() > 8 || b.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
          return where + "an OS mask is at most eight hex digits";
        char mask[9];
        std::snprintf(mask, sizeof mask, "%08lX", std::stoul(b, nullptr, 16));
        osMasks[a] = mask;
      } else if (verb == "remove" && !a.empty() && b.empty()) {
        removals.push_back(a);
      } else if (verb == "config" && !a.empty() && b.empty()) {
        configPath = fs::path(a).is_absolute() ? a : (fs::path(o.manifest).parent_path() / a).string();
      } else if (verb == "update" && kDrivers.count(a) && b.empty()) {
        drivers.insert(a);
      } else {
        return where + "not understood: " + line;
      }
    }
  }
  const std::string configName = configPath.empty() ? "" : fs::path(configPath).filename().string();

  std::vector<std::string> modules;
  std::error_code ec;
  fs::directory_iterator listing(o.agentDir, ec);
  if (ec) return "cannot list the agent folder " + o.agentDir;
  for (const auto& entry : listing) {
    const std::string name = entry.path().filename().string();
    // A link would publish whatever it points at; a subfolder's files would never be installed.
    const fs::file_type type = entry.symlink_status(ec).type();
    if (type == fs::file_type::symlink) return "the agent folder holds a symbolic link, which is not published: " + name;
    if (type == fs::file_type::directory) return "the agent folder holds a subfolder, which the agent cannot install: " + name;
    if (type != fs::file_type::regular) return "the agent folder holds something that is not a file: " + name;
    if (name == configName) continue;  // the configuration travels in its own element
    const std::string problem = ModuleNameProblem(name);
    if (!problem.empty()) return "module name refused by the agent (" + problem + "): " + name;
    modules.push_back(name);
  }
  if (modules.empty()) return "the agent folder " + o.agentDir + " holds no module files";
  std::sort(modules.begin(), modules.end());
  for (const auto& [name, mask] : osMasks) {
    if (!std::binary_search(modules.begin(), modules.end(), name)) return "the manifest names an OS mask for a missing file: " + name;
  }
  for (const auto& name : removals) {
    const std::string problem = ModuleNameProblem(name);
    if (!problem.empty()) return "module name to remove refused by the agent (" + problem + "): " + name;
    if (std::binary_search(modules.begin(), modules.end(), name)) return "a file to remove is also published: " + name;
  }
  if (!configPath.empty()) {
    const std::string problem = ModuleNameProblem(configName);
    if (!problem.empty()) return "configuration file name refused by the agent (" + problem + "): " + configName;
  }
  if (o.build == 0) return "the build number must be 1 to 4294967295";

  std::string caPem, fsPem;
  if (!ReadHostFile(o.caCert, &caPem) || !ReadHostFile(o.fsCert, &fsPem)) return "cannot read the certificates";
  ReleaseSlot slot;
  error = PrepareSlot(o.outDir, o.build, caPem, &slot);
  if (!error.empty()) return error;
  const fs::path out(slot.version), agent = out / "agent", certs = out / "certs";
  fs::create_directories(agent, ec);
  fs::create_directories(certs, ec);
  if (ec) return "cannot create " + out.string();

  auto publish = [&](const std::string& path, const std::string& name, std::string* cks) {
    *cks = FileChecksum(path);
    if (cks->empty()) return "cannot read " + path;
    const std::string package = (agent / (name + ".qz")).string();
    std::string e = SignPackage({{path, name}}, o.fsKey, package);
    if (!e.empty()) return e;
    const int r = CheckPackage(package, cert);
    return r == 0 ? std::string() : package + " fails its own check: " + std::to_string(r);
  };

  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<qzAgent build=\"" + std::to_string(o.build) + "\"";
  if (o.expiresDays > 0) {
    const uint64_t expires = win::Time().GetSystemTimeMs() / 1000 * 1000 + uint64_t{o.expiresDays} * 86400000u;
    xml += std::string(" ") + qz::kExpiresAttribute + "=\"" + qz::FormatExpiry(expires) + "\"";
  }
  for (const auto& d : kDrivers) xml += " update" + d + "=\"" + (drivers.count(d) ? "true" : "false") + "\"";
  xml += ">\n";
  std::string cks;
  if (!configPath.empty()) {
    error = publish(configPath, configName, &cks);
    if (!error.empty()) return error;
    xml += "  <config cks=\"" + cks + "\">" + XmlEscape(configName) + "</config>\n";
  }
  for (const auto& name : modules) {
    error = publish((fs::path(o.agentDir) / name).string(), name, &cks);
    if (!error.empty()) return error;
    xml += "  <module cks=\"" + cks + "\"";
    if (osMasks.count(name)) xml += " os=\"" + osMasks[name] + "\"";
    xml += ">" + XmlEscape(name) + "</module>\n";
  }
  for (const auto& name : removals) xml += "  <module remove=\"true\">" + XmlEscape(name) + "</module>\n";
  xml += "</qzAgent>\n";

  const std::string xmlPath = (out / "qzAgent.xml").string();
  if (!WriteHostFile(xmlPath, xml)) return "cannot write " + xmlPath;
  const std::string definition = (agent / "qzAgent.xmd").string();
  error = SignDefinition(xmlPath, o.fsKey, definition);
  if (!error.empty()) return error;
  {
    std::string data;
    ReadHostFile(definition, &data);
    std::vector<uint8_t> check(qz::kPolicyBufferSize);
    qz::ZipArchive zip;
    if (zip.LoadPolicyFromBytes(check, std::span(Bytes(data), data.size()), cert) != static_cast<int>(xml.size()))
      return definition + " fails its own check";
  }

  const std::string sealed = EncryptedPem(CertificateDer(o.fsCert));
  if (sealed.empty()) return "cannot make the encrypted form of " + o.fsCert;
  if (!WriteHostFile((certs / "qorv-ca.pem").string(), caPem) || !WriteHostFile((certs / "qorv-fs.crt").string(), fsPem) ||
      !WriteHostFile((out / "local-fs.crt").string(), sealed) ||
      !WriteHostFile((out / "release.txt").string(), "build=" + std::to_string(o.build) + "\n"))
    return "cannot write the certificates into " + out.string();
  error = SwapIn(&slot);
  if (!error.empty()) return error;
  std::printf("release %u: %zu modules, %zu removals%s into %s\n", o.build, modules.size(), removals.size(),
              configPath.empty() ? "" : ", configuration", o.outDir.c_str());
  return {};
}

}  // namespace qzpack

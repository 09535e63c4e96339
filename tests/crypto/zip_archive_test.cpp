// Signed containers on a simulated machine: verification, unpacking and the definition file, with
// certificates made by qzpack and containers built by the test (and by an independent signer).
#include "crypto/zip_archive.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <tinyxml2.h>
#include <zlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/digest.h"
#include "crypto/secrets.h"
#include "signing_fixtures.h"

namespace {

using qztest::HostDir;
using qztest::ReadHostFile;
using qztest::Shell;
using qztest::WriteHostFile;

std::span<const uint8_t> Bytes(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

std::string Le(uint64_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

// windowBits 15: zlib, -15: raw deflate, 31: gzip.
std::string Deflate(const std::string& data, int windowBits = 15) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&zs, static_cast<uLong>(data.size())) + 32, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// A ZIP local header with its name, extra field and data; sizeField overrides the compressed size.
std::string Entry(const std::string& name, const std::string& data, const std::string& extra = "",
                  std::optional<uint32_t> sizeField = std::nullopt) {
  return Le(0x04034B50, 4) + Le(20, 2) + Le(0, 2) + Le(8, 2) + Le(0, 4) + Le(0, 4) +
         Le(sizeField.value_or(static_cast<uint32_t>(data.size())), 4) + Le(0, 4) + Le(name.size(), 2) +
         Le(extra.size(), 2) + name + extra + data;
}

std::string Pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key ReadKey(const std::string& path) {
  BIO* bio = BIO_new_file(path.c_str(), "rb");
  EVP_PKEY* k = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  return Key(k);
}

// The container around a payload whose first signedLength bytes are signed.
std::string Sign(EVP_PKEY* key, const std::string& payload, std::optional<size_t> signedLength = std::nullopt) {
  const size_t n = signedLength.value_or(payload.size());
  const qz::Digest d = qz::DigestMemory(Bytes(payload.substr(0, n)));
  const std::string record = Le(1, 4) + Le(0, 4) + Le(n, 8) + std::string(d.begin(), d.end());
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  std::array<uint8_t, 256> block{};
  size_t len = block.size();
  EXPECT_TRUE(ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_sign(ctx, block.data(), &len, Bytes(record).data(), record.size()) == 1);
  EVP_PKEY_CTX_free(ctx);
  return Le(qz::kContainerMagic, 4) + Le(qz::ContainerCheckValue(block), 4) +
         std::string(block.begin(), block.end()) + payload;
}

// Forwards to a certificate and counts its RSA operations.
class CountingCert : public qz::IRSACert {
 public:
  explicit CountingCert(const qz::IRSACert& inner) : inner_(inner) {}
  int Load(std::string_view, const qz::IRSACert*) override { return -1; }
  std::string_view serial() const override { return inner_.serial(); }
  std::string_view subjectKeyId() const override { return inner_.subjectKeyId(); }
  int PublicDecrypt(std::span<uint8_t> out, std::span<const uint8_t> in) const override {
    ++decrypts;
    return inner_.PublicDecrypt(out, in);
  }
  mutable int decrypts = 0;

 private:
  const qz::IRSACert& inner_;
};

class Containers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new HostDir;
    std::string out;
    const std::string q = qztest::Qzpack();
    ASSERT_EQ(Shell(dir_->path(), q + " ca --cert ca.pem --key ca.key && " + q +
                                      " cert --ca ca.pem --ca-key ca.key --cert fs.crt --key fs.key && " + q +
                                      " ca --cert ca2.pem --key ca2.key --cn 'Other CA' && " + q +
                                      " cert --ca ca2.pem --ca-key ca2.key --cert fs2.crt --key fs2.key",
                    &out),
              0)
        << out;
    key_ = ReadKey(*dir_ / "fs.key").release();
    otherKey_ = ReadKey(*dir_ / "fs2.key").release();
    ASSERT_NE(key_, nullptr);
    ASSERT_NE(otherKey_, nullptr);
  }
  static void TearDownTestSuite() {
    EVP_PKEY_free(key_);
    EVP_PKEY_free(otherKey_);
    delete dir_;
  }

  void SetUp() override {
    machine_.Enter();
    std::filesystem::create_directories(machine_.HostPath(u"C:\\work\\sub"));
    std::filesystem::create_directories(machine_.HostPath(u"C:\\in"));
    ASSERT_EQ(ca_.Load(PutHost("ca.pem"), nullptr), 0);
    ASSERT_EQ(fs_.Load(PutHost("fs.crt"), &ca_), 0);
  }

  std::string PutHost(const std::string& name) {
    return Put(u"C:\\in\\" + win::Utf8ToWide(name), ReadHostFile(*dir_ / name));
  }
  std::string Put(const std::u16string& winPath, const std::string& bytes) {
    WriteHostFile(machine_.HostPath(winPath), bytes);
    return win::WideToUtf8(winPath);
  }
  std::optional<std::string> Get(const std::u16string& winPath) {
    const std::string host = machine_.HostPath(winPath);
    if (!std::filesystem::exists(host)) return std::nullopt;
    return ReadHostFile(host);
  }
  int Unzip(const std::string& container) {
    Put(u"C:\\in\\pkg.qz", container);
    return zip_.UnzipSignedFile(u"C:\\in\\pkg.qz", u"C:\\work", fs_);
  }
  std::vector<std::string> WorkFiles() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(machine_.HostPath(u"C:\\work"))) {
      if (e.is_regular_file()) names.push_back(e.path().filename().string());
    }
    return names;
  }

  static HostDir* dir_;
  static EVP_PKEY* key_;
  static EVP_PKEY* otherKey_;
  qztest::TestMachine machine_;
  qztest::CaptureLogger log_;
  qz::ZipArchive zip_{&log_};
  qz::qzRSACert ca_, fs_;
};
HostDir* Containers::dir_ = nullptr;
EVP_PKEY* Containers::key_ = nullptr;
EVP_PKEY* Containers::otherKey_ = nullptr;

// The signer of this test shares nothing with ours: Python's zlib and struct build the entries and
// the record, the openssl command line signs it, and the check value is computed from the table.
const char* kIndependentSigner = R"PY(
import hashlib, struct, subprocess, sys, zlib
key, out = sys.argv[1], sys.argv[2]
files = [("a.txt", b"alpha\n" * 100), ("b.bin", bytes(range(256)) * 300)]
payload = b""
for name, data in files:
    packed = zlib.compress(data, 9)
    payload += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0x21, zlib.crc32(data), len(packed),
                           len(data), len(name), 0) + name.encode() + packed
record = struct.pack("<IIQ", 1, 0, len(payload)) + hashlib.sha256(payload).digest()
open("record.bin", "wb").write(record)
subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key, "-pkeyopt", "rsa_padding_mode:pkcs1",
                "-in", "record.bin", "-out", "block.bin"], check=True)
block = open("block.bin", "rb").read()
assert len(block) == 256
table = bytes.fromhex("231B5BB411BDADD08C8CCC58936A87386EDED0DB7D0D2BBB6BF764335230749D")
check = bytearray(4)
for k in range(32):
    x = (block[k] + block[64 + k] + block[90 + k] + block[200 + k]) % 256
    if (table[x // 8] >> (x % 8)) & 1:
        check[k // 8] |= 1 << (k % 8)
open(out, "wb").write(struct.pack("<I", 0x382B7BA1) + bytes(check) + block + payload)
)PY";

TEST_F(Containers, IndependentSignerPackageVerifiesAndUnpacks) {
  WriteHostFile(*dir_ / "signer.py", kIndependentSigner);
  std::string out;
  ASSERT_EQ(Shell(dir_->path(), "python3 signer.py fs.key good.qz && python3 signer.py fs2.key foreign.qz", &out), 0)
      << out;
  EXPECT_EQ(Unzip(ReadHostFile(*dir_ / "foreign.qz")), qz::kUnzipIllegal);
  EXPECT_TRUE(log_.HasEnding("Found illegal file: C:\\in\\pkg.qz (2018)", "IZipArchive::UnzipSignedFile 3"))
      << log_.Dump();
  EXPECT_TRUE(WorkFiles().empty());

  ASSERT_EQ(Unzip(ReadHostFile(*dir_ / "good.qz")), 0) << log_.Dump();
  std::string alpha;
  for (int i = 0; i < 100; ++i) alpha += "alpha\n";
  std::string ramp;
  for (int i = 0; i < 300; ++i) {
    for (int b = 0; b < 256; ++b) ramp.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(Get(u"C:\\work\\a.txt"), alpha);
  EXPECT_EQ(Get(u"C:\\work\\b.bin"), ramp);
}

TEST_F(Containers, DamagedHeadersFailBeforeAnyRsaOperation) {
  const std::string good = Sign(key_, Entry("a.txt", Deflate("data")));
  CountingCert counting(fs_);
  for (int bit = 0; bit < 32; ++bit) {
    std::string bad = good;
    bad[4 + bit / 8] = static_cast<char>(bad[4 + bit / 8] ^ (1 << (bit % 8)));
    Put(u"C:\\in\\pkg.qz", bad);
    EXPECT_EQ(zip_.UnzipSignedFile(u"C:\\in\\pkg.qz", u"C:\\work", counting), qz::kUnzipIllegal) << bit;
    EXPECT_EQ(qz::VerifyContainer(Bytes(bad), counting), -qz::kVerifyBadCheck) << bit;
  }
  EXPECT_EQ(counting.decrypts, 0);
  EXPECT_TRUE(log_.HasEnding("Found illegal file: C:\\in\\pkg.qz (6)"));

  // A block that passes the check value but is no signature.
  const std::string junk(256, '\x11');
  const std::string forged = good.substr(0, 4) +
                             Le(qz::ContainerCheckValue(std::span<const uint8_t, 256>(Bytes(junk).data(), 256)), 4) +
                             junk + good.substr(264);
  struct Case {
    const char* what;
    std::string bytes;
    int fileForm;
  };
  const Case cases[] = {
      {"wrong magic", "\xA1\x7B\x2B\x39" + good.substr(4), qz::kVerifyBadMagic},
      {"header cut short", good.substr(0, 200), qz::kVerifyShortRead},
      {"signature block replaced, check value fitted", forged, qz::kVerifyBadRecord},
      {"payload changed", good.substr(0, good.size() - 1) + "\x01", qz::kVerifyBadPayload},
      {"payload cut", good.substr(0, good.size() - 1), qz::kVerifyBadPayload},
      {"signed by another CA's key", Sign(otherKey_, Entry("a.txt", Deflate("data"))), qz::kVerifyBadRecord},
  };
  for (const Case& c : cases) {
    const std::string expected = "Found illegal file: C:\\in\\pkg.qz (" + std::to_string(c.fileForm) + ")";
    EXPECT_EQ(Unzip(c.bytes), qz::kUnzipIllegal) << c.what;
    EXPECT_TRUE(log_.HasEnding(expected)) << c.what << "\n" << log_.Dump();
    const int64_t memory = qz::VerifyContainer(Bytes(c.bytes), fs_);
    EXPECT_EQ(memory, c.fileForm == qz::kVerifyShortRead ? -2 : -c.fileForm) << c.what;
  }
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(Containers, OnlyTheSignedPayloadCounts) {
  // Signed for 1,000 bytes, 1,001 present: the file form digests exactly the signed length.
  const std::string payload = Pattern(1001);
  const std::string container = Sign(key_, payload, 1000);
  Put(u"C:\\in\\long.qz", container);
  win::HANDLE h = win::Files().CreateFileW(u"C:\\in\\long.qz", win::GENERIC_READ, win::FILE_SHARE_READ,
                                           win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
  qz::HandleStream stream(h);
  uint64_t length = 0;
  EXPECT_EQ(qz::VerifyContainer(stream, fs_, &length), 0);
  EXPECT_EQ(length, 1000u);
  int64_t position = -1;
  EXPECT_TRUE(stream.Tell(&position));
  EXPECT_EQ(position, 264);
  win::CloseHandle(h);
  EXPECT_EQ(qz::VerifyContainer(Bytes(container), fs_), -qz::kVerifyBadPayload);

  // An entry appended after the signed payload was never verified and is not unpacked.
  const std::string signedPart = Entry("good.txt", Deflate("signed"));
  EXPECT_EQ(Unzip(Sign(key_, signedPart + Entry("evil.txt", Deflate("appended")), signedPart.size())), 0)
      << log_.Dump();
  EXPECT_EQ(Get(u"C:\\work\\good.txt"), "signed");
  EXPECT_FALSE(Get(u"C:\\work\\evil.txt"));
}

TEST_F(Containers, EntryData) {
  const std::string big = Pattern(200000, 7);  // many read pieces and inflate buffers
  std::string zlibCut = Deflate("cut short");
  zlibCut.resize(zlibCut.size() - 4);
  // What a ZIP writer appends: a central directory entry and its end record.
  const std::string central = Le(0x02014B50, 4) + std::string(42, '\0') + "a.txt" + Le(0x06054B50, 4) +
                              std::string(18, '\0');
  struct Case {
    const char* what;
    std::string payload;
    int expected;
    const char* logLine;
    std::vector<std::pair<std::u16string, std::string>> files;
  };
  const Case cases[] = {
      {"zlib", Entry("a.txt", Deflate("alpha")), 0, nullptr, {{u"C:\\work\\a.txt", "alpha"}}},
      {"gzip", Entry("a.txt", Deflate("alpha", 31)), 0, nullptr, {{u"C:\\work\\a.txt", "alpha"}}},
      {"empty file", Entry("e.txt", Deflate("")), 0, nullptr, {{u"C:\\work\\e.txt", ""}}},
      {"large", Entry("big.bin", Deflate(big)), 0, nullptr, {{u"C:\\work\\big.bin", big}}},
      {"central directory at the end", Entry("a.txt", Deflate("alpha")) + Entry("b.txt", Deflate("beta")) + central,
       0, nullptr, {{u"C:\\work\\a.txt", "alpha"}, {u"C:\\work\\b.txt", "beta"}}},
      {"bytes after the stream inside the entry", Entry("a.txt", Deflate("alpha") + "junk") + Entry("b.txt", Deflate("beta")),
       0, nullptr, {{u"C:\\work\\a.txt", "alpha"}, {u"C:\\work\\b.txt", "beta"}}},
      {"subfolder", Entry("sub\\s.txt", Deflate("inner")), 0, nullptr, {{u"C:\\work\\sub\\s.txt", "inner"}}},
      {"raw deflate", Entry("a.txt", Deflate("alpha", -15)), qz::kUnzipDataError, "Fail to unzip: 26", {}},
      {"stream cut short", Entry("a.txt", zlibCut), qz::kUnzipDataError, "Fail to unzip: 26", {}},
      {"data beyond the payload", Entry("a.txt", Deflate("alpha"), "", 4000), qz::kUnzipDataError,
       "Fail to read data", {}},
      {"missing subfolder", Entry("nosub\\a.txt", Deflate("alpha")), qz::kUnzipCannotCreate,
       "Fail to write C:\\work\\nosub\\a.txt", {}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(machine_.HostPath(u"C:\\work"));
    std::filesystem::create_directories(machine_.HostPath(u"C:\\work\\sub"));
    EXPECT_EQ(Unzip(Sign(key_, c.payload)), c.expected) << c.what << "\n" << log_.Dump();
    if (c.logLine) {
      EXPECT_TRUE(log_.HasEnding(c.logLine, "ZipArchive::UnzipPlainFile 3")) << c.what << "\n" << log_.Dump();
    }
    for (const auto& [path, content] : c.files) EXPECT_EQ(Get(path), content) << c.what;
  }
}

TEST_F(Containers, EntryHeaders) {
  const std::string n127(127, 'n'), n128(128, 'n');
  const std::string full = Entry("a.txt", Deflate("alpha"), std::string(8, 'x'));
  struct Case {
    const char* what;
    std::string payload;
    int detail;  // 0: accepted
  };
  const Case cases[] = {
      {"name of 127", Entry(n127, Deflate("alpha")), 0},
      {"name of 128", Entry(n128, Deflate("alpha")), qz::kHeaderLongName},
      {"extra of 1,024", Entry("a.txt", Deflate("alpha"), std::string(1024, 'x')), 0},
      {"extra of 1,025", Entry("a.txt", Deflate("alpha"), std::string(1025, 'x')), qz::kHeaderLongExtra},
      {"name cut", full.substr(0, 32), qz::kHeaderShortName},
      {"extra cut", full.substr(0, 38), qz::kHeaderShortExtra},
      {"header cut", full.substr(0, 20), qz::kHeaderTruncated},
      {"parent folder", Entry("..\\x", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"parent folder, slash", Entry("sub/../../x", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"parent folder inside", Entry("sub\\..\\x", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"dots and blanks", Entry(".. \\x", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"drive letter", Entry("C:\\x", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"drive-relative", Entry("C:x", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"absolute", Entry("\\x", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"absolute, slash", Entry("/x", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"network path", Entry("\\\\server\\share\\x", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"stream name", Entry("x:stream", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"empty name", Entry("", Deflate("alpha")), qz::kHeaderUnsafeName},
      {"dots inside a name", Entry("..x", Deflate("alpha")), 0},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(machine_.HostPath(u"C:\\work"));
    std::filesystem::create_directories(machine_.HostPath(u"C:\\work\\sub"));
    std::filesystem::remove(machine_.HostPath(u"C:\\x"));
    const int r = Unzip(Sign(key_, c.payload));
    if (c.detail == 0) {
      EXPECT_EQ(r, 0) << c.what << "\n" << log_.Dump();
      EXPECT_EQ(WorkFiles().size(), 1u) << c.what;
      continue;
    }
    EXPECT_EQ(r, qz::kUnzipBadHeader) << c.what;
    EXPECT_TRUE(log_.HasEnding("Header error: " + std::to_string(c.detail), "IZipArchive::UnzipSignedFile 3"))
        << c.what << "\n" << log_.Dump();
    EXPECT_TRUE(WorkFiles().empty()) << c.what;
    EXPECT_FALSE(Get(u"C:\\x")) << c.what;
  }
}

TEST_F(Containers, Surroundings) {
  const std::string good = Sign(key_, Entry("a.txt", Deflate("alpha")));
  Put(u"C:\\in\\pkg.qz", good);
  EXPECT_EQ(zip_.UnzipSignedFile(u"C:\\in\\pkg.qz", u"C:\\nowhere", fs_), qz::kUnzipNoWorkingDir);
  EXPECT_TRUE(log_.HasEnding("Fail to set working dir: C:\\nowhere"));
  EXPECT_EQ(zip_.UnzipSignedFile(u"C:\\in\\none.qz", u"C:\\work", fs_), qz::kUnzipCannotOpen);
  EXPECT_TRUE(log_.HasEnding("Fail to open C:\\in\\none.qz"));
  // Unpacking names its folder; the process's current directory is not the reader's to change.
  const std::u16string before = win::Files().GetCurrentDirectoryW();
  EXPECT_EQ(zip_.UnzipSignedFile(u"C:\\in\\pkg.qz", u"C:\\work", fs_), 0);
  EXPECT_EQ(win::Files().GetCurrentDirectoryW(), before);
}

class Definitions : public Containers {
 protected:
  // A signed definition whose document inflates to `size` bytes, padded (inside the signed
  // payload, after the stream) so the file has `fileSize` bytes when given.
  static std::string Definition(size_t size, std::optional<size_t> fileSize = std::nullopt, EVP_PKEY* key = nullptr) {
    std::string doc = "<qzAgent>";
    while (doc.size() < size - 10) doc += "<m>x</m>";
    doc.resize(size - 10, ' ');
    doc += "</qzAgent>";
    std::string payload = Deflate(doc);
    if (fileSize) payload.resize(*fileSize - 264, '\0');
    return Sign(key ? key : key_, payload);
  }
  int LoadStream(const std::string& container, std::vector<uint8_t>* out, int64_t* position = nullptr) {
    Put(u"C:\\in\\qzAgent.xmd", container);
    win::HANDLE h = win::Files().CreateFileW(u"C:\\in\\qzAgent.xmd", win::GENERIC_READ, win::FILE_SHARE_READ,
                                             win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
    const int r = zip_.LoadPolicyFromStream(*out, h, static_cast<int64_t>(container.size()), fs_);
    if (position) win::Files().SetFilePointerEx(h, 0, position, win::FILE_CURRENT);
    win::CloseHandle(h);
    return r;
  }
};

TEST_F(Definitions, InflatedLengthAndTerminator) {
  struct Case {
    size_t inflated;
    int expected;
  };
  for (const Case& c : {Case{100, 100}, Case{10239, 10239}, Case{10240, 10240}, Case{10241, 10240}, Case{50000, 10240}}) {
    std::vector<uint8_t> out(10241, 0xAA);
    EXPECT_EQ(LoadStream(Definition(c.inflated), &out), c.expected) << c.inflated;
    if (c.inflated == static_cast<size_t>(c.expected)) {
      EXPECT_EQ(out[c.inflated - 1], '>') << c.inflated;  // the document's own last byte
    }
    if (c.expected < 10240) {
      EXPECT_EQ(out[static_cast<size_t>(c.expected)], 0) << c.inflated;
    }
    EXPECT_EQ(out[10240], 0xAA) << c.inflated;  // nothing beyond the 10,240-byte buffer
  }
}

TEST_F(Definitions, FileSizeLimit) {
  std::vector<uint8_t> out(10240);
  EXPECT_EQ(LoadStream(Definition(200, 102400), &out), 200);
  int64_t position = -1;
  EXPECT_EQ(LoadStream(Definition(200, 102401), &out, &position), 0);
  EXPECT_TRUE(log_.HasEnding("Policy file too big: 102401", "ZipArchive::LoadPolicyFromStream 3")) << log_.Dump();
  EXPECT_EQ(position, 0);  // refused before reading
}

TEST_F(Definitions, LoadPolicyFileFromItsPath) {
  std::vector<uint8_t> out(10240);
  EXPECT_EQ(zip_.LoadPolicyFile(u"C:\\work\\qzAgent.xmd", out, fs_), 0);
  EXPECT_TRUE(log_.HasEnding("Fail to open qzAgent.xmd", "IZipArchive::LoadPolicyFile 3"));

  std::string cut = Deflate("<qzAgent><module>a</module></qzAgent>");
  cut.resize(cut.size() - 6);
  struct Case {
    const char* what;
    std::string container;
    int expected;
    std::string logLine;
  };
  const Case cases[] = {
      {"good", Definition(300), 300, ""},
      {"another CA's key", Definition(300, std::nullopt, otherKey_), 0, "Founld illegal signature: -2018"},
      {"stream cut short", Sign(key_, cut), 0, "Fail to uncompress: -26"},
      {"raw deflate", Sign(key_, Deflate("<qzAgent/>", -15)), 0, "Fail to uncompress: -26"},
      {"empty payload", Sign(key_, ""), 0, "Founld illegal signature: 0"},
      {"trailing byte", Definition(300) + "x", 0, "Founld illegal signature: -2011"},
  };
  for (const Case& c : cases) {
    Put(u"C:\\work\\qzAgent.xmd", c.container);
    EXPECT_EQ(zip_.LoadPolicyFile(u"C:\\work\\qzAgent.xmd", out, fs_), c.expected) << c.what;
    if (c.expected == 0) {
      EXPECT_TRUE(log_.HasEnding(c.logLine, "ZipArchive::LoadPolicyFromStream 3")) << c.what << "\n" << log_.Dump();
      EXPECT_TRUE(log_.HasEnding("Found illegal file: qzAgent.xmd", "IZipArchive::LoadPolicyFile 3")) << c.what;
    }
  }
}

TEST_F(Containers, QzpackSignAndVerify) {
  const std::string q = qztest::Qzpack();
  WriteHostFile(*dir_ / "one.txt", "first file\n");
  WriteHostFile(*dir_ / "two.bin", Pattern(70000, 3));
  WriteHostFile(*dir_ / "doc.xml", "<qzAgent><module>one.txt</module></qzAgent>");
  std::string out;
  ASSERT_EQ(Shell(dir_->path(), q + " sign --key fs.key --out p.qz one.txt two.bin=sub\\\\two.bin && " + q +
                                    " sign --key fs.key --definition doc.xml --out qzAgent.xmd",
                  &out),
            0)
      << out;
  ASSERT_EQ(Unzip(ReadHostFile(*dir_ / "p.qz")), 0) << log_.Dump();
  EXPECT_EQ(Get(u"C:\\work\\one.txt"), "first file\n");
  EXPECT_EQ(Get(u"C:\\work\\sub\\two.bin"), Pattern(70000, 3));
  std::vector<uint8_t> doc(10240);
  const std::string xmd = ReadHostFile(*dir_ / "qzAgent.xmd");
  EXPECT_EQ(zip_.LoadPolicyFromBytes(doc, Bytes(xmd), fs_), 43);
  EXPECT_STREQ(reinterpret_cast<const char*>(doc.data()), "<qzAgent><module>one.txt</module></qzAgent>");

  std::string tampered = ReadHostFile(*dir_ / "p.qz");
  tampered[300] ^= 0x40;
  WriteHostFile(*dir_ / "tampered.qz", tampered);
  struct Case {
    std::string args;
    int status;
    std::vector<std::string> says;
  };
  const Case cases[] = {
      {"--ca ca.pem --cert fs.crt p.qz", 0, {"accepted: package with 2 entries", "sub\\two.bin  70000 bytes"}},
      {"--ca ca.pem --cert fs.crt qzAgent.xmd", 0, {"accepted: definition file, 43 bytes"}},
      {"--ca ca.pem --cert fs.crt tampered.qz", 1, {"(2011)", "refused: 2011"}},
      {"--ca ca.pem --cert fs2.crt p.qz", 2, {"refused: certificate fs2.crt refused: -6"}},
      {"--ca ca2.pem --cert fs2.crt p.qz", 1, {"(2018)"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Shell(dir_->path(), q + " verify " + c.args, &out), c.status) << c.args << "\n" << out;
    for (const auto& s : c.says) EXPECT_NE(out.find(s), std::string::npos) << c.args << ": " << s << "\n" << out;
  }
}

TEST_F(Containers, QzpackReleaseFolder) {
  const HostDir work;
  const std::string agent = work / "agent";
  WriteHostFile(agent + "/qzAgentUtil.dll", "util build 331");
  WriteHostFile(agent + "/qzNetFilterX64.sys", "driver");
  WriteHostFile(agent + "/lmvAgent.exe", Pattern(5000, 9));
  WriteHostFile(work / "server.cfg", "<config><server>127.0.0.1</server></config>");
  WriteHostFile(work / "manifest", "# build 331\nos qzNetFilterX64.sys fcfc0000\nremove old.dll\nconfig server.cfg\n"
                                      "update NetFilter\n");
  std::string out;
  ASSERT_EQ(Shell(work.path(), qztest::Qzpack() + " release --agent agent --build 331 --manifest manifest --ca " +
                                   (*dir_ / "ca.pem") + " --fs-cert " + (*dir_ / "fs.crt") + " --fs-key " +
                                   (*dir_ / "fs.key") + " --out rel",
                  &out),
            0)
      << out;
  const std::string rel = work / "rel";
  // The certificates: the CA, the file-signing one, and its encrypted local copy.
  qz::qzAES cipher;
  cipher.SetKeyInput(qz::secrets::CertKeyInput());
  qz::qzRSACert ca, fs, local;
  local.SetCertificateCipher(&cipher);
  ASSERT_EQ(ca.Load(Put(u"C:\\in\\qorv-ca.pem", ReadHostFile(rel + "/certs/qorv-ca.pem")), nullptr), 0);
  ASSERT_EQ(fs.Load(Put(u"C:\\in\\qorv-fs.crt", ReadHostFile(rel + "/certs/qorv-fs.crt")), &ca), 0);
  ASSERT_EQ(local.Load(Put(u"C:\\in\\local-fs.crt", ReadHostFile(rel + "/local-fs.crt")), &ca), 0);
  EXPECT_EQ(local.serial(), fs.serial());
  EXPECT_NE(ReadHostFile(rel + "/local-fs.crt").find("-----BEGIN ENCRYPTED CERTIFICATE-----"), std::string::npos);

  // The definition file names every module with its checksum, and each package unpacks to it.
  Put(u"C:\\work\\qzAgent.xmd", ReadHostFile(rel + "/agent/qzAgent.xmd"));
  std::vector<uint8_t> doc(10240);
  const int n = zip_.LoadPolicyFile(u"C:\\work\\qzAgent.xmd", doc, fs);
  ASSERT_GT(n, 0) << log_.Dump();
  tinyxml2::XMLDocument xml;
  ASSERT_EQ(xml.Parse(reinterpret_cast<const char*>(doc.data()), static_cast<size_t>(n)), tinyxml2::XML_SUCCESS);
  const tinyxml2::XMLElement* root = xml.RootElement();
  EXPECT_STREQ(root->Attribute("updateNetFilter"), "true");
  EXPECT_STREQ(root->Attribute("updateTcpTagger"), "false");
  const tinyxml2::XMLElement* config = root->FirstChildElement("config");
  ASSERT_NE(config, nullptr);
  EXPECT_STREQ(config->GetText(), "server.cfg");
  EXPECT_EQ(config->Attribute("cks"), qz::HexEncode(qz::DigestMemory(ReadHostFile(work / "server.cfg"))));
  std::vector<std::string> published, removed;
  for (auto* m = root->FirstChildElement("module"); m; m = m->NextSiblingElement("module")) {
    const std::string name = m->GetText();
    if (m->Attribute("remove")) {
      EXPECT_STREQ(m->Attribute("remove"), "true");
      removed.push_back(name);
      continue;
    }
    published.push_back(name);
    const std::string content = ReadHostFile(agent + "/" + name);
    EXPECT_EQ(m->Attribute("cks"), qz::HexEncode(qz::DigestMemory(content))) << name;
    EXPECT_EQ(m->Attribute("os") ? std::string(m->Attribute("os")) : "",
              name == "qzNetFilterX64.sys" ? "FCFC0000" : "")
        << name;
    EXPECT_EQ(Unzip(ReadHostFile(rel + "/agent/" + name + ".qz")), 0) << name;
    EXPECT_EQ(Get(u"C:\\work\\" + win::Utf8ToWide(name)), content) << name;
  }
  EXPECT_EQ(published, (std::vector<std::string>{"lmvAgent.exe", "qzAgentUtil.dll", "qzNetFilterX64.sys"}));
  EXPECT_EQ(removed, std::vector<std::string>{"old.dll"});
  EXPECT_EQ(Unzip(ReadHostFile(rel + "/agent/server.cfg.qz")), 0);
  EXPECT_EQ(Get(u"C:\\work\\server.cfg"), ReadHostFile(work / "server.cfg"));
  EXPECT_EQ(ReadHostFile(rel + "/release.txt"), "build=331\n");
}

}  // namespace

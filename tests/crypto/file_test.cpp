// Digests of files and the encrypted-file format, on a simulated machine.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "crypto/digest.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "support/counting_files.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

using qztest::CountingFiles;

class OnMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_ = &machine_.Enter();
    auto counting = std::make_unique<CountingFiles>(platform_->SetFiles(nullptr));
    files_ = counting.get();
    platform_->SetFiles(std::move(counting));
  }

  // Writes a file of the machine from the host side.
  void Put(const std::u16string& winPath, const std::string& bytes) {
    ASSERT_TRUE(qztest::WriteHostFile(machine_.HostPath(winPath), bytes));
  }
  std::string Get(const std::u16string& winPath) { return qztest::ReadHostFile(machine_.HostPath(winPath)); }

  qztest::TestMachine machine_{"win10-x64", "ko"};
  win::Platform* platform_ = nullptr;
  CountingFiles* files_ = nullptr;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7919) >> 3);
  return s;
}

using DigestFiles = OnMachine;

TEST_F(DigestFiles, MatchesMemoryDigestAcrossBlockBoundaries) {
  for (size_t size : {0, 1, 1023, 1024, 1025, 5000}) {
    const std::string content = Pattern(size);
    Put(u"C:\\data.bin", content);
    qz::Digest byWide{}, byNarrow{};
    files_->reads = 0;
    files_->bytesAsked = 0;
    ASSERT_TRUE(qz::DigestFile(std::u16string_view(u"C:\\data.bin"), &byWide)) << size;
    // 1,024-byte blocks until a read gives nothing.
    const int reads = static_cast<int>(size / 1024 + (size % 1024 ? 2 : 1));
    EXPECT_EQ(files_->reads, reads) << size;
    EXPECT_EQ(files_->bytesAsked, static_cast<win::DWORD>(reads * 1024)) << size;
    ASSERT_TRUE(qz::DigestFile(std::string_view("C:\\DATA.BIN"), &byNarrow)) << size;
    EXPECT_EQ(byWide, qz::DigestMemory(content)) << size;
    EXPECT_EQ(byNarrow, byWide) << size;
  }
  qz::Digest d{};
  EXPECT_FALSE(qz::DigestFile(std::u16string_view(u"C:\\missing.bin"), &d));
}

TEST_F(DigestFiles, NarrowPathIsAnsiCodePage) {
  const std::u16string path = u"C:\\\xD55C\xAE00.bin";  // Korean name
  Put(path, "korean");
  const std::string ansi = win::WideToAnsi(path);
  ASSERT_EQ(ansi.size(), 11u) << "two double-byte characters on code page 949";
  qz::Digest d{};
  ASSERT_TRUE(qz::DigestFile(std::string_view(ansi), &d));
  EXPECT_EQ(d, qz::DigestMemory("korean"));
}

// A peer we did not write: sha256sum gives the same digest.
TEST_F(DigestFiles, EqualsSha256sum) {
  Put(u"C:\\peer.bin", Pattern(70000));
  qz::Digest d{};
  ASSERT_TRUE(qz::DigestFile(std::u16string_view(u"C:\\peer.bin"), &d));
  int status = -1;
  const std::string line =
      qztest::HostOutput("sha256sum " + qztest::ShellQuote(machine_.HostPath(u"C:\\peer.bin")), &status);
  ASSERT_EQ(status, 0);
  ASSERT_GE(line.size(), 64u);
  std::string hex = line.substr(0, 64);
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(qz::HexEncode(d), hex);
}

TEST_F(DigestFiles, RegionFromCurrentPosition) {
  const std::string content = Pattern(3000);
  Put(u"C:\\region.bin", content);
  struct Case {
    int64_t skip, length, result;
  };
  const Case cases[] = {{0, 3000, 3000}, {10, 2000, 2000}, {2999, 1, 1}, {100, 0, 0}, {10, 2991, -1}, {0, -5, -1}};
  for (const Case& c : cases) {
    win::HANDLE h = win::Files().CreateFileW(u"C:\\region.bin", win::GENERIC_READ, win::FILE_SHARE_READ,
                                             win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
    win::Files().SetFilePointerEx(h, c.skip, nullptr, win::FILE_BEGIN);
    qz::Digest d{};
    files_->bytesAsked = 0;
    EXPECT_EQ(qz::DigestFileRegion(h, c.length, &d), c.result) << c.skip << "+" << c.length;
    if (c.result >= 0) {
      EXPECT_EQ(d, qz::DigestMemory(std::string_view(content).substr(static_cast<size_t>(c.skip),
                                                                     static_cast<size_t>(c.length))));
      EXPECT_EQ(files_->bytesAsked, static_cast<win::DWORD>(c.length)) << "never reads past the region";
    }
    win::CloseHandle(h);
  }
}

class EncryptedFile : public OnMachine {
 protected:
  void SetUp() override {
    OnMachine::SetUp();
    aes_.SetPassword("");
  }
  static std::string Le32(int32_t n) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(static_cast<uint32_t>(n) >> (8 * i));
    return s;
  }
  qz::qzAES aes_;
};

TEST_F(EncryptedFile, SaveThenLoadRestoresText) {
  std::string plain(100, 'x');
  ASSERT_EQ(aes_.SaveEncrypted("C:\\server.cfg", plain), 0);
  const std::string onDisk = Get(u"C:\\server.cfg");
  ASSERT_EQ(onDisk.size(), 4u + 112u);
  EXPECT_EQ(onDisk.substr(0, 4), Le32(112));
  std::string back;
  ASSERT_EQ(aes_.LoadEncrypted("C:\\server.cfg", &back, 8192), 0);
  EXPECT_EQ(back, plain);

  // Largest text, and one byte more.
  const std::string largest(8191, 'L');
  ASSERT_EQ(aes_.SaveEncrypted("C:\\big.cfg", largest), 0);
  ASSERT_EQ(aes_.LoadEncrypted("C:\\big.cfg", &back, 8192), 0);
  EXPECT_EQ(back, largest);
  EXPECT_EQ(aes_.SaveEncrypted("C:\\big.cfg", largest + "L"), -11);
  EXPECT_EQ(aes_.SaveEncrypted("C:\\no\\such\\folder\\x.cfg", plain), -13);
  // The text with its terminator must fit the caller's room.
  EXPECT_EQ(aes_.LoadEncrypted("C:\\server.cfg", &back, 100), -12);
  EXPECT_EQ(aes_.LoadEncrypted("C:\\server.cfg", &back, 101), 0);
}

TEST_F(EncryptedFile, AnotherMachineKeyCannotOpenIt) {
  ASSERT_EQ(aes_.SaveEncrypted("C:\\server.cfg", "site settings"), 0);
  qz::qzAES site;
  site.SetPassword("SITE-0001");
  std::string back;
  EXPECT_EQ(site.LoadEncrypted("C:\\server.cfg", &back, 8192), -12);
}

TEST_F(EncryptedFile, StoredLengthIsCheckedBeforeReadingOn) {
  struct Case {
    const char* what;
    std::string content;
    int result;
    int reads;  // ReadFile calls made
  };
  const std::string body(9000, 'z');
  const Case cases[] = {
      {"above the buffer", Le32(9000) + body, -14, 1},
      {"negative", Le32(-16) + body, -14, 1},
      {"most negative", Le32(INT32_MIN) + body, -14, 1},
      {"zero", Le32(0), -12, 1},
      {"largest allowed, not ciphertext", Le32(8192) + body.substr(0, 8192), -12, 2},
      {"shorter than stated", Le32(32) + body.substr(0, 20), -14, 2},
      {"length cut off", std::string("\x10\x00", 2), -14, 1},
      {"empty file", "", -14, 1},
  };
  for (const Case& c : cases) {
    Put(u"C:\\stored.cfg", c.content);
    files_->reads = 0;
    std::string out = "untouched";
    EXPECT_EQ(aes_.LoadEncrypted("C:\\stored.cfg", &out, 8192), c.result) << c.what;
    EXPECT_EQ(files_->reads, c.reads) << c.what;
    EXPECT_EQ(out, "untouched") << c.what;
  }
  std::string out;
  EXPECT_EQ(aes_.LoadEncrypted("C:\\missing.cfg", &out, 8192), -1);
}

}  // namespace

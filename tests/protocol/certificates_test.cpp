// The file services against a scripted server on a fresh machine: checksums, file sizes, the
// secure download's free-space rule with its reports, and the removal of a final file that
// blocked the rename.
#include "platform/file_util.h"
#include "protocol/certificates.h"

#include "crypto/digest.h"
#include "platform/platform.h"
#include "protocol/protocol_fixture.h"
#include "protocol/server_messages.h"

using namespace qz;
using namespace qztest;

namespace {

constexpr char16_t kFolder[] = u"C:\\dl";

// Records the downloads it is asked for and answers each with the next scripted result; a
// positive result writes that many bytes to the final file, as a finished download does.
class DownloadingQuery : public ScriptedQuery {
 public:
  struct Call {
    std::u16string path, name;
    int64_t size;
    bool restart;
  };
  std::vector<int32_t> results;
  std::vector<Call> calls;

  int64_t DownloadHttps(std::u16string_view path, int64_t size, std::u16string_view name,
                        std::u16string_view folder, bool restart) override {
    calls.push_back({std::u16string(path), std::u16string(name), size, restart});
    const int32_t r = results.empty() ? 0 : results[std::min(calls.size(), results.size()) - 1];
    if (r > 0) {
      win::CreateFolderPath(folder);
      win::HANDLE h = win::Files().CreateFileW(std::u16string(folder) + u"\\" + std::u16string(name), win::GENERIC_WRITE,
                                               0, win::CREATE_ALWAYS, 0);
      std::string bytes(static_cast<size_t>(r), 'x');
      win::DWORD written = 0;
      win::Files().WriteFile(h, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written);
      win::CloseHandle(h);
    }
    return r;
  }
};

class FileServicesTest : public SessionTest {
 protected:
  FileServicesTest() {
    ctx_.query = &downloads_;
    ctx_.clientKey = kKeyA;
    ctx_.serverKey = kKeyB;
    signer_.SetKeyA(kKeyA);
    signer_.SetKeyB(kKeyB);
    downloads_.onRequest = [this](const auto& form) { return Answer(form); };
  }

  Reply Answer(const std::map<std::string, std::string>& form) {
    const std::string c = form.at("_c");
    if (c == "file_size") return Reply{0, Stamped("<size>" + std::to_string(fileSize_) + "</size>")};
    if (c == "chksum") return Reply{0, checksumAnswer_};
    return Reply{-2, {}};
  }
  void SetFreeMiB(int mib) {
    int status = -1;
    RunWinsim({"set", machine_.root(), "free-space", std::to_string(mib)}, &status);
    ASSERT_EQ(status, 0);
  }

  DownloadingQuery downloads_;
  int64_t fileSize_ = 0;
  std::string checksumAnswer_;
};

TEST_F(FileServicesTest, FreeSpaceRuleRefusesSmallDrivesAndLargeFiles) {
  struct Row {
    int freeMiB;
    int64_t size;
    bool refused;
    unsigned minimum;
  } rows[] = {
      {10, 1048576, true, 10},        // free <= 10
      {11, 6 * 1048576, true, 12},    // 11 <= 2 x 6
      {13, 6 * 1048576, false, 0},    // 13 > 12
      {11, 1048575, false, 0},        // below one MiB counts 0: only the 10 MiB rule
      {10, 1048575, true, 10},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::to_string(r.freeMiB) + " MiB free, " + std::to_string(r.size) + " bytes");
    SetFreeMiB(r.freeMiB);
    fileSize_ = r.size;
    downloads_.calls.clear();
    downloads_.results = {static_cast<int32_t>(r.size)};
    log_.Clear();
    const int32_t got = DownloadSecure_(ctx_, u"/agent/a.qz", u"a.qz", kFolder, true);
    if (r.refused) {
      EXPECT_EQ(got, kDownloadNoSpace);
      EXPECT_TRUE(downloads_.calls.empty());
      const std::string line = "용량 부족(잔여공간 : " + std::to_string(r.freeMiB) + "Mb), [a.qz](파일크기 : " +
                               std::to_string(r.size / 1048576) + "Mb), 최소설치용량 : " + std::to_string(r.minimum) +
                               "Mb";
      EXPECT_TRUE(log_.Has(line)) << log_.text();
      const auto form = ParseBody(downloads_.Bodies().back());
      EXPECT_EQ(form.at("_c"), "log");
      EXPECT_EQ(form.at("kind"), "2048");
    } else {
      EXPECT_EQ(got, r.size);
      ASSERT_EQ(downloads_.calls.size(), 1u);
      EXPECT_EQ(downloads_.calls[0].size, static_cast<uint32_t>(r.size));
      EXPECT_TRUE(downloads_.calls[0].restart);
    }
  }
}

TEST_F(FileServicesTest, AnUnsentSpaceReportGivesMinus102AndSizesOfZeroOrLessPassThrough) {
  SetFreeMiB(5);
  fileSize_ = 100;
  downloads_.simpleResult = -2;
  EXPECT_EQ(DownloadSecure_(ctx_, u"/agent/a.qz", u"a.qz", kFolder, false), kDownloadNoSpaceUnreported);
  EXPECT_TRUE(log_.Has("서버로 로그 전송 실패"));

  // No size element, no root, a failed request: nothing is downloaded.
  downloads_.onRequest = [this](const auto&) { return Reply{0, Stamped("<other/>")}; };
  EXPECT_EQ(DownloadSecure_(ctx_, u"/agent/a.qz", u"a.qz", kFolder, false), kWebFileSizeUnknown);
  EXPECT_TRUE(log_.Has("파일 크기 정보가 없음"));
  downloads_.onRequest = [](const auto&) { return Reply{0, "not xml <"}; };
  EXPECT_EQ(GetWebFileSize(&log_, ctx_, u"/agent/a.qz"), kWebFileSizeUnknown);
  EXPECT_TRUE(log_.Has("노드 정보가 잘못됨"));
  downloads_.onRequest = [](const auto&) { return Reply{-5, {}}; };
  EXPECT_EQ(GetWebFileSize(&log_, ctx_, u"/agent/a.qz"), -5);
  EXPECT_TRUE(downloads_.calls.empty());
}

TEST_F(FileServicesTest, ChecksumsInEitherLetterCaseAndTheirFailures) {
  const std::string upper = "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";
  std::string lower = upper;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Digest a{}, b{};
  checksumAnswer_ = Stamped("<chksum>" + upper + "</chksum>");
  ASSERT_TRUE(RequestFileChecksum(ctx_, u"qorv-ca.pem", &a));
  checksumAnswer_ = Stamped("<chksum>" + lower + "</chksum>");
  ASSERT_TRUE(RequestFileChecksum(ctx_, u"qorv-ca.pem", &b));
  EXPECT_EQ(a, b);
  EXPECT_EQ(HexEncode(a), upper);
  EXPECT_EQ(ParseBody(downloads_.Bodies().back()).at("file"), "qorv-ca.pem");

  struct Case {
    std::string answer, line;
  } cases[] = {
      {"", "Fail to get checksum: qorv-ca.pem(0)"},
      {"<<<", "Found null response: qorv-ca.pem"},
      {"<result _t=\"5\" _th=\"wrong\"><chksum>" + upper + "</chksum></result>", "Time hash error: qorv-ca.pem"},
      {Stamped("<size>1</size>"), "No checksum tag: qorv-ca.pem"},
      {Stamped("<chksum></chksum>"), "No checksum found: qorv-ca.pem"},
  };
  for (const auto& c : cases) {
    checksumAnswer_ = c.answer;
    log_.Clear();
    EXPECT_FALSE(RequestFileChecksum(ctx_, u"qorv-ca.pem", &a)) << c.line;
    EXPECT_TRUE(log_.Has(c.line)) << log_.text();
  }
}

TEST_F(FileServicesTest, AFinalFileThatBlocksTheRenameIsRemovedAndTheDownloadRunsOnceMore) {
  SetFreeMiB(1000);
  fileSize_ = 4;
  win::CreateFolderPath(kFolder);
  const std::u16string target = std::u16string(kFolder) + u"\\a.qz";
  win::HANDLE h = win::Files().CreateFileW(target, win::GENERIC_WRITE, 0, win::CREATE_ALWAYS, 0);
  win::CloseHandle(h);

  downloads_.results = {kWebRenameFailed, 4};
  EXPECT_EQ(DownloadSecure(ctx_, u"/agent/a.qz", u"a.qz", kFolder, true), 4);
  ASSERT_EQ(downloads_.calls.size(), 2u);
  EXPECT_TRUE(downloads_.calls[0].restart);
  EXPECT_FALSE(downloads_.calls[1].restart);
  EXPECT_TRUE(log_.Has("파일 삭제 성공 : a.qz"));

  // A final file that cannot be removed either: -15 and one attempt only.
  int status = -1;
  RunWinsim({"lock", machine_.root(), "C:\\dl\\a.qz"}, &status);
  ASSERT_EQ(status, 0);
  downloads_.calls.clear();
  downloads_.results = {kWebRenameFailed};
  EXPECT_EQ(DownloadSecure(ctx_, u"/agent/a.qz", u"a.qz", kFolder, true), kWebRenameFailed);
  EXPECT_EQ(downloads_.calls.size(), 1u);
  EXPECT_TRUE(log_.Has("파일 삭제 실패 : a.qz"));
}

}  // namespace

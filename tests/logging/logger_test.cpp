#include "logging/logger.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "platform/file_util.h"
#include "platform/platform.h"
#include "support/fake_time.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

using qz::Logger;

// 2024-01-31 14:03:59 local time, nine hours ahead of UTC.
constexpr uint64_t kJan31At140359Local = 1706659200000ull + (5 * 3600 + 3 * 60 + 59) * 1000ull;
constexpr int kKst = 9 * 60;

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto time = std::make_unique<qztest::FakeTime>(kJan31At140359Local, kKst);
    clock_ = time.get();
    machine_.Enter().SetTime(std::move(time));
  }

  static void Touch(const std::u16string& path, const std::string& content = "old") {
    auto& files = win::Files();
    const win::HANDLE h = files.CreateFileW(path, win::GENERIC_WRITE, 0, win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, win::INVALID_HANDLE_VALUE) << win::WideToUtf8(path);
    win::DWORD written = 0;
    files.WriteFile(h, content.data(), static_cast<win::DWORD>(content.size()), &written);
    win::CloseHandle(h);
  }
  static bool Exists(const std::u16string& path) {
    return win::Files().GetFileAttributesW(path) != win::INVALID_FILE_ATTRIBUTES;
  }
  std::string Read(const std::u16string& path) const { return qztest::ReadHostFile(machine_.HostPath(path)); }

  static constexpr const char16_t* kFolder = u"C:\\logs";
  static constexpr const char16_t* kToday = u"C:\\logs\\p-20240131.log";

  qztest::TestMachine machine_;
  qztest::FakeTime* clock_ = nullptr;
};

TEST_F(LoggerTest, WritesTheExactLineLayouts) {
  Logger log;
  ASSERT_EQ(log.Open(u"C:\\logs\\", u"p"), 0);  // one trailing backslash is dropped
  log.SetLogLevel(qz::kLogInfo);
  log.SetLogLevel(qz::kLogSystem);
  log.Log(u"WebQuery", u"SendRequest", qz::kLogWarning, u"status %d, %s", 404, u"\ud55c\uae00");
  log.LogMore(qz::kLogWarning, u"detail %s", "utf8 \xED\x95\x9C");
  log.Append(qz::kLogWarning, u"raw %d", 1);
  log.Append(qz::kLogWarning, u"|");
  log.LogA("AgentInfo", "ReadId", qz::kLogFatal, "id=%u", 7u);
  log.LogMoreA(qz::kLogFatal, "%s", "ansi");
  log.Log(u"", u"Main", qz::kLogSystem, u"%s", u"");  // formats to nothing
  EXPECT_EQ(Read(kToday),
            "[ SYSTEM]14:03:59 {{Logger::SetLogLevel}} Set log level:  SYSTEM -->    INFO\r\n"
            "[ SYSTEM]14:03:59 {{Logger::SetLogLevel}} Set log level:    INFO -->  SYSTEM\r\n"
            "[WARNING]14:03:59 {{WebQuery::SendRequest}} status 404, \xED\x95\x9C\xEA\xB8\x80\r\n"
            "\tdetail utf8 \xED\x95\x9C\r\n"
            "raw 1|"
            "[  FATAL]14:03:59 {{AgentInfo::ReadId}} id=7\r\n"
            "\tansi\r\n"
            "[ SYSTEM]14:03:59 {{::Main}} <<< too long>>>\r\n");
}

TEST_F(LoggerTest, ThresholdFiltersEveryOperation) {
  Logger log;
  ASSERT_EQ(log.Open(kFolder, u"p"), 0);
  EXPECT_EQ(log.SetLogLevel(qz::kLogWarning), 0);  // its own line is below the new threshold
  EXPECT_EQ(log.Log(u"T", u"F", qz::kLogSystem, u"below"), 0);
  EXPECT_EQ(log.LogMore(qz::kLogSystem, u"below"), 0);
  EXPECT_EQ(log.LogText(qz::kLogSystem, u"below"), 0);
  EXPECT_EQ(log.LogA("T", "F", qz::kLogSystem, "below"), 0);
  EXPECT_EQ(log.Append(qz::kLogInfo, u"below"), 0);
  EXPECT_EQ(log.Log(u"T", u"F", -1, u"negative"), 0);
  EXPECT_EQ(Read(kToday), "");

  EXPECT_EQ(log.Log(u"T", u"F", 7, u"seven"), 0);
  EXPECT_EQ(log.Log(u"T", u"F", qz::kLogWarning, u"three"), 0);
  EXPECT_EQ(Read(kToday),
            "[  FATAL]14:03:59 {{T::F}} seven\r\n"
            "[WARNING]14:03:59 {{T::F}} three\r\n");
}

TEST_F(LoggerTest, SetLogLevelClampsAndLogsTheChange) {
  struct Case {
    int set;
    int stored;
    const char16_t* name;
    std::string line;  // what the change writes, starting from SYSTEM
  } cases[] = {
      {3, 3, u"WARNING", ""},
      {-1, 0, u"  DEBUG", "[ SYSTEM]14:03:59 {{Logger::SetLogLevel}} Set log level:  SYSTEM -->   DEBUG\r\n"},
      {9, 4, u"  FATAL", ""},
      {2, 2, u" SYSTEM", "[ SYSTEM]14:03:59 {{Logger::SetLogLevel}} Set log level:  SYSTEM -->  SYSTEM\r\n"},
  };
  for (const auto& c : cases) {
    const std::u16string prefix = u"lv" + win::Fmt(u"%d", c.stored);
    Logger log;
    ASSERT_EQ(log.Open(kFolder, prefix), 0);
    EXPECT_EQ(log.GetLogLevelName(), u" SYSTEM");
    EXPECT_EQ(log.SetLogLevel(c.set), 0);
    EXPECT_EQ(log.GetLogLevel(), c.stored) << c.set;
    EXPECT_EQ(log.GetLogLevelName(), c.name) << c.set;
    EXPECT_EQ(Read(u"C:\\logs\\" + prefix + u"-20240131.log"), c.line) << c.set;
  }
}

TEST_F(LoggerTest, OpenRefusesBadArguments) {
  Logger log;
  EXPECT_EQ(log.Open(u"", u"p"), qz::kLogBadFolder);
  EXPECT_EQ(log.Open(u"C:\\" + std::u16string(198, u'f'), u"p"), qz::kLogBadFolder);  // 201 characters
  EXPECT_EQ(log.Open(kFolder, std::u16string(21, u'x')), qz::kLogBadPrefix);
  EXPECT_FALSE(log.IsOpen());

  Touch(u"C:\\plainfile");
  EXPECT_EQ(log.Open(u"C:\\plainfile\\logs", u"p"), qz::kFolderCreateFailed);

  // An empty prefix succeeds without opening anything; a later Open with a prefix opens.
  EXPECT_EQ(log.Open(u"C:\\deep\\er\\logs", u""), 0);
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(log.Log(u"T", u"F", qz::kLogFatal, u"lost"), 0);  // goes nowhere
  EXPECT_EQ(log.Open(u"C:\\deep\\er\\logs", std::u16string(20, u'x')), 0);
  EXPECT_TRUE(Exists(u"C:\\deep\\er\\logs\\xxxxxxxxxxxxxxxxxxxx-20240131.log"));
  EXPECT_EQ(log.Open(kFolder, u"p"), qz::kLogAlreadyOpen);
  log.Close();
  EXPECT_EQ(log.Open(kFolder, u"p"), 0);
}

TEST_F(LoggerTest, OpenDeletesExpiredFilesOfItsPrefixOnly) {
  ASSERT_TRUE(win::CreateFolderPath(kFolder));
  ASSERT_EQ(win::Files().CreateDirectoryW(u"C:\\logs\\p-20230101.d"), win::TRUE);
  struct Case {
    const char16_t* name;
    bool kept;
  } cases[] = {
      {u"p-20240120.log", false},
      {u"p-20240120.log.3", false},
      {u"p-20231231.log", false},
      {u"p-2024", false},  // ends before the cut-off's digits: compares as older
      {u"p-20240121.log", true},  // the cut-off day itself stays
      {u"p-20240121.log.0", true},
      {u"p-20240131.log", true},
      {u"q-20230101.log", true},
      {u"P-20230101.log", true},  // the prefix is compared exactly
      {u"pp-20230101.log", true},
      {u"p_20230101.log", true},
      {u"p-x.log", true},
  };
  for (const auto& c : cases) Touch(u"C:\\logs\\" + std::u16string(c.name));

  Logger log;
  log.SetKeepDays(10);
  ASSERT_EQ(log.Open(kFolder, u"p"), 0);
  for (const auto& c : cases) {
    EXPECT_EQ(Exists(u"C:\\logs\\" + std::u16string(c.name)), c.kept) << win::WideToUtf8(c.name);
  }
  EXPECT_TRUE(Exists(u"C:\\logs\\p-20230101.d"));
  EXPECT_EQ(Read(kToday), "old");  // today's file is continued, not replaced
}

TEST_F(LoggerTest, KeepDaysZeroKeepsOnlyToday) {
  ASSERT_TRUE(win::CreateFolderPath(kFolder));
  Touch(u"C:\\logs\\p-20240130.log");
  Logger log;
  log.SetKeepDays(-3);
  EXPECT_EQ(log.GetKeepDays(), 0);
  ASSERT_EQ(log.Open(kFolder, u"p"), 0);
  EXPECT_FALSE(Exists(u"C:\\logs\\p-20240130.log"));
  EXPECT_TRUE(Exists(kToday));
}

TEST_F(LoggerTest, DayChangeMovesToANewFileAndCleansUp) {
  clock_->SetNow(1706659200000ull + 14 * 3600 * 1000ull + 59 * 60 * 1000ull + 58000);  // 23:59:58 local
  ASSERT_TRUE(win::CreateFolderPath(kFolder));
  Touch(u"C:\\logs\\p-20240121.log");
  Logger log;
  ASSERT_EQ(log.Open(kFolder, u"p"), 0);
  log.Log(u"T", u"F", qz::kLogSystem, u"before");
  clock_->Advance(2000);
  log.LogMore(qz::kLogSystem, u"continuation stays");  // no day check here
  log.Log(u"T", u"F", qz::kLogSystem, u"after");
  EXPECT_EQ(Read(kToday),
            "[ SYSTEM]23:59:58 {{T::F}} before\r\n"
            "\tcontinuation stays\r\n");
  EXPECT_EQ(Read(u"C:\\logs\\p-20240201.log"), "[ SYSTEM]00:00:00 {{T::F}} after\r\n");
  EXPECT_FALSE(Exists(u"C:\\logs\\p-20240121.log"));  // now eleven days old
  EXPECT_EQ(log.CurrentFileName(), u"C:\\logs\\p-20240201.log");
}

TEST_F(LoggerTest, RotationShiftsTheChainUpward) {
  ASSERT_TRUE(win::CreateFolderPath(kFolder));
  Touch(kToday, std::string(1024, 'x'));
  Touch(u"C:\\logs\\p-20240131.log.0", "zero");
  Touch(u"C:\\logs\\p-20240131.log.1", "one");
  Logger log;
  log.SetMaxFileSize(10);
  EXPECT_EQ(log.GetMaxFileSize(), 1024);
  ASSERT_EQ(log.Open(kFolder, u"p"), 0);
  EXPECT_EQ(log.Log(u"T", u"F", qz::kLogSystem, u"fresh"), 0);
  EXPECT_EQ(Read(u"C:\\logs\\p-20240131.log.2"), "one");
  EXPECT_EQ(Read(u"C:\\logs\\p-20240131.log.1"), "zero");
  EXPECT_EQ(Read(u"C:\\logs\\p-20240131.log.0"), std::string(1024, 'x'));
  EXPECT_EQ(Read(kToday), "[ SYSTEM]14:03:59 {{T::F}} fresh\r\n");
  EXPECT_FALSE(Exists(u"C:\\logs\\p-20240131.log.3"));

  // Continuation lines never rotate; the next header line checks again.
  while (Read(kToday).size() < 1024) log.LogMore(qz::kLogSystem, u"%s", std::u16string(100, u'm'));
  EXPECT_FALSE(Exists(u"C:\\logs\\p-20240131.log.3"));
  log.Log(u"T", u"F", qz::kLogSystem, u"next");
  EXPECT_EQ(Read(u"C:\\logs\\p-20240131.log.3"), "one");
  EXPECT_EQ(Read(kToday), "[ SYSTEM]14:03:59 {{T::F}} next\r\n");
}

TEST_F(LoggerTest, MaxFileSizeAndKeepDaysClamp) {
  struct Case {
    int set, stored;
  } cases[] = {{10, 1024}, {1023, 1024}, {1024, 1024}, {0x7FC00, 0x7FC00}, {4193280, 4193280},
               {5000000, 4193280}, {-1, 1024}};
  Logger log;
  EXPECT_EQ(log.GetMaxFileSize(), 523264);
  EXPECT_EQ(log.GetKeepDays(), 10);
  for (const auto& c : cases) {
    log.SetMaxFileSize(c.set);
    EXPECT_EQ(log.GetMaxFileSize(), c.stored) << c.set;
  }
}

TEST_F(LoggerTest, BlockTextIsCutInto110CharacterLines) {
  const std::u16string a(110, u'a'), b(110, u'b'), c(30, u'c');
  const std::string na(110, 'a'), nb(110, 'b'), nc(30, 'c');
  struct Case {
    std::u16string text;
    std::string file;
  } cases[] = {
      {a + b + c, na + "\r\n" + nb + "\r\n" + nc + "\r\n"},
      // A line feed inside the first 110 characters ends the piece; no extra CR LF then.
      {u"short\n" + a + c, "short\n" + na + "\r\n" + nc + "\r\n"},
      // A line feed at position 110 is beyond the first piece.
      {a + u"\n" + c, na + "\r\n" + "\n" + nc + "\r\n"},
      {a, na + "\r\n"},
      {u"", "\r\n"},
      {std::u16string(u"cut\0hidden", 10), "cut\r\n"},  // LogText stops at a NUL
  };
  int i = 0;
  for (const auto& k : cases) {
    const std::u16string prefix = win::Fmt(u"b%d", i++);
    Logger log;
    ASSERT_EQ(log.Open(kFolder, prefix), 0);
    EXPECT_EQ(log.LogText(qz::kLogSystem, k.text), 0);
    EXPECT_EQ(Read(u"C:\\logs\\" + prefix + u"-20240131.log"), k.file) << i;
  }
  Logger log;
  ASSERT_EQ(log.Open(kFolder, u"n"), 0);
  EXPECT_EQ(log.LogTextA(qz::kLogSystem, na + nb + nc), 0);
  EXPECT_EQ(log.LogBlock(qz::kLogSystem, std::u16string_view(u"x\0y", 3)), 0);  // the given length counts
  EXPECT_EQ(Read(u"C:\\logs\\n-20240131.log"), na + "\r\n" + nb + "\r\n" + nc + "\r\n" + std::string("x\0y\r\n", 5));
}

TEST_F(LoggerTest, LongMessagesBecomeTheMarker) {
  Logger log;
  ASSERT_EQ(log.Open(kFolder, u"p"), 0);
  const std::u16string fits(1023, u'\ud55c');  // 3,069 bytes of UTF-8 are written whole
  log.LogMore(qz::kLogSystem, u"%s", fits);
  log.LogMore(qz::kLogSystem, u"%s!", fits);
  log.LogMoreA(qz::kLogSystem, "%s!", std::string(1023, 'n'));
  log.Append(qz::kLogSystem, u"");
  EXPECT_EQ(Read(kToday), "\t" + win::WideToUtf8(fits) + "\r\n\t<<< too long>>>\r\n\t<<< too long>>>\r\n<<< too long>>>");
}

// Every piece reaches the two sinks separately, so a derived logger can frame each one.
class RecordingLogger : public Logger {
 public:
  void WriteW(std::u16string_view text) override { pieces.push_back("W:" + win::WideToUtf8(text)); }
  void WriteA(std::string_view text) override { pieces.push_back("A:" + std::string(text)); }
  std::vector<std::string> pieces;
};

TEST_F(LoggerTest, OutputGoesThroughTheSinksPieceByPiece) {
  RecordingLogger log;
  ASSERT_EQ(log.Open(kFolder, u"p"), 0);
  log.Log(u"T", u"F", qz::kLogSystem, u"m%d", 1);
  log.LogMore(qz::kLogSystem, u"c");
  log.LogA("T", "F", qz::kLogSystem, "n");
  log.AppendA(qz::kLogSystem, "%s", "");
  log.LogText(qz::kLogSystem, std::u16string(115, u'z'));
  const std::vector<std::string> expect = {
      "W:[ SYSTEM]14:03:59 {{T::F}} ", "W:m1", "W:\r\n", "W:\t", "W:c", "W:\r\n",
      "A:[ SYSTEM]14:03:59 {{T::F}} ", "A:n", "A:\r\n", "A:<<< too long>>>",
      "W:" + std::string(110, 'z'), "W:\r\n", "W:zzzzz", "W:\r\n"};
  EXPECT_EQ(log.pieces, expect);
  EXPECT_EQ(Read(kToday), "");
}

TEST_F(LoggerTest, LockKeepsAHeaderAndItsContinuationsTogether) {
  Logger log;
  ASSERT_EQ(log.Open(kFolder, u"p"), 0);
  auto writer = [&log](char16_t who) {
    for (int i = 0; i < 50; ++i) {
      log.Lock();
      log.LogNoLock(u"T", u"F", qz::kLogSystem, u"%c head", who);
      log.LogMoreNoLock(qz::kLogSystem, u"%c one", who);
      log.LogMore(qz::kLogSystem, u"%c two", who);  // the lock is re-entrant for its owner
      log.Unlock();
    }
  };
  std::thread t1(writer, u'a'), t2(writer, u'b');
  t1.join();
  t2.join();
  std::istringstream in(Read(kToday));
  std::string line;
  int groups = 0;
  while (std::getline(in, line)) {
    const char who = line.at(line.find(" head") - 1);
    std::string one, two;
    ASSERT_TRUE(std::getline(in, one));
    ASSERT_TRUE(std::getline(in, two));
    EXPECT_EQ(one, std::string("\t") + who + " one\r");
    EXPECT_EQ(two, std::string("\t") + who + " two\r");
    ++groups;
  }
  EXPECT_EQ(groups, 100);
}

TEST_F(LoggerTest, ClosedLogSwallowsOutput) {
  Logger log;
  EXPECT_EQ(log.Log(u"T", u"F", qz::kLogFatal, u"nothing open"), 0);
  ASSERT_EQ(log.Open(kFolder, u"p"), 0);
  log.Close();
  log.Close();
  EXPECT_EQ(log.Log(u"T", u"F", qz::kLogFatal, u"after close"), 0);
  EXPECT_EQ(Read(kToday), "");
}

TEST(LoggerErrorText, LooksUpByNumber) {
  Logger log;
  struct Case {
    int code;
    std::u16string_view text;
  } cases[] = {
      {-1, u"잘못된 오류 코드"},
      {0, u"성공"},
      {12, u"저장 폴더 생성을 실패함"},
      {46, u"[AGT] 서버에서 파일을 다운로드 받는 데 실패 함"},
      {53, u"[AGT] 업데이터의 업그레이드 실패"},
      {54, u"[AGT] 모듈 업데이트 실패"},
      {1001, u"[LOG] 로그 파일이 이미 열려 있음"},
      {1002, u"[LOG] 로그 파일의 저장 폴더의 패스 이름의 길이는 200보다 작아야 함"},
      {1003, u"[LOG] 로그 파일의 접두어 이름의 길이는 20보다 작아야 함"},
      {1004, u"[LOG] 시간이 경과된 로그 파일의 삭제를 실패함"},
      {1005, u"[LOG] 로그 파일을 여는 데 실패함"},
      {1006, u"[LOG] 로그 파일의 백업 잡업을 실패함"},
      {2011, u"[WSL] 파일의 전자 서명이 올바르지 않음"},
      {2018, u"[LOG] 로그 파일이 이미 열려 있음"},
      {59, u"정의되지 않은 오류 코드"},
      {1000, u"정의되지 않은 오류 코드"},
      {1007, u"정의되지 않은 오류 코드"},
      {2000, u"정의되지 않은 오류 코드"},
      {2019, u"정의되지 않은 오류 코드"},
  };
  for (const auto& c : cases) EXPECT_EQ(log.GetErrorText(c.code), c.text) << c.code;

  struct Group {
    int from, to;
    std::u16string_view prefix;
  } groups[] = {{29, 45, u"[MON] "}, {46, 54, u"[AGT] "}, {2001, 2005, u"[SIG] "}, {2006, 2017, u"[WSL] "}};
  for (const auto& g : groups) {
    for (int code = g.from; code <= g.to; ++code) EXPECT_TRUE(log.GetErrorText(code).starts_with(g.prefix)) << code;
  }
  for (int code : {1, 28, 55, 58}) EXPECT_NE(log.GetErrorText(code), u"정의되지 않은 오류 코드") << code;
}

}  // namespace

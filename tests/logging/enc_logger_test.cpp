#include "logging/enc_logger.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/fake_time.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// One record as the log writes it: little-endian length, then the ciphertext of the piece.
Bytes Record(std::string_view text) {
  static qz::qzAES aes = [] {
    qz::qzAES a;
    qz::SetLogKey(a);
    return a;
  }();
  Bytes cipher(text.size() + 16);
  int n = aes.Encrypt(cipher, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  cipher.resize(static_cast<size_t>(n));
  Bytes out(4);
  out[0] = static_cast<uint8_t>(n);
  out[1] = static_cast<uint8_t>(n >> 8);
  return Join({out, cipher});
}


struct ReadResult {
  std::string text;
  std::vector<qz::EncLogReader::Damage> damage;
};

ReadResult ReadAll(const Bytes& file, size_t chunk = 0) {
  qz::EncLogReader reader;
  ReadResult r;
  if (chunk == 0) chunk = file.size() + 1;
  for (size_t at = 0; at < file.size(); at += chunk) {
    reader.Feed(std::span(file.data() + at, std::min(chunk, file.size() - at)));
    r.text += reader.TakeText();
  }
  reader.Finish();
  r.text += reader.TakeText();
  r.damage = reader.TakeDamage();
  return r;
}

TEST(EncLogReader, JoinsPiecesWhateverTheReadSizes) {
  const Bytes file = Join({Record("[   INFO]10:00:00 {{T::F}} "), Record("message"), Record("\r\n"), Record(""),
                           Record(std::string(1500, 'x'))});
  for (size_t chunk : {0, 1, 3, 4, 17, 100}) {
    ReadResult r = ReadAll(file, chunk);
    EXPECT_EQ(r.text, "[   INFO]10:00:00 {{T::F}} message\r\n" + std::string(1500, 'x')) << chunk;
    EXPECT_TRUE(r.damage.empty()) << chunk;
  }
}

TEST(EncLogReader, DamageIsReportedAtItsOffsetAndReadingGoesOn) {
  const Bytes a = Record("first\r\n"), b = Record("second piece of text\r\n"), c = Record("third\r\n");
  struct Case {
    const char* what;
    Bytes file;
    std::string text;
    std::vector<qz::EncLogReader::Damage> damage;
  };
  Bytes badLength = b;
  badLength[0] = 0x11;  // not a multiple of 16
  Bytes hugeLength = b;
  hugeLength[3] = 0x80;  // negative as a signed length
  Bytes badCipher = b;
  badCipher.back() ^= 0x5A;  // breaks the padding
  Bytes cut(b.begin(), b.end() - 5);
  const Case cases[] = {
      {"length not a multiple of 16", Join({a, badLength, c}), "first\r\nthird\r\n", {{a.size(), b.size(), false}}},
      {"negative length", Join({a, hugeLength, c}), "first\r\nthird\r\n", {{a.size(), b.size(), false}}},
      {"ciphertext damaged", Join({a, badCipher, c}), "first\r\nthird\r\n", {{a.size(), b.size(), false}}},
      {"garbage between records", Join({a, Bytes(7, 0xEE), c}), "first\r\nthird\r\n", {{a.size(), 7, false}}},
      {"record cut off at the end", Join({a, cut}), "first\r\n", {{a.size(), cut.size(), true}}},
      {"cut inside the length", Join({a, Bytes(b.begin(), b.begin() + 2)}), "first\r\n", {{a.size(), 2, true}}},
      {"garbage at the end", Join({a, Bytes(40, 0x01)}), "first\r\n", {{a.size(), 40, false}}},
      {"record cut off, then more records", Join({a, cut, c}), "first\r\nthird\r\n", {{a.size(), cut.size(), false}}},
  };
  for (const Case& tc : cases) {
    for (size_t chunk : {0, 5}) {
      ReadResult r = ReadAll(tc.file, chunk);
      EXPECT_EQ(r.text, tc.text) << tc.what;
      ASSERT_EQ(r.damage.size(), tc.damage.size()) << tc.what;
      for (size_t i = 0; i < r.damage.size(); ++i) {
        EXPECT_EQ(r.damage[i].offset, tc.damage[i].offset) << tc.what;
        EXPECT_EQ(r.damage[i].length, tc.damage[i].length) << tc.what;
        EXPECT_EQ(r.damage[i].truncated, tc.damage[i].truncated) << tc.what;
      }
    }
  }
}

TEST(EncLogReader, IncompleteRecordWaitsForMoreUntilFinished) {
  const Bytes rec = Record("growing\r\n");
  qz::EncLogReader reader;
  reader.Feed(std::span(rec.data(), 10));
  EXPECT_EQ(reader.TakeText(), "");
  EXPECT_TRUE(reader.TakeDamage().empty());
  EXPECT_EQ(reader.position(), 0u);
  reader.Feed(std::span(rec.data() + 10, rec.size() - 10));
  EXPECT_EQ(reader.TakeText(), "growing\r\n");
  EXPECT_EQ(reader.position(), rec.size());
}

TEST(LogLevelFromName, NamesAndDigits) {
  struct Case {
    const char* name;
    int level;
  };
  for (const Case& c : {Case{"DEBUG", 0}, Case{"info", 1}, Case{" SYSTEM", 2}, Case{"Warning", 3}, Case{"  FATAL", 4},
                        Case{"3", 3}, Case{"5", -1}, Case{"", -1}, Case{"ERROR", -1}}) {
    EXPECT_EQ(qz::LogLevelFromName(c.name), c.level) << c.name;
  }
}

TEST(LogLevelFilter, KeepsHeadersAtOrAboveLevelWithTheirFollowingLines) {
  const std::string log =
      "before any header\r\n"
      "[  DEBUG]10:00:00 {{A::f}} debug\r\n"
      "\tdebug continuation\r\n"
      "[WARNING]10:00:01 {{A::f}} warn\r\n"
      "\twarn continuation\r\n"
      "block text under the warning\r\n"
      "[   INFO]10:00:02 {{A::f}} info\r\n"
      "[  FATAL]10:00:03 {{A::f}} fatal\r\n"
      "[notalevel] text\r\n"
      "unterminated";
  qz::LogLevelFilter filter(qz::kLogWarning);
  std::string out;
  // Fed in odd pieces, as records arrive.
  for (size_t at = 0; at < log.size(); at += 7) out += filter.Push(std::string_view(log).substr(at, 7));
  out += filter.Flush();
  EXPECT_EQ(out,
            "before any header\r\n"
            "[WARNING]10:00:01 {{A::f}} warn\r\n"
            "\twarn continuation\r\n"
            "block text under the warning\r\n"
            "[  FATAL]10:00:03 {{A::f}} fatal\r\n"
            "[notalevel] text\r\n"
            "unterminated");
}

// 2024-01-31 14:03:59 local time.
constexpr uint64_t kJan31At140359 = 1706659200000ull + (14 * 3600 + 3 * 60 + 59) * 1000ull;

class EncLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto time = std::make_unique<qztest::FakeTime>(kJan31At140359);
    machine_.Enter().SetTime(std::move(time));
  }
  std::string Read(const std::u16string& path) const { return qztest::ReadHostFile(machine_.HostPath(path)); }
  static Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
  // Ciphertext lengths of the records of a file, checking that records fill it exactly.
  static std::vector<uint32_t> RecordSizes(const std::string& file) {
    std::vector<uint32_t> sizes;
    size_t at = 0;
    while (at + 4 <= file.size()) {
      uint32_t n = static_cast<uint8_t>(file[at]) | static_cast<uint8_t>(file[at + 1]) << 8 |
                   static_cast<uint8_t>(file[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(file[at + 3])) << 24;
      sizes.push_back(n);
      at += 4 + n;
    }
    EXPECT_EQ(at, file.size()) << "records must fill the file exactly";
    return sizes;
  }

  // The same calls against any logger.
  static void Exercise(qz::Logger& log) {
    log.SetLogLevel(qz::kLogDebug);
    log.Log(u"WebQuery", u"SendRequest", qz::kLogWarning, u"status %d, %s", 404, u"\ud55c\uae00");
    log.LogMore(qz::kLogWarning, u"detail %s", "utf8 \xED\x95\x9C");
    log.Append(qz::kLogInfo, u"raw %d", 1);
    log.LogA("AgentInfo", "ReadId", qz::kLogFatal, "id=%u \xC7\xD1", 7u);  // ANSI (949) text
    log.LogMoreA(qz::kLogFatal, "%s", "ansi");
    log.Log(u"", u"Main", qz::kLogSystem, u"%s", u"");  // the too-long marker
    log.LogText(qz::kLogInfo, std::u16string(250, u'b'));
    log.LogBlockA(qz::kLogInfo, "line one\nline two");
    log.Log(u"T", u"F", qz::kLogDebug, u"%s", std::u16string(1000, u'\xD55C'));  // 3,000 bytes of UTF-8
    log.Log(u"T", u"F", -1, u"never");
  }

  qztest::TestMachine machine_{"win10-x64", "ko"};
};

TEST_F(EncLoggerTest, DecryptsToExactlyWhatThePlainLoggerWrites) {
  qz::Logger plain;
  qz::EncLogger enc;
  ASSERT_EQ(plain.Open(u"C:\\plain", u"qzUpdater"), 0);
  ASSERT_EQ(enc.Open(u"C:\\enc", u"qzUpdater"), 0);
  Exercise(plain);
  Exercise(enc);
  const std::string expected = Read(u"C:\\plain\\qzUpdater-20240131.log");
  const std::string encrypted = Read(u"C:\\enc\\qzUpdater-20240131.log");
  ASSERT_GT(expected.size(), 3000u);
  EXPECT_EQ(expected.find("\t"), expected.find("\tdetail utf8 \xED\x95\x9C"));
  EXPECT_EQ(encrypted.find("WebQuery"), std::string::npos);
  ReadResult r = ReadAll(ToBytes(encrypted));
  EXPECT_TRUE(r.damage.empty());
  EXPECT_EQ(r.text, expected);

  // And through the reader program, from the machine's log folder.
  const std::string program = qztest::BuiltProgram("qzlog");
  if (!std::filesystem::exists(program)) GTEST_SKIP() << "qzlog is not built";
  int status = -1;
  const std::string folder = machine_.HostPath(u"C:\\enc");
  const std::string out = qztest::HostOutput(qztest::ShellQuote(program) + " " + qztest::ShellQuote(folder), &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "=== 2024-01-31 " + (std::filesystem::path(folder) / "qzUpdater-20240131.log").string() + " ===\r\n" +
                     expected);
}

TEST_F(EncLoggerTest, OneRecordPerSinkCallOfTheGivenSizes) {
  qz::EncLogger enc;
  ASSERT_EQ(enc.Open(u"C:\\enc", u"p"), 0);
  enc.WriteW(u"");
  enc.WriteW(u"\r\n");
  enc.WriteA("");
  // Header of 25 fixed characters plus tag and function: 40 characters.
  enc.Log(u"AgentQuery", u"Probe", qz::kLogSystem, u"%s", u"0123456789abcdef");
  enc.LogMore(qz::kLogSystem, u"x");
  const std::string file = Read(u"C:\\enc\\p-20240131.log");
  EXPECT_EQ(RecordSizes(file), (std::vector<uint32_t>{16, 16, 16, 48, 32, 16, 16, 16, 16}));
  ReadResult r = ReadAll(ToBytes(file));
  EXPECT_EQ(r.text, "\r\n[ SYSTEM]14:03:59 {{AgentQuery::Probe}} 0123456789abcdef\r\n\tx\r\n");
}

TEST_F(EncLoggerTest, RotationCountsEncryptedBytes) {
  qz::EncLogger enc;
  ASSERT_EQ(enc.Open(u"C:\\enc", u"p"), 0);
  enc.SetMaxFileSize(1024);
  std::string plainText;
  for (int i = 0; i < 20; ++i) enc.Log(u"T", u"F", qz::kLogSystem, u"line %d", i);
  const std::string current = Read(u"C:\\enc\\p-20240131.log");
  const std::string rotated = Read(u"C:\\enc\\p-20240131.log.0");
  ASSERT_GE(rotated.size(), 1024u);
  EXPECT_LT(rotated.size(), 1024u + 200u);
  ReadResult a = ReadAll(ToBytes(rotated)), b = ReadAll(ToBytes(current));
  EXPECT_TRUE(a.damage.empty());
  EXPECT_TRUE(b.damage.empty());
  EXPECT_EQ(a.text.rfind("[ SYSTEM]14:03:59 {{T::F}} line 0\r\n", 0), 0u);
  EXPECT_NE(b.text.find("line 19\r\n"), std::string::npos);
}

// The text without qzlog's "=== DATE PATH ===" lines.
std::string WithoutFileHeaders(const std::string& out) {
  std::istringstream in(out);
  std::string kept;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("=== ", 0) != 0) kept += line + "\n";
  }
  return kept;
}

// The built reader program, end to end on host files.
class QzlogProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = qztest::BuiltProgram("qzlog");
    if (!std::filesystem::exists(program_)) GTEST_SKIP() << "qzlog is not built";
  }
  void Put(const std::string& name, const Bytes& bytes) {
    qztest::WriteHostFile(dir_ / name, std::string(bytes.begin(), bytes.end()));
  }
  struct Run {
    std::string out, err;
    int status = -1;
  };
  Run Start(const std::string& args) {
    const std::string errFile = dir_ / "stderr.txt";
    Run r;
    r.out = qztest::HostOutput(program_ + " " + args + " 2>" + errFile, &r.status);
    r.err = qztest::ReadHostFile(errFile);
    return r;
  }
  std::string program_;
  qztest::HostDir dir_;
};

TEST_F(QzlogProgram, FolderGivesDaysInOrderRotatedFilesOldestFirst) {
  Put("p-20240131.log", Join({Record("31 current\r\n")}));
  Put("p-20240131.log.0", Join({Record("31 rotated 0\r\n")}));
  Put("p-20240131.log.1", Join({Record("31 rotated 1\r\n")}));
  Put("p-20240131.log.10", Join({Record("31 rotated 10\r\n")}));
  Put("p-20240130.log", Join({Record("30 current\r\n")}));
  Put("notes.txt", Bytes{'x'});
  Run r = Start(dir_.path());
  EXPECT_EQ(r.status, 0) << r.err;
  const auto head = [&](const char* date, const char* name) {
    return std::string("=== ") + date + " " + (dir_ / name) + " ===\r\n";
  };
  EXPECT_EQ(r.out, head("2024-01-30", "p-20240130.log") + "30 current\r\n" + head("2024-01-31", "p-20240131.log.10") +
                       "31 rotated 10\r\n" + head("2024-01-31", "p-20240131.log.1") + "31 rotated 1\r\n" +
                       head("2024-01-31", "p-20240131.log.0") + "31 rotated 0\r\n" +
                       head("2024-01-31", "p-20240131.log") + "31 current\r\n");
}

TEST_F(QzlogProgram, DamageIsReportedWithOffsetAndExitStatus) {
  const Bytes a = Record("[   INFO]10:00:00 {{T::F}} kept\r\n");
  Bytes b = Record("lost\r\n");
  b[10] ^= 0xFF;
  const Bytes c = Record("[  DEBUG]10:00:01 {{T::F}} debug\r\n");
  const Bytes d = Record("\tdebug detail\r\n");
  const Bytes e = Record("[WARNING]10:00:02 {{T::F}} warn\r\n");
  Put("one.log", Join({a, b, c, d, e}));
  Put("two.log", Join({Record("second file\r\n")}));
  Run all = Start((dir_ / "one.log") + " " + (dir_ / "two.log"));
  EXPECT_EQ(all.status, 1);
  // Two files: each begins with its header line (dated by its time of writing, as the names carry no date).
  EXPECT_EQ(WithoutFileHeaders(all.out),
            "[   INFO]10:00:00 {{T::F}} kept\r\n[  DEBUG]10:00:01 {{T::F}} debug\r\n\tdebug detail\r\n"
            "[WARNING]10:00:02 {{T::F}} warn\r\nsecond file\r\n");
  EXPECT_EQ(all.out.find("=== "), 0u) << all.out;
  EXPECT_NE(all.out.find(" " + (dir_ / "two.log") + " ===\r\nsecond file"), std::string::npos) << all.out;
  EXPECT_NE(all.err.find("offset " + std::to_string(a.size())), std::string::npos) << all.err;

  Run filtered = Start("--level info " + (dir_ / "one.log"));
  EXPECT_EQ(filtered.out, "[   INFO]10:00:00 {{T::F}} kept\r\n[WARNING]10:00:02 {{T::F}} warn\r\n");

  Put("cut.log", Bytes(a.begin(), a.end() - 3));
  Run cut = Start(dir_ / "cut.log");
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.err.find("truncated record at offset 0"), std::string::npos) << cut.err;

  Run clean = Start(dir_ / "two.log");
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(Start("--level LOUD " + (dir_ / "two.log")).status, 2);
}

// Three days of logs, a day's last record cut short (twice: inside a line, and a whole header
// record), and files beside them that are not logs.
class QzlogFolder : public QzlogProgram {
 protected:
  void SetUp() override {
    QzlogProgram::SetUp();
    if (IsSkipped()) return;
    Put("qzUpdater-20240129.log", Join({Record("[   INFO]09:00:00 {{T::F}} "), Record("day 29 starts"), Record("\r\n"),
                                        Record("[WARNING]23:59:59 {{T::F}} "), Record("late on the 29th"),
                                        Record("\r\n"), Record("\t"), Record("Needle in a continuation"),
                                        Record("\r\n")}));
    const Bytes day30 = Join({Record("[   INFO]10:00:00 {{T::F}} "), Record("day 30"), Record("\r\n"),
                              Record("[  FATAL]10:00:05 {{T::F}} ")});
    const Bytes cut30 = Record("this text never reached the disk whole");
    cut30Offset_ = day30.size();
    cut30Length_ = cut30.size() - 7;
    Put("qzUpdater-20240130.log", Join({day30, Bytes(cut30.begin(), cut30.end() - 7)}));
    const Bytes day31 = Join({Record("[   INFO]08:00:00 {{T::F}} "), Record("day 31"), Record("\r\n")});
    const Bytes cut31 = Record("[   INFO]08:00:01 {{T::F}} ");
    cut31Offset_ = day31.size();
    cut31Length_ = 20;
    Put("qzUpdater-20240131.log", Join({day31, Bytes(cut31.begin(), cut31.begin() + 20)}));
    // Random bytes under a log's name (escape sequences and NULs among them), and beside the logs.
    Bytes noise(3000);
    uint32_t x = 12345;
    for (auto& b : noise) {
      x = x * 1103515245u + 12345u;
      b = static_cast<uint8_t>(x >> 16);
    }
    noise[0] = 0x1B;
    noise[1] = '[';
    Put("qzUpdater-20240128.log", noise);
    Put("photo.bin", noise);
  }

  std::string Head(const char* date) const {
    return std::string("=== ") + date + " " + (dir_ / ("qzUpdater-" + std::string(date).erase(4, 1).erase(6, 1) + ".log")) +
           " ===\r\n";
  }
  static std::string Cut(size_t offset, size_t length) {
    return "<<< truncated record at offset " + std::to_string(offset) + " (" + std::to_string(length) +
           " bytes): the rest of this line was not written >>>";
  }
  // The entries, as the files hold them.
  const std::string e29a = "[   INFO]09:00:00 {{T::F}} day 29 starts\r\n";
  const std::string e29b = "[WARNING]23:59:59 {{T::F}} late on the 29th\r\n\tNeedle in a continuation\r\n";
  const std::string e30a = "[   INFO]10:00:00 {{T::F}} day 30\r\n";
  std::string E30b() const { return "[  FATAL]10:00:05 {{T::F}} " + Cut(cut30Offset_, cut30Length_) + "\r\n"; }
  const std::string e31a = "[   INFO]08:00:00 {{T::F}} day 31\r\n";
  std::string E31b() const { return Cut(cut31Offset_, cut31Length_) + "\r\n"; }

  size_t cut30Offset_ = 0, cut30Length_ = 0, cut31Offset_ = 0, cut31Length_ = 0;
};

TEST_F(QzlogFolder, DaysAreSeparatedACutRecordIsMarkedAndOtherDataRefused) {
  Run r = Start(dir_.path());
  // Every line whole and in its own day; nothing of the random data on the terminal.
  EXPECT_EQ(r.out, Head("2024-01-29") + e29a + e29b + Head("2024-01-30") + e30a + E30b() + Head("2024-01-31") + e31a +
                       E31b());
  EXPECT_EQ(r.status, 2) << "a refused file outweighs damage";
  EXPECT_NE(r.err.find((dir_ / "qzUpdater-20240128.log") + ": not an encrypted log file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find((dir_ / "photo.bin") + ": skipped, not named like a log file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("qzUpdater-20240130.log: truncated record at offset " + std::to_string(cut30Offset_)),
            std::string::npos)
      << r.err;

  // The random file alone: refused, exit 2, nothing printed; a plain text file is named as such.
  Run random = Start(dir_ / "photo.bin");
  EXPECT_EQ(random.status, 2);
  EXPECT_EQ(random.out, "");
  EXPECT_NE(random.err.find("not an encrypted log file"), std::string::npos) << random.err;
  qztest::WriteHostFile(dir_ / "plain.log", "[   INFO]10:00:00 {{T::F}} plain\r\n");
  Run plain = Start(dir_ / "plain.log");
  EXPECT_EQ(plain.status, 2);
  EXPECT_EQ(plain.out, "");
  EXPECT_NE(plain.err.find("plain text"), std::string::npos) << plain.err;

  // Without the refused file: exit 1 for the cut records alone.
  std::filesystem::remove(dir_ / "qzUpdater-20240128.log");
  EXPECT_EQ(Start(dir_.path()).status, 1);
}

TEST_F(QzlogFolder, SinceUntilGrepAndLevelKeepWholeEntriesUnderTheirDays) {
  struct Case {
    std::string args, out;
  };
  const std::vector<Case> cases = {
      {"--since '2024-01-29 12:00' --until 2024-01-30",
       Head("2024-01-29") + e29b + Head("2024-01-30") + e30a + E30b()},
      {"--until '2024-01-30 10:00:04'", Head("2024-01-29") + e29a + e29b + Head("2024-01-30") + e30a},
      {"--since 2024-01-30T10:00:05", Head("2024-01-30") + E30b() + Head("2024-01-31") + e31a + E31b()},
      {"--since 20240131", Head("2024-01-31") + e31a + E31b()},
      {"--grep needle", Head("2024-01-29") + e29b},
      // A cut-off record on a line of its own stays with the entry above it.
      {"--grep 'day 3'", Head("2024-01-30") + e30a + Head("2024-01-31") + e31a + E31b()},
      {"--level warning", Head("2024-01-29") + e29b + Head("2024-01-30") + E30b()},
      {"--level warning --grep needle --since 2024-01-29", Head("2024-01-29") + e29b},
      {"--grep 'not in any entry'", ""},
  };
  for (const auto& c : cases) {
    Run r = Start(c.args + " " + dir_.path());
    EXPECT_EQ(r.out, c.out) << c.args;
  }
  for (const char* bad : {"--since 2024-13-01", "--until yesterday", "--since '2024-01-31 24:00'",
                          "--since 2024-01-31 --until 2024-01-30", "--grep ''", "--level"}) {
    Run r = Start(std::string(bad) + " " + dir_.path());
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.out, "") << bad;
  }
}

}  // namespace

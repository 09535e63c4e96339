#include "logging/enc_logger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace

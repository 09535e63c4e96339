// The encrypted log: a Logger whose file holds one record per sink call (4-byte little-endian
// length, then the AES ciphertext of that piece of UTF-8 text under the built-in log key), and
// the reader that turns such files back into the plain text.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/aes.h"
#include "logging/logger.h"

namespace qz {

// Derives the log key (the same on every computer) into aes.
void SetLogKey(qzAES& aes);

class EncLogger : public Logger {
 public:
  // Ciphertext room per record; a longer piece goes into several records.
  static constexpr size_t kRecordBuffer = 4096;

  EncLogger();

  void WriteW(std::u16string_view text) override;
  void WriteA(std::string_view text) override;

 private:
  void WriteRecords(std::string_view utf8);

  qzAES aes_;
};

// Decodes a stream of records fed as it arrives. Damaged data is skipped up to the next record
// that decodes, and reported with its file offset.
class EncLogReader {
 public:
  static constexpr uint32_t kMaxRecord = EncLogger::kRecordBuffer;

  struct Damage {
    uint64_t offset = 0;  // where the bad bytes start
    uint64_t length = 0;  // how many bytes were skipped
    bool truncated = false;  // the input ended inside a record
  };

  EncLogReader();

  // Appends bytes of the file (in order) and decodes every record they complete.
  void Feed(std::span<const uint8_t> bytes);
  // The input has ended: a record left incomplete is damage.
  void Finish();

  // Text decoded so far (taken out).
  std::string TakeText();
  std::vector<Damage> TakeDamage();
  // File offset of the first byte not yet decoded.
  uint64_t position() const { return base_ + pos_; }

 private:
  enum class Step { Decoded, Bad, NeedMore };
  Step TryRecord(size_t at, std::string* text);
  void Run(bool final);
  void EndDamage(uint64_t end, bool truncated);
  void Compact();

  qzAES aes_;
  std::vector<uint8_t> buffer_;
  uint64_t base_ = 0;  // file offset of buffer_[0]
  size_t pos_ = 0;
  bool inDamage_ = false;
  uint64_t damageStart_ = 0;
  std::string text_;
  std::vector<Damage> damage_;
};

// Level names as they appear in header lines ("  DEBUG" ... "  FATAL"), trimmed, or a digit 0-4;
// case does not matter. -1 when unknown.
int LogLevelFromName(std::string_view name);

// Keeps header lines of a level at or above the threshold and the lines that follow each kept one
// (continuations, blocks); drops the others. Lines before the first header are kept.
class LogLevelFilter {
 public:
  explicit LogLevelFilter(int minLevel) : minLevel_(minLevel) {}
  // Returns the kept part of the complete lines seen so far.
  std::string Push(std::string_view text);
  // The last line even without its line end.
  std::string Flush();

 private:
  void Line(std::string_view line, std::string* out);

  int minLevel_;
  bool keeping_ = true;
  std::string partial_;
};

}  // namespace qz

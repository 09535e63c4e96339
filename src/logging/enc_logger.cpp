#include "logging/enc_logger.h"

#include <algorithm>
#include <utility>

#include "crypto/digest.h"
#include "crypto/secrets.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

namespace {

constexpr size_t kMaxPiece = EncLogger::kRecordBuffer - 16;  // leaves room for the padding block

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool PlausibleLength(uint32_t n) { return n >= 16 && n % 16 == 0 && n <= EncLogReader::kMaxRecord; }

constexpr std::string_view kLineNames[] = {"DEBUG", "INFO", "SYSTEM", "WARNING", "FATAL"};

}  // namespace

void SetLogKey(qzAES& aes) {
  const std::string text = FormatKeyText(secrets::LogKeyTemplate(), {secrets::LogPassword()});
  aes.SetKeyInput(DigestMemory(text));
}

EncLogger::EncLogger() { SetLogKey(aes_); }

void EncLogger::WriteW(std::u16string_view text) { WriteRecords(win::WideToUtf8(text)); }

void EncLogger::WriteA(std::string_view text) { WriteRecords(win::WideToUtf8(win::AnsiToWide(text))); }

void EncLogger::WriteRecords(std::string_view utf8) {
  uint8_t cipher[kRecordBuffer];
  // An empty piece still makes one (16-byte) record; an oversized one is split rather than lost,
  // since the reader joins the pieces anyway.
  size_t at = 0;
  do {
    const std::string_view piece = utf8.substr(at, kMaxPiece);
    at += piece.size();
    const int n = aes_.Encrypt(cipher, std::span(reinterpret_cast<const uint8_t*>(piece.data()), piece.size()));
    if (n < 0) return;
    const uint8_t length[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                               static_cast<uint8_t>(n >> 24)};
    WriteToFile(length, sizeof length);
    WriteToFile(cipher, static_cast<size_t>(n));
  } while (at < utf8.size());
}

EncLogReader::EncLogReader() { SetLogKey(aes_); }

void EncLogReader::Feed(std::span<const uint8_t> bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  Run(false);
}

void EncLogReader::Finish() { Run(true); }

std::string EncLogReader::TakeText() { return std::exchange(text_, {}); }
std::vector<EncLogReader::Damage> EncLogReader::TakeDamage() { return std::exchange(damage_, {}); }

EncLogReader::Step EncLogReader::TryRecord(size_t at, std::string* text) {
  if (buffer_.size() - at < 4) return Step::NeedMore;
  const uint32_t n = ReadLe32(buffer_.data() + at);
  if (!PlausibleLength(n)) return Step::Bad;
  if (buffer_.size() - at - 4 < n) return Step::NeedMore;
  uint8_t plain[kMaxRecord];
  const int m = aes_.Decrypt(plain, std::span(buffer_.data() + at + 4, n));
  if (m < 0) return Step::Bad;
  text->assign(reinterpret_cast<const char*>(plain), static_cast<size_t>(m));
  return Step::Decoded;
}

void EncLogReader::EndDamage(uint64_t end, bool truncated) {
  damage_.push_back({damageStart_, end - damageStart_, truncated});
  inDamage_ = false;
}

void EncLogReader::Run(bool final) {
  std::string piece;
  while (pos_ < buffer_.size()) {
    const Step step = TryRecord(pos_, &piece);
    if (step == Step::Decoded) {
      if (inDamage_) EndDamage(base_ + pos_, false);
      text_ += piece;
      pos_ += 4 + ReadLe32(buffer_.data() + pos_);
      continue;
    }
    if (step == Step::NeedMore && !final) break;
    // Bad here (or incomplete at the very end): look for the next record from the following byte.
    if (!inDamage_) {
      inDamage_ = true;
      damageStart_ = base_ + pos_;
    }
    ++pos_;
  }
  if (final && inDamage_) {
    // Ran to the end without finding another record: a cut-off record when it began with a
    // plausible length, otherwise plain damage.
    bool truncated = false;
    if (damageStart_ >= base_) {
      const size_t start = static_cast<size_t>(damageStart_ - base_);
      const size_t left = buffer_.size() - start;
      truncated = left < 4 || (PlausibleLength(ReadLe32(buffer_.data() + start)) &&
                               left - 4 < ReadLe32(buffer_.data() + start));
    }
    EndDamage(base_ + buffer_.size(), truncated);
  }
  Compact();
}

void EncLogReader::Compact() {
  // Decoded (or skipped) bytes are dropped once they make up most of the buffer.
  if (pos_ > 65536 && pos_ * 2 > buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos_));
    base_ += pos_;
    pos_ = 0;
  }
}

int LogLevelFromName(std::string_view name) {
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  if (name.size() == 1 && name[0] >= '0' && name[0] <= '4') return name[0] - '0';
  for (size_t i = 0; i < std::size(kLineNames); ++i) {
    if (win::EqualsNoCaseA(name, kLineNames[i])) return static_cast<int>(i);
  }
  return -1;
}

void LogLevelFilter::Line(std::string_view line, std::string* out) {
  // A header line starts with the seven-character level name in brackets.
  if (line.size() >= 9 && line[0] == '[' && line[8] == ']') {
    const int level = LogLevelFromName(line.substr(1, 7));
    if (level >= 0) keeping_ = level >= minLevel_;
  }
  if (keeping_) out->append(line);
}

std::string LogLevelFilter::Push(std::string_view text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t lf = text.find('\n', at);
    if (lf == std::string_view::npos) {
      partial_.append(text.substr(at));
      break;
    }
    if (partial_.empty()) {
      Line(text.substr(at, lf + 1 - at), &out);
    } else {
      partial_.append(text.substr(at, lf + 1 - at));
      Line(partial_, &out);
      partial_.clear();
    }
    at = lf + 1;
  }
  return out;
}

std::string LogLevelFilter::Flush() {
  std::string out;
  if (!partial_.empty()) Line(partial_, &out);
  partial_.clear();
  return out;
}

}  // namespace qz

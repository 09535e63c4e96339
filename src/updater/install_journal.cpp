#include "updater/install_journal.h"

#include <set>

#include "platform/text.h"
#include "updater/module_download.h"

namespace qz {

namespace {

constexpr std::string_view kHeader = "qzUpdater install journal 1";

bool IsUpperHex64(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool ParseBuild(std::string_view text, uint32_t* build) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  *build = static_cast<uint32_t>(v);
  return true;
}

// A name the journal may carry: a plain file name that is not hidden (the journal's own kind).
bool IsJournalName(std::u16string_view name) { return IsPlainFileName(name) && name[0] != u'.'; }

// Splits off the text up to the next blank.
std::string_view Word(std::string_view* rest) {
  const size_t blank = rest->find(' ');
  const std::string_view word = rest->substr(0, blank);
  *rest = blank == std::string_view::npos ? std::string_view() : rest->substr(blank + 1);
  return word;
}

}  // namespace

std::string FormatInstallJournal(const InstallJournal& journal) {
  std::string text(kHeader);
  text += "\nbuild " + std::to_string(journal.build) + "\n";
  for (const InstallStep& s : journal.steps) {
    if (s.kind == InstallStep::Kind::Put) {
      text += "put " + HexEncode(s.digest) + (s.replaces ? " 1 " : " 0 ") + win::WideToUtf8(s.name) + "\n";
    } else {
      text += "remove " + win::WideToUtf8(s.name) + "\n";
    }
  }
  return text + "sum " + HexEncode(DigestMemory(std::string_view(text))) + "\n";
}

bool ParseInstallJournal(std::string_view text, InstallJournal* journal) {
  if (text.size() > kInstallJournalLimit || text.size() < 2 || text.back() != '\n') return false;
  // The last line seals everything before it.
  const size_t sumStart = text.rfind('\n', text.size() - 2) + 1;
  const std::string_view body = text.substr(0, sumStart);
  std::string_view sumLine = text.substr(sumStart, text.size() - 1 - sumStart);
  if (Word(&sumLine) != "sum" || !IsUpperHex64(sumLine) || sumLine != HexEncode(DigestMemory(body))) return false;

  InstallJournal out;
  std::set<std::u16string> names;
  size_t pos = 0;
  int lineNo = 0;
  while (pos < body.size()) {
    const size_t end = body.find('\n', pos);
    std::string_view line = body.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (lineNo == 1) {
      if (line != kHeader) return false;
      continue;
    }
    const std::string_view kind = Word(&line);
    if (lineNo == 2) {
      if (kind != "build" || !ParseBuild(line, &out.build)) return false;
      continue;
    }
    InstallStep step;
    if (kind == "put") {
      step.kind = InstallStep::Kind::Put;
      const std::string_view digest = Word(&line);
      const std::string_view replaces = Word(&line);
      if (!IsUpperHex64(digest) || !HexDecode64(digest, &step.digest)) return false;
      if (replaces != "0" && replaces != "1") return false;
      step.replaces = replaces == "1";
    } else if (kind == "remove") {
      step.kind = InstallStep::Kind::Remove;
    } else {
      return false;
    }
    step.name = win::Utf8ToWide(line);
    if (win::WideToUtf8(step.name) != line || !IsJournalName(step.name)) return false;
    if (!names.insert(win::FoldCase(step.name)).second) return false;
    out.steps.push_back(std::move(step));
  }
  if (lineNo < 2) return false;
  *journal = std::move(out);
  return true;
}

}  // namespace qz

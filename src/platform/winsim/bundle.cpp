#include "platform/winsim/bundle.h"

#include <cstring>
#include <fstream>

#include <filesystem>

namespace winsim {

namespace {

constexpr char kMagic[8] = {'Q', 'Z', 'W', 'S', 'R', 'E', 'S', '1'};
constexpr size_t kTrailer = 40;  // magic, bits, count, bundle start, index offset, index size

void Put16(std::string& s, uint16_t v) { s.append(reinterpret_cast<const char*>(&v), 2); }
void Put32(std::string& s, uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }
void Put64(std::string& s, uint64_t v) { s.append(reinterpret_cast<const char*>(&v), 8); }
void PutStr(std::string& s, const std::string& v) {
  Put16(s, static_cast<uint16_t>(v.size()));
  s += v;
}

struct Reader {
  const std::string& s;
  size_t pos = 0;
  bool ok = true;
  template <class T>
  T Get() {
    T v{};
    if (pos + sizeof(T) > s.size()) {
      ok = false;
      return v;
    }
    std::memcpy(&v, s.data() + pos, sizeof(T));
    pos += sizeof(T);
    return v;
  }
  std::string Str() {
    uint16_t n = Get<uint16_t>();
    if (!ok || pos + n > s.size()) {
      ok = false;
      return {};
    }
    std::string v = s.substr(pos, n);
    pos += n;
    return v;
  }
};

struct Trailer {
  uint32_t bits, count;
  uint64_t start, indexOffset, indexSize;
};

std::optional<Trailer> ReadTrailer(std::ifstream& in, uint64_t fileSize) {
  if (fileSize < kTrailer) return std::nullopt;
  char buf[kTrailer];
  in.seekg(static_cast<std::streamoff>(fileSize - kTrailer));
  if (!in.read(buf, kTrailer) || std::memcmp(buf, kMagic, 8) != 0) return std::nullopt;
  Trailer t{};
  std::memcpy(&t.bits, buf + 8, 4);
  std::memcpy(&t.count, buf + 12, 4);
  std::memcpy(&t.start, buf + 16, 8);
  std::memcpy(&t.indexOffset, buf + 24, 8);
  std::memcpy(&t.indexSize, buf + 32, 8);
  if (t.start > t.indexOffset || t.indexOffset + t.indexSize + kTrailer != fileSize) return std::nullopt;
  return t;
}

}  // namespace

std::optional<Bundle> ReadBundle(const std::string& hostPath, bool withData) {
  std::error_code ec;
  uint64_t size = std::filesystem::file_size(hostPath, ec);
  if (ec) return std::nullopt;
  std::ifstream in(hostPath, std::ios::binary);
  if (!in) return std::nullopt;
  auto t = ReadTrailer(in, size);
  if (!t) return std::nullopt;
  std::string index(t->indexSize, '\0');
  in.seekg(static_cast<std::streamoff>(t->indexOffset));
  if (!in.read(index.data(), static_cast<std::streamsize>(index.size()))) return std::nullopt;
  Bundle b;
  b.bits = static_cast<int>(t->bits);
  Reader r{index};
  for (uint32_t i = 0; i < t->count && r.ok; ++i) {
    ResourceEntry e;
    e.type = r.Str();
    e.id = r.Str();
    e.lang = r.Get<uint16_t>();
    uint64_t off = r.Get<uint64_t>();
    uint64_t len = r.Get<uint64_t>();
    if (!r.ok || off < t->start || off + len > t->indexOffset) return std::nullopt;
    if (withData) {
      e.data.resize(len);
      in.seekg(static_cast<std::streamoff>(off));
      if (len && !in.read(reinterpret_cast<char*>(e.data.data()), static_cast<std::streamsize>(len))) {
        return std::nullopt;
      }
    }
    b.entries.push_back(std::move(e));
  }
  if (!r.ok) return std::nullopt;
  return b;
}

bool WriteBundle(const std::string& hostPath, const Bundle& bundle) {
  std::error_code ec;
  uint64_t size = std::filesystem::file_size(hostPath, ec);
  if (ec) return false;
  uint64_t start = size;
  {
    std::ifstream in(hostPath, std::ios::binary);
    if (auto t = ReadTrailer(in, size)) start = t->start;
  }
  std::filesystem::resize_file(hostPath, start, ec);
  if (ec) return false;
  std::string data, index;
  for (const auto& e : bundle.entries) {
    PutStr(index, e.type);
    PutStr(index, e.id);
    Put16(index, e.lang);
    Put64(index, start + data.size());
    Put64(index, e.data.size());
    data.append(reinterpret_cast<const char*>(e.data.data()), e.data.size());
  }
  std::string trailer(kMagic, 8);
  Put32(trailer, static_cast<uint32_t>(bundle.bits));
  Put32(trailer, static_cast<uint32_t>(bundle.entries.size()));
  Put64(trailer, start);
  Put64(trailer, start + data.size());
  Put64(trailer, index.size());
  std::ofstream out(hostPath, std::ios::binary | std::ios::app);
  out << data << index << trailer;
  return static_cast<bool>(out.flush());
}

}  // namespace winsim

#include "crypto/zip_archive.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "crypto/digest.h"
#include "platform/file_handle.h"
#include "platform/file_util.h"
#include "platform/platform.h"

namespace qz {

namespace {

constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr size_t kLocalHeaderRest = 26;
constexpr uint32_t kReadPiece = 4096;
constexpr size_t kInflateBuffer = 8192;
constexpr int kWindowBitsAuto = 15 + 32;  // zlib or gzip, never raw deflate

// The check-value table, one bit per entry, lowest bit first.
constexpr uint8_t kCheckTable[32] = {0x23, 0x1B, 0x5B, 0xB4, 0x11, 0xBD, 0xAD, 0xD0, 0x8C, 0x8C, 0xCC,
                                     0x58, 0x93, 0x6A, 0x87, 0x38, 0x6E, 0xDE, 0xD0, 0xDB, 0x7D, 0x0D,
                                     0x2B, 0xBB, 0x6B, 0xF7, 0x64, 0x33, 0x52, 0x30, 0x74, 0x9D};

constexpr std::u16string_view kTagOuter = u"IZipArchive";
constexpr std::u16string_view kTag = u"ZipArchive";

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint64_t Le64(const uint8_t* p) { return uint64_t{Le32(p)} | uint64_t{Le32(p + 4)} << 32; }

bool ReadExactly(IContainerStream& in, void* buffer, uint32_t size) {
  uint32_t got = 0;
  return in.Read(buffer, size, &got) && got == size;
}

// Reads of the payload stop at its signed end: bytes after it were never verified.
class BoundedStream : public IContainerStream {
 public:
  BoundedStream(IContainerStream& in, uint64_t limit) : in_(in), left_(limit) {}
  bool Read(void* buffer, uint32_t size, uint32_t* got) override {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size, left_));
    *got = 0;
    if (want == 0) return true;
    bool ok = in_.Read(buffer, want, got);
    left_ -= *got;
    return ok;
  }
  bool Tell(int64_t* position) override { return in_.Tell(position); }
  bool Seek(int64_t) override { return false; }

 private:
  IContainerStream& in_;
  uint64_t left_;
};

class FileSink : public IEntrySink {
 public:
  bool Create(std::string_view ansiPath) override {
    file_.Close();  // first: the same entry name twice must not meet its own open handle
    file_.Reset(win::Files().CreateFileW(win::AnsiToWide(ansiPath), win::GENERIC_WRITE, 0, win::CREATE_ALWAYS,
                                         win::FILE_ATTRIBUTE_NORMAL));
    return file_.IsOpen();
  }
  bool Write(const uint8_t* data, size_t size) override {
    win::DWORD written = 0;
    return win::Files().WriteFile(file_.get(), data, static_cast<win::DWORD>(size), &written) && written == size;
  }
  void Close() override { file_.Close(); }

 private:
  win::FileHandle file_;
};

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// Exactly `length` bytes digested in blocks of at most 1,024; false on a short read.
bool DigestRegion(IContainerStream& in, uint64_t length, Digest* out) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return false;
  uint8_t block[kDigestBlockSize];
  while (length > 0) {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(length, kDigestBlockSize));
    if (!ReadExactly(in, block, want) || EVP_DigestUpdate(ctx.get(), block, want) != 1) return false;
    length -= want;
  }
  unsigned int len = 0;
  return EVP_DigestFinal_ex(ctx.get(), out->data(), &len) == 1 && len == out->size();
}

// Decrypts the signature block into the 48-byte record; false unless it is one of version 1.
bool OpenRecord(std::span<const uint8_t> block, const IRSACert& cert, uint64_t* payloadLength, Digest* digest) {
  std::array<uint8_t, 256> record{};
  if (cert.PublicDecrypt(record, block) != static_cast<int>(kSignedRecordSize) || Le32(record.data()) != 1)
    return false;
  *payloadLength = Le64(record.data() + 8);
  std::copy_n(record.begin() + 16, digest->size(), digest->begin());
  return true;
}

int ZlibResult(int z) {
  switch (z) {
    case Z_NEED_DICT:
    case Z_DATA_ERROR:
      return kUnzipDataError;
    case Z_MEM_ERROR:
      return kUnzipNoMemory;
    case Z_STREAM_ERROR:
      return kUnzipStreamError;
    default:
      return 0;
  }
}

}  // namespace

bool HandleStream::Read(void* buffer, uint32_t size, uint32_t* got) {
  win::DWORD n = 0;
  bool ok = win::Files().ReadFile(file_, buffer, size, &n);
  *got = n;
  return ok;
}

bool HandleStream::Tell(int64_t* position) { return win::Files().SetFilePointerEx(file_, 0, position, win::FILE_CURRENT); }

bool HandleStream::Seek(int64_t position) {
  return win::Files().SetFilePointerEx(file_, position, nullptr, win::FILE_BEGIN);
}

uint32_t ContainerCheckValue(std::span<const uint8_t, 256> s) {
  uint8_t c[4] = {0, 0, 0, 0};
  for (size_t k = 0; k < 32; ++k) {
    const uint8_t x = static_cast<uint8_t>(s[k] + s[64 + k] + s[90 + k] + s[200 + k]);
    if ((kCheckTable[x / 8] >> (x % 8)) & 1) c[k / 8] = static_cast<uint8_t>(c[k / 8] | (1u << (k % 8)));
  }
  return Le32(c);
}

int VerifyContainer(IContainerStream& in, const IRSACert& cert, uint64_t* payloadLength) {
  uint8_t head[8];
  std::array<uint8_t, 256> block;
  if (!ReadExactly(in, head, 4)) return kVerifyShortRead;
  if (Le32(head) != kContainerMagic) return kVerifyBadMagic;
  if (!ReadExactly(in, head + 4, 4) || !ReadExactly(in, block.data(), 256)) return kVerifyShortRead;
  // The cheap check first, so a damaged block costs no RSA operation.
  if (ContainerCheckValue(block) != Le32(head + 4)) return kVerifyBadCheck;
  uint64_t length = 0;
  Digest want{}, got{};
  if (!OpenRecord(block, cert, &length, &want)) return kVerifyBadRecord;
  int64_t start = 0;
  if (!in.Tell(&start) || length > static_cast<uint64_t>(INT64_MAX) || !DigestRegion(in, length, &got) ||
      got != want || !in.Seek(start))
    return kVerifyBadPayload;
  if (payloadLength) *payloadLength = length;
  return 0;
}

int64_t VerifyContainer(std::span<const uint8_t> c, const IRSACert& cert) {
  if (c.size() < kContainerHeaderSize) return -kVerifyShortRead;
  if (Le32(c.data()) != kContainerMagic) return -kVerifyBadMagic;
  std::span<const uint8_t, 256> block(c.data() + 8, 256);
  if (ContainerCheckValue(block) != Le32(c.data() + 4)) return -kVerifyBadCheck;
  uint64_t length = 0;
  Digest want{};
  if (!OpenRecord(block, cert, &length, &want)) return -kVerifyBadRecord;
  std::span<const uint8_t> payload = c.subspan(kContainerHeaderSize);
  if (length != payload.size() || DigestMemory(payload) != want) return -kVerifyBadPayload;
  return static_cast<int64_t>(length);
}

bool IsSafeEntryName(std::string_view name) {
  if (name.empty()) return false;
  const std::u16string wide = win::AnsiToWide(name);
  if (wide.empty() || wide[0] == u'\\' || wide[0] == u'/') return false;
  if (wide.find_first_of(std::u16string_view(u":\0", 2)) != std::u16string::npos) return false;
  size_t start = 0;
  while (start <= wide.size()) {
    size_t end = wide.find_first_of(u"\\/", start);
    if (end == std::u16string::npos) end = wide.size();
    std::u16string_view part(wide.data() + start, end - start);
    // Windows drops trailing dots and blanks, so ". ." or "..." can still name the parent.
    const bool onlyDotsAndBlanks = !part.empty() && part.find_first_not_of(u". ") == std::u16string_view::npos;
    if (onlyDotsAndBlanks && std::count(part.begin(), part.end(), u'.') >= 2) return false;
    start = end + 1;
  }
  return true;
}

int ZipArchive::InflateEntry(IContainerStream& in, std::string_view ansiPath, uint32_t compressedSize,
                             IEntrySink& sink) {
  z_stream zs{};
  if (inflateInit2(&zs, kWindowBitsAuto) != Z_OK) {
    Log(kTag, u"UnzipPlainFile", u"Fail to initialize");
    return kUnzipInitFailed;
  }
  if (!sink.Create(ansiPath)) {
    Log(kTag, u"UnzipPlainFile", u"Fail to write %s", win::AnsiToWide(ansiPath));
    inflateEnd(&zs);
    return kUnzipCannotCreate;
  }
  std::vector<uint8_t> input(kReadPiece), output(kInflateBuffer);
  uint32_t left = compressedSize;
  bool ended = false;
  int result = 0;
  while (left > 0 && result == 0) {
    const uint32_t piece = std::min(left, kReadPiece);
    if (!ReadExactly(in, input.data(), piece)) {
      Log(kTag, u"UnzipPlainFile", u"Fail to read data");
      result = kUnzipDataError;
      break;
    }
    left -= piece;
    if (ended) continue;  // bytes after the stream's end are passed over, so the next header follows
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = input.data();
    zs.avail_in = piece;
    do {
      zs.next_out = output.data();
      zs.avail_out = static_cast<uInt>(output.size());
      const int z = inflate(&zs, flush);
      result = ZlibResult(z);
      if (result != 0) break;
      const size_t produced = output.size() - zs.avail_out;
      if (produced > 0 && !sink.Write(output.data(), produced)) {
        result = kUnzipWriteFailed;
        break;
      }
      if (z == Z_STREAM_END) {
        ended = true;
        break;
      }
    } while (zs.avail_out == 0);
  }
  // A stream cut short would leave a truncated file that looks complete.
  if (result == 0 && !ended) result = kUnzipDataError;
  if (result != 0) Log(kTag, u"UnzipPlainFile", u"Fail to unzip: %d", result);
  sink.Close();
  inflateEnd(&zs);
  return result;
}

int ZipArchive::UnzipPlainFile(win::HANDLE file, std::string_view ansiPath, uint32_t compressedSize) {
  HandleStream in(file);
  FileSink sink;
  return InflateEntry(in, ansiPath, compressedSize, sink);
}

int ZipArchive::UnpackSigned(IContainerStream& in, std::u16string_view displayPath, const IRSACert& cert,
                             std::string_view ansiFolder, IEntrySink& sink) {
  uint64_t payloadLength = 0;
  const int verified = VerifyContainer(in, cert, &payloadLength);
  if (verified != 0) {
    Log(kTagOuter, u"UnzipSignedFile", u"Found illegal file: %s (%ld)", displayPath, verified);
    return kUnzipIllegal;
  }
  BoundedStream payload(in, payloadLength);
  auto headerError = [&](int detail) {
    Log(kTagOuter, u"UnzipSignedFile", u"Header error: %ld", detail);
    return kUnzipBadHeader;
  };
  for (;;) {
    uint8_t header[4 + kLocalHeaderRest];
    uint32_t got = 0;
    if (!payload.Read(header, 4, &got) || got < 4 || Le32(header) != kLocalHeaderSignature) return 0;
    if (!ReadExactly(payload, header + 4, kLocalHeaderRest)) return headerError(kHeaderTruncated);
    const uint32_t compressedSize = Le32(header + 18);
    const uint16_t nameLength = Le16(header + 26);
    const uint16_t extraLength = Le16(header + 28);
    if (nameLength > kMaxEntryName) return headerError(kHeaderLongName);
    if (extraLength > kMaxEntryExtra) return headerError(kHeaderLongExtra);
    std::string name(nameLength, '\0');
    if (!ReadExactly(payload, name.data(), nameLength)) return headerError(kHeaderShortName);
    std::vector<uint8_t> extra(extraLength);
    if (!ReadExactly(payload, extra.data(), extraLength)) return headerError(kHeaderShortExtra);
    if (!IsSafeEntryName(name)) return headerError(kHeaderUnsafeName);
    std::string path(ansiFolder);
    path.push_back('\\');
    path += name;
    const int r = InflateEntry(payload, path, compressedSize, sink);
    if (r != 0) return r;
  }
}

int ZipArchive::UnzipSignedFile(std::u16string_view path, std::u16string_view folder, const IRSACert& cert) {
  if (!win::FolderExists(folder)) {
    Log(kTagOuter, u"UnzipSignedFile", u"Fail to set working dir: %s", folder);
    return kUnzipNoWorkingDir;
  }
  win::HANDLE file =
      win::Files().CreateFileW(path, win::GENERIC_READ, win::FILE_SHARE_READ, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
  if (file == win::INVALID_HANDLE_VALUE) {
    Log(kTagOuter, u"UnzipSignedFile", u"Fail to open %s", path);
    return kUnzipCannotOpen;
  }
  HandleStream in(file);
  FileSink sink;
  const int r = UnpackSigned(in, path, cert, win::WideToAnsi(folder), sink);
  win::CloseHandle(file);
  return r;
}

int ZipArchive::LoadPolicyFromBytes(std::span<uint8_t> out, std::span<const uint8_t> container, const IRSACert& cert) {
  if (out.size() < kPolicyBufferSize) return 0;
  const int64_t payloadLength = VerifyContainer(container, cert);
  if (payloadLength <= 0) {
    Log(kTag, u"LoadPolicyFromStream", u"Founld illegal signature: %d", payloadLength);
    return 0;
  }
  std::span<const uint8_t> payload = container.subspan(kContainerHeaderSize);
  z_stream zs{};
  int result = 0;
  if (inflateInit2(&zs, kWindowBitsAuto) != Z_OK) {
    result = -kUnzipInitFailed;
  } else {
    size_t produced = 0;
    bool ended = false;
    for (size_t at = 0; at < payload.size() && !ended && produced < kPolicyBufferSize; at += kReadPiece) {
      const size_t piece = std::min<size_t>(kReadPiece, payload.size() - at);
      zs.next_in = const_cast<Bytef*>(payload.data() + at);
      zs.avail_in = static_cast<uInt>(piece);
      zs.next_out = out.data() + produced;
      zs.avail_out = static_cast<uInt>(kPolicyBufferSize - produced);
      const int z = inflate(&zs, at + piece == payload.size() ? Z_FINISH : Z_NO_FLUSH);
      produced = kPolicyBufferSize - zs.avail_out;
      if (ZlibResult(z) != 0) {
        result = -ZlibResult(z);
        break;
      }
      ended = z == Z_STREAM_END;
    }
    // Output past the buffer is dropped; a stream that stops early is damage.
    if (result == 0) result = ended || produced == kPolicyBufferSize ? static_cast<int>(produced) : -kUnzipDataError;
    inflateEnd(&zs);
  }
  if (result <= 0) {
    Log(kTag, u"LoadPolicyFromStream", u"Fail to uncompress: %d", result);
    return 0;
  }
  if (static_cast<size_t>(result) < kPolicyBufferSize) out[static_cast<size_t>(result)] = 0;
  return result;
}

int ZipArchive::LoadPolicyFromStream(std::span<uint8_t> out, win::HANDLE file, int64_t fileLength,
                                     const IRSACert& cert) {
  if (fileLength > kMaxPolicyFile) {
    Log(kTag, u"LoadPolicyFromStream", u"Policy file too big: %lld", fileLength);
    return 0;
  }
  std::vector<uint8_t> container(static_cast<size_t>(std::max<int64_t>(fileLength, 0)));
  HandleStream in(file);
  if (fileLength < 0 || !ReadExactly(in, container.data(), static_cast<uint32_t>(container.size()))) {
    Log(kTag, u"LoadPolicyFromStream", u"Found illegal file size");
    return 0;
  }
  return LoadPolicyFromBytes(out, container, cert);
}

int ZipArchive::LoadPolicyFile(std::u16string_view path, std::span<uint8_t> out, const IRSACert& cert) {
  // The log names the file, not the folder.
  const std::u16string_view name = path.substr(path.find_last_of(u'\\') + 1);
  win::HANDLE file =
      win::Files().CreateFileW(path, win::GENERIC_READ, win::FILE_SHARE_READ, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
  if (file == win::INVALID_HANDLE_VALUE) {
    Log(kTagOuter, u"LoadPolicyFile", u"Fail to open %s", name);
    return 0;
  }
  int64_t length = 0;
  int r = 0;
  if (win::Files().SetFilePointerEx(file, 0, &length, win::FILE_END) &&
      win::Files().SetFilePointerEx(file, 0, nullptr, win::FILE_BEGIN)) {
    r = LoadPolicyFromStream(out, file, length, cert);
  }
  win::CloseHandle(file);
  if (r == 0) Log(kTagOuter, u"LoadPolicyFile", u"Found illegal file: %s", name);
  return r;
}

}  // namespace qz

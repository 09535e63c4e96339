// Signed containers: a header with an RSA-signed digest of the payload, then the payload (module
// packages: ZIP local entries with zlib streams; the module definition file: one zlib stream).
// Verification always precedes unpacking, and only the signed payload is ever unpacked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/cert.h"
#include "logging/ilogger.h"
#include "platform/types.h"

namespace qz {

// Results of unpacking (the numbers of the log's error-text table).
inline constexpr int kUnzipOk = 0;
inline constexpr int kUnzipCannotOpen = 3;
inline constexpr int kUnzipCannotCreate = 4;
inline constexpr int kUnzipWriteFailed = 5;
inline constexpr int kUnzipNoWorkingDir = 10;
inline constexpr int kUnzipBadHeader = 20;
inline constexpr int kUnzipInitFailed = 24;
inline constexpr int kUnzipStreamError = 25;
inline constexpr int kUnzipDataError = 26;
inline constexpr int kUnzipNoMemory = 27;
inline constexpr int kUnzipIllegal = 2011;

// Detail codes of a bad entry header, logged as "Header error: N".
inline constexpr int kHeaderLongName = 16;
inline constexpr int kHeaderLongExtra = 17;
inline constexpr int kHeaderShortName = 18;
inline constexpr int kHeaderShortExtra = 19;
inline constexpr int kHeaderUnsafeName = 21;  // absolute, drive letter, ':' or a ".." component
inline constexpr int kHeaderTruncated = 22;   // a local header cut off by the end of the payload

// Verification results (file form; the memory form returns their negatives, or the payload length).
inline constexpr int kVerifyShortRead = 2;
inline constexpr int kVerifyBadMagic = 5;
inline constexpr int kVerifyBadCheck = 6;
inline constexpr int kVerifyBadRecord = 2018;
inline constexpr int kVerifyBadPayload = 2011;

inline constexpr uint32_t kContainerMagic = 0x382B7BA1;
inline constexpr size_t kContainerHeaderSize = 264;
inline constexpr size_t kSignedRecordSize = 48;
inline constexpr size_t kMaxEntryName = 127;
inline constexpr size_t kMaxEntryExtra = 1024;
inline constexpr int64_t kMaxPolicyFile = 102400;
inline constexpr size_t kPolicyBufferSize = 10240;

// Sequential reading of a container, so the updater (platform files) and host tools share the code.
class IContainerStream {
 public:
  virtual ~IContainerStream() = default;
  // False on an I/O error; fewer bytes than asked at the end of the data.
  virtual bool Read(void* buffer, uint32_t size, uint32_t* got) = 0;
  virtual bool Tell(int64_t* position) = 0;
  virtual bool Seek(int64_t position) = 0;
};

// A platform file handle as a container stream.
class HandleStream : public IContainerStream {
 public:
  explicit HandleStream(win::HANDLE file) : file_(file) {}
  bool Read(void* buffer, uint32_t size, uint32_t* got) override;
  bool Tell(int64_t* position) override;
  bool Seek(int64_t position) override;

 private:
  win::HANDLE file_;
};

// Four check bytes of a 256-byte signature block.
uint32_t ContainerCheckValue(std::span<const uint8_t, 256> block);

// File form: 0, 2, 5, 6, 2018 or 2011; on success the stream is at the payload and
// *payloadLength (when given) holds the signed length.
int VerifyContainer(IContainerStream& in, const IRSACert& cert, uint64_t* payloadLength = nullptr);
// Memory form: the payload length, or -2 (shorter than the header), -5, -6, -2018, -2011.
int64_t VerifyContainer(std::span<const uint8_t> container, const IRSACert& cert);

// Where an entry's bytes go: files of the folder unpacked into, or nowhere when only checking.
class IEntrySink {
 public:
  virtual ~IEntrySink() = default;
  virtual bool Create(std::string_view ansiPath) = 0;
  virtual bool Write(const uint8_t* data, size_t size) = 0;
  virtual void Close() = 0;
};

class IZipArchive {
 public:
  virtual ~IZipArchive() = default;
  // Verifies the container and unpacks its entries into folder (absolute, existing): 0 or an unzip
  // result.
  virtual int UnzipSignedFile(std::u16string_view path, std::u16string_view folder, const IRSACert& cert) = 0;
  // One entry's data from the file's position into ansiPath: 0 or an unzip result.
  virtual int UnzipPlainFile(win::HANDLE file, std::string_view ansiPath, uint32_t compressedSize) = 0;
  // The inflated definition document (out: at least 10,240 bytes; a terminator follows when it
  // fits), or 0 on any failure.
  virtual int LoadPolicyFromStream(std::span<uint8_t> out, win::HANDLE file, int64_t fileLength,
                                   const IRSACert& cert) = 0;
  // The same for the definition file at path.
  virtual int LoadPolicyFile(std::u16string_view path, std::span<uint8_t> out, const IRSACert& cert) = 0;
};

class ZipArchive : public IZipArchive {
 public:
  // logger may be null.
  explicit ZipArchive(ILogger* logger = nullptr) : logger_(logger) {}

  void SetLogger(ILogger* logger) { logger_ = logger; }

  int UnzipSignedFile(std::u16string_view path, std::u16string_view folder, const IRSACert& cert) override;
  int UnzipPlainFile(win::HANDLE file, std::string_view ansiPath, uint32_t compressedSize) override;
  int LoadPolicyFromStream(std::span<uint8_t> out, win::HANDLE file, int64_t fileLength,
                           const IRSACert& cert) override;
  int LoadPolicyFile(std::u16string_view path, std::span<uint8_t> out, const IRSACert& cert) override;

  // The checks of UnzipSignedFile from verification on, over any stream and into any sink; the
  // entry paths are folder, a backslash and the entry name. Host tools use it to check packages.
  int UnpackSigned(IContainerStream& in, std::u16string_view displayPath, const IRSACert& cert,
                   std::string_view ansiFolder, IEntrySink& sink);
  // One entry's data into a sink.
  int InflateEntry(IContainerStream& in, std::string_view ansiPath, uint32_t compressedSize, IEntrySink& sink);
  // LoadPolicyFromStream's work after the file has been read.
  int LoadPolicyFromBytes(std::span<uint8_t> out, std::span<const uint8_t> container, const IRSACert& cert);

 private:
  template <class... A>
  void Log(std::u16string_view tag, std::u16string_view func, std::u16string_view fmt, const A&... a) {
    if (logger_) logger_->Log(tag, func, kLogWarning, fmt, a...);
  }

  ILogger* logger_;
};

// True when an entry name stays inside the folder it is unpacked into.
bool IsSafeEntryName(std::string_view name);

}  // namespace qz

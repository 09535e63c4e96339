#include "protocol/certificates.h"

#include <tinyxml2.h>

#include <cctype>
#include <cstring>

#include "config/registry_layout.h"
#include "platform/platform.h"
#include "protocol/response_fields.h"
#include "protocol/server_messages.h"

namespace qz {

namespace {

using namespace win;

constexpr char16_t kTagInfo[] = u"AgentInfo";
constexpr char16_t kTagUtil[] = u"AgentUtil";
constexpr char16_t kTagQuery[] = u"AgentQuery";
constexpr size_t kFileSizeAnswer = 256;
constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kMinimumFreeMiB = 10;
constexpr size_t kAnsiPathLimit = 260;

// "%s\%s" over the install folder and a file name, in the ANSI code page (at most 260 bytes).
std::string LocalPathAnsi(AgentContext& ctx, std::u16string_view name) {
  std::string path = ctx.config->settings.installFolderAnsi + "\\" + WideToAnsi(name);
  if (path.size() > kAnsiPathLimit - 1) path.resize(kAnsiPathLimit - 1);
  return path;
}

// Step 1 of both certificate operations: when the server's digest differs from the held file's,
// fetch the server's file under its offer name. *offered: a file waits there. False when the
// checksum is unknown or the download fails (reported).
bool FetchOffer(AgentContext& ctx, std::u16string_view func, std::u16string_view name, std::u16string_view offer,
                std::u16string_view path, std::u16string_view failText, uint32_t failRow, bool* offered) {
  *offered = false;
  Digest server{};
  if (!RequestFileChecksum(ctx, name, &server)) return false;
  Digest local{};
  if (DigestFile(std::string_view(LocalPathAnsi(ctx, name)), &local) && local == server) return true;
  const int64_t got =
      DownloadSecure(ctx, path, offer, ctx.config->settings.installFolder, ctx.restart, false, kCertificateLimit);
  if (got <= 0) {
    ctx.Log(kTagInfo, func, kLogFatal, failText, got);
    Report(ctx, failRow, kReportKindNotice);
    return false;
  }
  *offered = true;
  return true;
}

// The checked offer becomes the held file in one rename.
bool AcceptOffer(AgentContext& ctx, std::u16string_view name, std::u16string_view offer) {
  const std::u16string& folder = ctx.config->settings.installFolder;
  return Files().MoveFileExW(Fmt(u"%s\\%s", folder, offer), Fmt(u"%s\\%s", folder, name),
                             MOVEFILE_REPLACE_EXISTING);
}

void DropOffer(AgentContext& ctx, std::u16string_view offer) {
  Files().DeleteFileW(Fmt(u"%s\\%s", ctx.config->settings.installFolder, offer));
}

std::string ReadWholeFile(AgentContext& ctx, std::u16string_view name) {
  std::string text;
  HANDLE file = Files().CreateFileW(Fmt(u"%s\\%s", ctx.config->settings.installFolder, name), GENERIC_READ,
                                    FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return text;
  char block[4096];
  while (text.size() <= static_cast<size_t>(kCertificateLimit)) {
    DWORD got = 0;
    if (!Files().ReadFile(file, block, sizeof block, &got) || got == 0) break;
    text.append(block, got);
  }
  CloseHandle(file);
  return text;
}

}  // namespace

AgentCertificates::AgentCertificates() = default;

bool IsDownloadRefusedForSpace(uint64_t freeMiB, uint64_t sizeMiB, uint64_t* minimum) {
  if (freeMiB <= kMinimumFreeMiB) {
    *minimum = kMinimumFreeMiB;
    return true;
  }
  *minimum = 2 * sizeMiB;
  return freeMiB <= 2 * sizeMiB;
}

bool RequestFileChecksum(AgentContext& ctx, std::u16string_view name, Digest* digest) {
  constexpr char16_t kFunc[] = u"RequestFileChecksum";
  QueryBuilder q;
  q.Begin(ctx, "chksum", ctx.ClientId());
  q.AddText("file", name);
  const int32_t result = SendQuery(ctx, q, ctx.answer, true);
  if (result < 1) {
    ctx.Log(kTagInfo, kFunc, kLogWarning, u"Fail to get checksum: %s(%ld)", name, result);
    return false;
  }
  tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
  const tinyxml2::XMLElement* root = ParseAnswer(doc, ctx.answer);
  if (!root) {
    ctx.Log(kTagInfo, kFunc, kLogWarning, u"Found null response: %s", name);
    return false;
  }
  if (IsAnswerForged(ctx, root)) {
    ctx.Log(kTagInfo, kFunc, kLogWarning, u"Time hash error: %s", name);
    return false;
  }
  const tinyxml2::XMLElement* element = root->FirstChildElement("chksum");
  if (!element) {
    ctx.Log(kTagInfo, kFunc, kLogWarning, u"No checksum tag: %s", name);
    return false;
  }
  const char* text = element->GetText();
  if (!text || !*text) {
    ctx.Log(kTagInfo, kFunc, kLogWarning, u"No checksum found: %s", name);
    return false;
  }
  // The server may answer in either letter case.
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return HexDecode64(upper, digest);
}

bool OpenCACertificate(AgentContext& ctx, bool fetch) {
  constexpr char16_t kFunc[] = u"OpenCACertificate";
  AgentCertificates& certs = *ctx.certs;
  if (fetch) {
    bool offered = false;
    if (!FetchOffer(ctx, kFunc, kCaCertFile, kCaCertOffer, kCaCertPath, u"Fail to download CA cert: %ld",
                    kMsgCaCertFailed, &offered))
      return false;
    if (offered) {
      // Only a CA that the held CA has cross-signed replaces it; anyone on the network path could
      // offer one of their own.
      qzRSACert held, successor;
      held.SetCertificateCipher(certs.ca.certificateCipher());
      successor.SetCertificateCipher(certs.ca.certificateCipher());
      int rc = held.Load(LocalPathAnsi(ctx, kCaCertFile), nullptr);
      if (rc == 0) rc = CheckCaSuccessor(ReadWholeFile(ctx, kCaCertOffer), held, &successor);
      if (rc == 0 && !AcceptOffer(ctx, kCaCertFile, kCaCertOffer)) rc = static_cast<int>(kWebRenameFailed);
      if (rc == 0) {
        certs.caReload = true;
        if (!Report(ctx, kMsgCaCertUpdated, kReportKindNotice)) return false;
      } else {
        DropOffer(ctx, kCaCertOffer);
        ctx.Log(kTagInfo, kFunc, kLogFatal, u"CA cert refused, the held one stays: %d", rc);
        Report(ctx, kMsgCaCertRefused, kReportKindBadCertificate);
      }
    }
  }
  if (!certs.caReload) return true;
  if (const int rc = certs.ca.Load(LocalPathAnsi(ctx, kCaCertFile), nullptr)) {
    ctx.Log(kTagInfo, kFunc, kLogFatal, u"Fail to load CA cert: %d", rc);
    Report(ctx, kMsgCaCertInvalid, kReportKindBadCertificate);
    return false;
  }
  certs.caReload = false;
  return true;
}

bool LoadCertificates(AgentContext& ctx, bool fetch) {
  constexpr char16_t kFunc[] = u"LoadCertificates";
  AgentCertificates& certs = *ctx.certs;
  if (fetch) {
    bool offered = false;
    if (!FetchOffer(ctx, kFunc, kFileSigningCertFile, kFileSigningCertOffer, kFileSigningCertPath,
                    u"Fail to download main cert: %ld", kMsgPatchCertFailed, &offered))
      return false;
    if (offered) {
      // Written only once it verifies under the CA that is held from now on.
      int rc = certs.fileSigning.Load(LocalPathAnsi(ctx, kFileSigningCertOffer), &certs.ca);
      if (rc == 0 && !AcceptOffer(ctx, kFileSigningCertFile, kFileSigningCertOffer))
        rc = static_cast<int>(kWebRenameFailed);
      if (rc != 0) {
        DropOffer(ctx, kFileSigningCertOffer);
        ctx.Log(kTagInfo, kFunc, kLogFatal, u"Fail to load main cert: %d", rc);
        Report(ctx, kMsgPatchCertInvalid, kReportKindBadCertificate, rc);
        return false;
      }
      if (!Report(ctx, kMsgPatchCertUpdated, kReportKindNotice)) return false;
    }
  }
  const int rc = certs.fileSigning.Load(LocalPathAnsi(ctx, kFileSigningCertFile), &certs.ca);
  if (rc == 0) return true;
  ctx.Log(kTagInfo, kFunc, kLogFatal, u"Fail to load main cert: %d", rc);
  if (fetch) Report(ctx, kMsgPatchCertInvalid, kReportKindBadCertificate, rc);
  return false;
}

int64_t GetWebFileSize(ILogger* logger, AgentContext& ctx, std::u16string_view path) {
  constexpr char16_t kFunc[] = u"GetWebFileSize";
  auto log = [&](int level, std::u16string_view fmt, const auto&... a) {
    if (logger) logger->Log(kTagUtil, kFunc, level, fmt, a...);
  };
  QueryBuilder q;
  q.Begin(ctx, "file_size", ctx.ClientId());
  q.AddText("path", path);
  std::vector<char> answer(kFileSizeAnswer);
  const int32_t result = SendQuery(ctx, q, answer, true);
  if (result <= 0) {
    log(kLogWarning, u"정책서버 연결 실패: %s(%ld, %ld)", ResultName(result), result, GetLastError());
    return result;
  }
  tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
  const tinyxml2::XMLElement* root = ParseAnswer(doc, answer);
  if (!root) {
    log(kLogWarning, u"노드 정보가 잘못됨");
    return kWebFileSizeUnknown;
  }
  int64_t size = 0;
  if (!ReadChildNumber(root, "size", &size)) {
    log(kLogWarning, u"파일 크기 정보가 없음");
    return kWebFileSizeUnknown;
  }
  log(kLogInfo, u"[%s] size: %d", path, size);
  return size;
}

int64_t DownloadSecure_(AgentContext& ctx, std::u16string_view path, std::u16string_view name,
                        std::u16string_view folder, bool restart, bool freshOnCurl, int64_t limit) {
  const int64_t size = GetWebFileSize(ctx.logger, ctx, path);
  if (size <= 0) return size;
  if (limit > 0 && size > limit) {
    ctx.Log(kTagQuery, u"DownloadSecure_", kLogWarning, u"[%s] announced size %ld is above the limit %ld", name,
            size, limit);
    return kDownloadTooLarge;
  }

  ULONGLONG available = 0, total = 0, free = 0;
  const std::u16string drive = Files().ExpandEnvironmentStringsW(u"%SystemDrive%") + u"\\";
  // A drive that cannot be asked counts as full: nothing is fetched that might not fit.
  if (!Files().GetDiskFreeSpaceExW(drive, &available, &total, &free)) available = 0;
  const uint64_t freeMiB = available / kMiB;
  const uint64_t sizeMiB = static_cast<uint64_t>(size) / kMiB;
  uint64_t minimum = 0;
  if (IsDownloadRefusedForSpace(freeMiB, sizeMiB, &minimum)) {
    const auto f = static_cast<uint32_t>(freeMiB), s = static_cast<uint32_t>(sizeMiB),
               m = static_cast<uint32_t>(minimum);
    ctx.Log(kTagQuery, u"DownloadSecure_", kLogWarning,
            u"용량 부족(잔여공간 : %uMb), [%s](파일크기 : %uMb), 최소설치용량 : %uMb", f, name, s, m);
    if (Report(ctx, kMsgLackOfSpace, kReportKindDiskSpace, f, name, s, m)) return kDownloadNoSpace;
    ctx.Log(kTagQuery, u"DownloadSecure_", kLogWarning, u"서버로 로그 전송 실패");
    return kDownloadNoSpaceUnreported;
  }
  // libcurl resumes what an earlier run left, except where the caller wants a fresh copy.
  const bool fresh = ctx.query->UsesCurl() && !freshOnCurl ? false : restart;
  // The announced size bounds the download on both transports.
  return ctx.query->DownloadHttps(path, size, name, folder, fresh);
}

int64_t DownloadSecure(AgentContext& ctx, std::u16string_view path, std::u16string_view name,
                       std::u16string_view folder, bool restart, bool freshOnCurl, int64_t limit) {
  const int64_t r = DownloadSecure_(ctx, path, name, folder, restart, freshOnCurl, limit);
  if (r != kWebRenameFailed) return r;
  // The finished download could not replace the final file: remove that file and fetch once more.
  const std::u16string target = Fmt(u"%s\\%s", folder, name);
  if (!Files().DeleteFileW(target)) {
    ctx.Log(kTagQuery, u"DownloadSecure", kLogWarning, u"파일 삭제 실패 : %s", name);
    return kWebRenameFailed;
  }
  ctx.Log(kTagQuery, u"DownloadSecure", kLogWarning, u"파일 삭제 성공 : %s", name);
  return DownloadSecure_(ctx, path, name, folder, false, freshOnCurl, limit);
}

bool DownloadAgentModeulDefinitionFile(AgentContext& ctx) {
  SiteSettings& s = ctx.config->settings;
  // Always fetched afresh: a partial file of an older definition must never be continued.
  const int64_t r =
      DownloadSecure(ctx, kDefinitionFilePath, kDefinitionFile, s.installFolder, true, true, kDefinitionLimit);
  if (r <= 0) {
    ctx.Log(kTagQuery, u"DownloadAgentModeulDefinitionFile", kLogWarning,
            u"에이전트 모듈 정의 파일 다운로드 실패: %ld", r);
    return false;
  }
  Digest digest{};
  if (DigestFile(std::u16string_view(Fmt(u"%s\\%s", s.installFolder, kDefinitionFile)), &digest)) {
    CommonRegKey common;
    if (OpenCommonKey(KEY_READ | KEY_WRITE, &common) == 0) {
      ctx.config->store.WriteDefinitionDigest(common, digest);
      common.Close();
      s.definitionDigest = digest;
    }
  }
  return true;
}

bool IsValidCertificate(AgentQuery& query, const AgentCertificates& certs, const ServerCertificateView& server) {
  if (IsCertificateCheckBypassed(query)) return true;
  auto log = [&](int32_t code) {
    if (query.Logger())
      query.Logger()->Log(kTagInfo, u"IsValidCertificate", kLogWarning, u"인증서 데이터 얻기 실패: %d", code);
  };
  std::vector<uint8_t> der;
  if (!server.Read(&der)) {
    log(static_cast<int32_t>(GetLastError()));
    return false;
  }
  qzRSACert parsed;
  const int rc = parsed.Parse(der, &certs.ca);
  if (rc != 0) log(rc);
  return rc == 0;
}

void BindCertificateCheck(AgentQuery& query, const AgentCertificates& certs) {
  query.SetCertificateCheck(
      [&query, &certs](const ServerCertificateView& server) { return IsValidCertificate(query, certs, server); });
}

}  // namespace qz

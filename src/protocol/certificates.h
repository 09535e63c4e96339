// The agent's certificates and the server's file services: the CA and file-signing certificates
// kept in the install folder and refreshed from the server by checksum, file sizes on the server,
// the secure download with its free-space rule, the module definition file, and the test of the
// management server's TLS certificate.
#pragma once

#include <cstdint>
#include <string_view>

#include "crypto/cert.h"
#include "crypto/digest.h"
#include "protocol/agent_query.h"

namespace qz {

inline constexpr char16_t kCaCertFile[] = u"qorv-ca.pem";
inline constexpr char16_t kCaCertPath[] = u"/certs/qorv-ca.pem";
inline constexpr char16_t kFileSigningCertFile[] = u"qorv-fs.crt";
inline constexpr char16_t kFileSigningCertPath[] = u"/certs/qorv-fs.crt";
inline constexpr char16_t kDefinitionFile[] = u"qzAgent.xmd";
inline constexpr char16_t kDefinitionFilePath[] = u"/agent/qzAgent.xmd";
// Offered certificates land under these names and replace the held files only once checked.
inline constexpr char16_t kCaCertOffer[] = u"qorv-ca.pem.offer";
inline constexpr char16_t kFileSigningCertOffer[] = u"qorv-fs.crt.offer";

// Largest files fetched, whatever the server announces: nothing endless fills the disk.
inline constexpr int64_t kCertificateLimit = 64 * 1024;
inline constexpr int64_t kDefinitionLimit = 4 * 1024 * 1024;

// Secure download results of this module (the transport's own codes pass through).
inline constexpr int32_t kDownloadNoSpace = -101;
inline constexpr int32_t kDownloadNoSpaceUnreported = -102;
inline constexpr int32_t kDownloadTooLarge = -103;
inline constexpr int32_t kWebFileSizeUnknown = -10;

// The CA object (loaded without a CA) and the file-signing object (loaded with it) of one run.
struct AgentCertificates {
  AgentCertificates();
  qzRSACert ca;
  qzRSACert fileSigning;
  // True at start and after a new CA file was fetched: the CA file is (re)loaded.
  bool caReload = true;
};

// Free-space rule: free and size in whole MiB. Refused when free <= 10 or free <= 2 * size;
// *minimum is 10 or 2 * size.
bool IsDownloadRefusedForSpace(uint64_t freeMiB, uint64_t sizeMiB, uint64_t* minimum);

bool RequestFileChecksum(AgentContext& ctx, std::u16string_view name, Digest* digest);
bool OpenCACertificate(AgentContext& ctx, bool fetch);
bool LoadCertificates(AgentContext& ctx, bool fetch);
// Size in bytes, or a request result of 0 or less, or kWebFileSizeUnknown.
int64_t GetWebFileSize(ILogger* logger, AgentContext& ctx, std::u16string_view path);
// Bytes written to folder\name, or 0 or less. libcurl resumes what an earlier run left unless
// freshOnCurl: then it honours restart as WinHTTP does. limit (when not 0): an announced size
// above it gives kDownloadTooLarge before anything is fetched.
int64_t DownloadSecure_(AgentContext& ctx, std::u16string_view path, std::u16string_view name,
                        std::u16string_view folder, bool restart, bool freshOnCurl = false, int64_t limit = 0);
int64_t DownloadSecure(AgentContext& ctx, std::u16string_view path, std::u16string_view name,
                       std::u16string_view folder, bool restart, bool freshOnCurl = false, int64_t limit = 0);
// Into the install folder; its digest becomes the sealed value10 and the in-memory copy.
bool DownloadAgentModeulDefinitionFile(AgentContext& ctx);

// The test of the management server's certificate: passes while query's check is bypassed, else
// the certificate must be issued by the CA of certs.
bool IsValidCertificate(AgentQuery& query, const AgentCertificates& certs, const ServerCertificateView& server);
// Makes that test query's certificate check, against the run's certificates.
void BindCertificateCheck(AgentQuery& query, const AgentCertificates& certs);

}  // namespace qz

// Install mode's file placement: the certificates and the drivers that fit the running Windows
// (from the setup folder, while the install is prepared), the agent's program files (from the
// updater's own folder) and the two run-time libraries into the system folder. Every copy
// overwrites; no failure stops the installation, each is logged.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "updater/run.h"

namespace qz {

inline constexpr std::array<std::u16string_view, 3> kCertificateFiles = {u"qorv-ca.pem", u"qorv-fs.crt",
                                                                         u"local-fs.crt"};

inline constexpr std::array<std::u16string_view, 24> kAgentFiles = {
    u"qzAgent.xmd",      u"msvcr110.dll",     u"msvcp110.dll",    u"lmvAgent.exe",     u"lmvAssistant.exe",
    u"lmvKeeper.exe",    u"qzAgentUtil.dll",  u"qzClientInfo.dll", u"qzCrypto.dll",    u"qzTarlinSvc.exe",
    u"qzNSI.dll",        u"qzLogger.dll",     u"qzPatchMan.dll",  u"qzSecureZip.dll",  u"qzUpdater.exe",
    u"qzWebQuery.dll",   u"qzCommon.dll",     u"qzIPC.dll",       u"qzNoticeView.exe", u"qzPCKeeperUI.dll",
    u"qzPatchCom.dll",   u"qzPatcher.dll",    u"qzPCKeeper.dll",  u"qzComDrv.dll",
};

struct DriverFile {
  std::u16string_view name;
  uint32_t osMask;  // ANDed with the OS code
};
inline constexpr std::array<DriverFile, 14> kDriverFiles = {{
    {u"qzNetFilterX64.sys", 0xFCFC0000u},
    {u"qzNetFilter.sys", 0x000000FCu},
    {u"qzNetFilter_Vista.sys", 0x00000202u},
    {u"qzNetFilter_VistaX64.sys", 0x02020000u},
    {u"qzTcpTaggerX64.sys", 0x1C1C0000u},
    {u"qzTcpTagger.sys", 0x0000001Cu},
    {u"qzTcpTagger10X64.sys", 0xE0E00000u},
    {u"qzTcpTagger10.sys", 0x000000E0u},
    {u"qzProcCutx64.sys", 0xFCFC0000u},
    {u"qzProcCutx86.sys", 0x000000FCu},
    {u"qzProcCutXp.sys", 0x00000101u},
    {u"qzPrtProcX64.sys", 0xFCFC0000u},
    {u"qzPrtProc.sys", 0x000000FCu},
    {u"qzPrtProcXP.sys", 0x00000101u},
}};

// The 24 agent files from sourceFolder into targetFolder; true when every one was copied.
bool CopyAgentFiles(UpdaterRun& u, std::u16string_view sourceFolder, std::u16string_view targetFolder);
// The three certificate files, logged as such; true when every one was copied.
bool CopyCertificateFiles(UpdaterRun& u, std::u16string_view sourceFolder, std::u16string_view targetFolder);
// The driver files whose mask matches osCode, from sourceFolder into targetFolder; the number copied.
int CopyDriverFiles(UpdaterRun& u, std::u16string_view sourceFolder, std::u16string_view targetFolder,
                    uint32_t osCode);
// msvcp110.dll and msvcr110.dll into %windir%\system32.
void CopyMsDllToSystemFolder(UpdaterRun& u, std::u16string_view sourceFolder);

// Install preparation once the configuration is in the registry: the certificates, the running
// drivers removed, the matching driver files placed, and the network filter and TCP tagger
// installed and started when their files are there and they do not run.
void PlaceCertificatesAndDrivers(UpdaterRun& u);

}  // namespace qz

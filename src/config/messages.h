// The configuration module's log texts, exactly as they appear in the log.
#pragma once

namespace qz {

inline constexpr char16_t kMsgInvalidFormat[] = u"Invalid format";
inline constexpr char16_t kMsgNoSerial[] = u"제품 시리얼 정보를 알 수 없어 설치를 중단함";
inline constexpr char16_t kMsgNoServer[] = u"서버 IP 정보를 알 수 없어 설치를 중단함";
inline constexpr char16_t kMsgPkServerAssigned[] = u"독립 내PC보안점검검 서버 할당됨: [%s]";
inline constexpr char16_t kMsgNoPkServer[] = u"독립 내PC보안점검검 서버 정보 없음";
inline constexpr char16_t kMsgDefaultHttpPort[] = u"기본 HTTP 포트 사용";
inline constexpr char16_t kMsgDefaultHttpsPort[] = u"기본 보안 HTTP 포트 사용";
inline constexpr char16_t kMsgDefaultMenu[] = u"기본 메뉴 사용: 000000F0";
inline constexpr char16_t kMsgLoadFailed[] = u"Fail to load configure file: %d";
inline constexpr char16_t kMsgOpenSourceFailed[] = u"Fail to open configure source file: %s";
inline constexpr char16_t kMsgPkServerCommonFailed[] = u"Fail to register PC keeper server IP in common";
inline constexpr char16_t kMsgPkServerFailed[] = u"Fail to register PC keeper server IP";
inline constexpr char16_t kMsgPkKeyDeleteFailed[] = u"Fail to delete PC keeper key";
inline constexpr char16_t kMsgMachineSerial[] = u"[%s] %s";
inline constexpr char16_t kMsgSerialFailed[] = u"Fail to register serial number";
inline constexpr char16_t kMsgServerFailed[] = u"Fail to register manager IP";
inline constexpr char16_t kMsgHttpPortFailed[] = u"Fail to register HTTP port";
inline constexpr char16_t kMsgHttpsPortFailed[] = u"Fail to register HTTPS port";
inline constexpr char16_t kMsgMenuFailed[] = u"Fail to register menu flag";
inline constexpr char16_t kMsgFolderFailed[] = u"Fail to register agent folder";
inline constexpr char16_t kMsgRestoreFailed[] = u"Fail to restore configure file: %d";
inline constexpr char16_t kMsgCommonOpenFailed[] = u"Fail to open common reg key: %d";
inline constexpr char16_t kMsgIdFromReg[] = u"ID from reg: %s";
inline constexpr char16_t kMsgIdFromBackup[] = u"Using backup GUID: %s";
inline constexpr char16_t kMsgIdFromGuid[] = u"ID from GUID: %s";
inline constexpr char16_t kMsgBackupResult[] = u"Backup GUID - %s";
inline constexpr char16_t kMsgIdFailed[] = u"Fail to generate agent ID";
inline constexpr char16_t kMsgRegistryOpenError[] = u"레지스트리 열기 오류: %ld";
inline constexpr char16_t kMsgClientIdFailed[] = u"Fail to write client ID: %ld (%ld)";

}  // namespace qz

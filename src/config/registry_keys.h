// Every registry key and value name of the agent that the two programs use. Nothing else in the
// code spells one; the sealed values among them are reached through SealedStore.
#pragma once

namespace qz {

// Key paths, relative to HKEY_LOCAL_MACHINE (a 32-bit program sees SOFTWARE in the 32-bit view).
// The product key is also the path of the per-user copy under each HKEY_USERS hive.
inline constexpr char16_t kProductKey[] = u"SOFTWARE\\Varnholt\\KSM";
inline constexpr char16_t kClientKey[] = u"SOFTWARE\\Varnholt\\KSM\\Client";
inline constexpr char16_t kFontKey[] = u"SOFTWARE\\Varnholt\\KSM\\Current\\Font";
inline constexpr char16_t kPatchKey[] = u"SOFTWARE\\Varnholt\\KSM\\Current\\Patch";
inline constexpr char16_t kCurrentInformalSwKey[] = u"SOFTWARE\\Varnholt\\KSM\\Current\\InformalSw";
inline constexpr char16_t kPolicyInformalSwKey[] = u"SOFTWARE\\Varnholt\\KSM\\Policy\\InformalSw";
inline constexpr char16_t kAgentKey[] = u"SOFTWARE\\Varnholt\\KSM\\Agent";
inline constexpr char16_t kCommonKey[] = u"SOFTWARE\\Varnholt\\KSM\\Common";
inline constexpr char16_t kPcKeeperKey[] = u"SOFTWARE\\Varnholt\\KSM\\PcKeeper";
inline constexpr char16_t kInstallKey[] = u"SOFTWARE\\Varnholt\\KSM\\Install";
// Outside the product tree, so it survives an uninstall.
inline constexpr char16_t kBackupKey[] = u"SYSTEM\\Software\\Varnholt\\KSM";

// The agent's entries outside its tree, removed with it: its service's safe-mode entry (a subkey
// named after the service) and its two classes under HKEY_CLASSES_ROOT.
inline constexpr char16_t kSafeBootNetworkKey[] = u"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network";
inline constexpr char16_t kAppwizClassKey[] = u"vhksm.appwiz";
inline constexpr char16_t kAppwizEdgeClassKey[] = u"vhksm.appwiz.edge";

// Product key.
inline constexpr char16_t kValueProduct[] = u"Product";
inline constexpr char16_t kProductName[] = u"VH-KSM V2.1";

// Common values.
inline constexpr char kValueClientId[] = "value01";
inline constexpr char kValueInstallFolder[] = "value02";
inline constexpr char kValueServer[] = "value03";
inline constexpr char kValueHttpPort[] = "value04";
inline constexpr char kValueHttpsPort[] = "value05";
inline constexpr char kValueSerial[] = "value06";
inline constexpr char kValueAgentGuid[] = "value08";
inline constexpr char kValueConfigDigest[] = "value09";
inline constexpr char kValueDefinitionDigest[] = "value10";
inline constexpr char kValuePkServer[] = "value11";
inline constexpr char kValueMenu[] = "value12";
inline constexpr char kValueHighestBuild[] = "value31";

// Agent values.
inline constexpr char kValueAgentBuild[] = "value05";
// The last report that could not be sent: its UTF-16 text, kind and time.
inline constexpr char kValueUnsentText[] = "value17";
inline constexpr char kValueUnsentKind[] = "value18";
inline constexpr char kValueUnsentTime[] = "value19";
// The checksum of the configuration file last downloaded.
inline constexpr char kValueConfigChecksum[] = "value21";
// Non-zero makes module downloads skip the secure path.
inline constexpr char kValuePlainDownload[] = "value25";

// PcKeeper, and each entry of Policy\InformalSw (read there by the wide call).
inline constexpr char kValueSlot01[] = "slot01";
inline constexpr char16_t kValueSlot01W[] = u"slot01";

// Install: the installer's outcome.
inline constexpr char16_t kValueInstallerOutcome[] = u"value01";

// Backup key.
inline constexpr char kValueBackupGuid[] = "UUID";

}  // namespace qz

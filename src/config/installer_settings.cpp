#include "config/installer_settings.h"

#include <tinyxml2.h>

#include <optional>

#include "config/agent_identity.h"
#include "config/configure.h"
#include "config/registry_layout.h"
#include "config/text_fields.h"
#include "crypto/digest.h"
#include "platform/file_util.h"
#include "platform/platform.h"

namespace qz {

using namespace win;

namespace {

constexpr size_t kProductKindField = 40;
constexpr size_t kMessageField = 10240;
constexpr size_t kShowUiField = 40;
constexpr size_t kCompanyField = 260;
constexpr size_t kExtraField = 260;
constexpr size_t kSettingsFileLimit = 1 << 20;

const char* Text(const tinyxml2::XMLElement* e) {
  const char* t = e->GetText();
  return t ? t : "";
}

// A text that does not fit its field leaves the field empty.
std::string AnsiOrEmpty(const tinyxml2::XMLElement* e, size_t field) {
  return Utf8ToAnsiField(Text(e), field).value_or(std::string());
}
std::u16string WideOrEmpty(const tinyxml2::XMLElement* e, size_t field) {
  return Utf8ToWideField(Text(e), field).value_or(std::u16string());
}

// nullopt when the text or its expansion does not fit the entry's field.
std::optional<std::u16string> Expanded(const char* utf8) {
  std::string_view text = utf8 ? utf8 : "";
  if (text.size() + 1 > kExtraField) return std::nullopt;
  auto wide = Utf8ToWideField(text, kExtraField);
  if (!wide) return std::nullopt;
  std::u16string expanded = Files().ExpandEnvironmentStringsW(*wide);
  if (expanded.size() + 1 > kExtraField) return std::nullopt;
  return expanded;
}

bool IsTrue(const char* attr) { return attr && std::string_view(attr) == "true"; }

void ReadExtras(const tinyxml2::XMLElement* addbin, std::vector<ExtraProgram>* extras) {
  extras->clear();
  for (const auto* item = addbin->FirstChildElement("item"); item; item = item->NextSiblingElement("item")) {
    auto file = Expanded(item->GetText());
    auto path = Expanded(item->Attribute("path"));
    auto options = Expanded(item->Attribute("option"));
    // A cut path or argument could copy or start something else than the document names.
    if (!file || !path || !options) continue;
    ExtraProgram e;
    e.wait = IsTrue(item->Attribute("wait"));
    e.exec = IsTrue(item->Attribute("exec"));
    e.copy = IsTrue(item->Attribute("copy"));
    e.fileName = std::move(*file);
    e.path = std::move(*path);
    e.options = std::move(*options);
    extras->push_back(std::move(e));
  }
}

}  // namespace

int ReadInstallerSettings(std::string_view ansiPath, InstallerSettings* s) {
  std::string text;
  if (!ReadWholeFile(AnsiToWide(ansiPath), &text, kSettingsFileLimit)) return kSettingsNotLoaded;
  return ParseInstallerSettings(text, s);
}

int ParseInstallerSettings(std::string_view text, InstallerSettings* s) {
  tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
  if (text.size() > kSettingsFileLimit || doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS)
    return kSettingsNotLoaded;
  const tinyxml2::XMLElement* root = doc.RootElement();
  if (!root) return kSettingsNoRoot;

  // A serial or server address longer than its field is refused, never cut or emptied: it would
  // name another site or host, or none.
  const auto* e = root->FirstChildElement("serial");
  if (!e) return kSettingsNoSerial;
  auto serial = Utf8ToAnsiField(Text(e), kSerialField);
  if (!serial) return kSettingsNoSerial;
  s->serial = std::move(*serial);
  if (!(e = root->FirstChildElement("server"))) return kSettingsNoServer;
  auto server = Utf8ToAnsiField(Text(e), kServerField);
  if (!server) return kSettingsNoServer;
  s->server = std::move(*server);
  if (!(e = root->FirstChildElement("productkind"))) return kSettingsNoProductKind;
  s->productKind = AnsiOrEmpty(e, kProductKindField);
  if (!(e = root->FirstChildElement("msg"))) return kSettingsNoMessage;
  s->message = WideOrEmpty(e, kMessageField);
  if (!(e = root->FirstChildElement("showui"))) return kSettingsNoShowUi;
  s->showUi = WideOrEmpty(e, kShowUiField);

  e = root->FirstChildElement("companyName");
  s->companyName = e ? WideOrEmpty(e, kCompanyField) : std::u16string();
  s->pkServer.clear();
  if ((e = root->FirstChildElement("pk_server"))) {
    auto pk = Utf8ToAnsiField(Text(e), kServerField);
    if (!pk) return kSettingsPkServerTooLong;
    s->pkServer = std::move(*pk);
  }
  e = root->FirstChildElement("port");
  s->port = e ? ParseDecimalField(Text(e)) : kDefaultHttpPort;
  e = root->FirstChildElement("ssl");
  s->sslPort = e ? ParseDecimalField(Text(e)) : kDefaultHttpsPort;
  e = root->FirstChildElement("menu");
  s->menu = e ? ParseHexField(Text(e)) : kDefaultMenu;
  e = root->FirstChildElement("showLogo");
  s->showLogo = e && std::string_view(Text(e)) == "true";
  if ((e = root->FirstChildElement("addbin"))) ReadExtras(e, &s->extras);
  return 0;
}

int InstallerRegistryStep(ConfigContext& ctx, const InstallerSettings& s, std::u16string_view installFolder) {
  auto& reg = Registry();
  DeleteProductTree(HKEY_LOCAL_MACHINE);
  CommonRegKey common;
  if (int step = CreateKeyTree(&common)) return step;

  SealedStore& store = ctx.store;
  if (store.WriteSerial(common, s.serial) != ERROR_SUCCESS) return 20;
  store.SetSiteSerial(s.serial);
  if (store.WriteServer(common, s.server) != ERROR_SUCCESS) return 21;

  if (store.WritePkServer(common, s.pkServer) != ERROR_SUCCESS) return 10;
  if (!s.pkServer.empty()) {
    PcKeeperRegKey pk;
    if (OpenOrCreateKey(kPcKeeperKey, pk.put()) != ERROR_SUCCESS) return 11;
    if (store.WritePcKeeperServer(pk, s.pkServer) != ERROR_SUCCESS) return 12;
  } else {
    RegKey pk;
    if (reg.RegOpenKeyW(HKEY_LOCAL_MACHINE, kPcKeeperKey, pk.put()) == ERROR_SUCCESS) {
      pk.Close();
      if (reg.RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPcKeeperKey) != ERROR_SUCCESS) return 13;
    }
  }
  if (store.WriteHttpPort(common, static_cast<uint32_t>(s.port)) != ERROR_SUCCESS) return 23;
  if (store.WriteHttpsPort(common, static_cast<uint32_t>(s.sslPort)) != ERROR_SUCCESS) return 24;
  store.WriteMenu(common, s.menu);
  if (!store.WriteInstallFolder(common, installFolder)) return 25;
  common.Close();
  InstallerGuidStep();
  return 0;
}

int WriteInstallerServerConfig(ConfigContext& ctx, const InstallerSettings& s, std::u16string_view installFolder) {
  const std::string text =
      FormatServerConfig(s.serial, s.server, s.pkServer, s.port, s.sslPort, s.menu, kInstallerMenuFormat);
  const std::string path = WideToAnsi(installFolder) + "\\" + WideToAnsi(kServerConfigName);
  const int rc = text.size() < kConfigTextBuffer ? ctx.store.SaveConfigFile(path, text) : -11;
  if (rc == -15) return kServerConfigShortWrite;
  if (rc != 0) return kServerConfigNotCreated;
  Digest digest{};
  CommonRegKey common;
  if (DigestFile(std::string_view(path), &digest) && OpenCommonKey(KEY_WRITE, &common) == ERROR_SUCCESS)
    ctx.store.WriteConfigDigest(common, digest);
  return 0;
}

}  // namespace qz

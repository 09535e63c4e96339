#include "config/configure.h"

#include <tinyxml2.h>

#include "config/messages.h"
#include "config/registry_layout.h"
#include "config/text_fields.h"
#include "crypto/digest.h"
#include "crypto/machine_code.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kTagConfigure[] = u"Configure";
constexpr char16_t kTagAgentInfo[] = u"AgentInfo";
constexpr char16_t kTagAgentUtil[] = u"AgentUtil";

// A plain source file larger than this is not a configuration.
constexpr size_t kSourceFileLimit = 1 << 20;

const char* Text(const tinyxml2::XMLElement* e) {
  const char* t = e->GetText();
  return t ? t : "";
}

bool ReadElements(ConfigContext& ctx, const tinyxml2::XMLDocument& doc, ConfigRecord* record) {
  auto log = [&](int level, std::u16string_view fmt, auto... a) { ctx.Log(kTagConfigure, u"Read", level, fmt, a...); };
  const tinyxml2::XMLElement* root = doc.RootElement();
  if (!root) {
    log(kLogFatal, kMsgInvalidFormat);
    return false;
  }
  ConfigRecord r;
  // A text longer than its field is refused: a cut serial or address would name another site or host.
  auto ansiField = [&](const tinyxml2::XMLElement* e, size_t field, std::string* out) {
    auto v = Utf8ToAnsiField(Text(e), field);
    if (!v) {
      log(kLogFatal, kMsgInvalidFormat);
      return false;
    }
    *out = std::move(*v);
    return true;
  };

  const auto* serial = root->FirstChildElement("serial");
  if (!serial) {
    log(kLogFatal, kMsgNoSerial);
    return false;
  }
  if (!ansiField(serial, kSerialField, &r.serial)) return false;
  const auto* server = root->FirstChildElement("server");
  if (!server) {
    log(kLogFatal, kMsgNoServer);
    return false;
  }
  if (!ansiField(server, kServerField, &r.server)) return false;
  if (const auto* pk = root->FirstChildElement("pk_server")) {
    if (!ansiField(pk, kServerField, &r.pkServer)) return false;
  }
  if (!r.pkServer.empty()) {
    log(kLogSystem, kMsgPkServerAssigned, AnsiToWide(r.pkServer));
  } else {
    log(kLogSystem, kMsgNoPkServer);
  }
  if (const auto* port = root->FirstChildElement("port")) {
    r.httpPort = ParseDecimalField(Text(port));
  } else {
    log(kLogWarning, kMsgDefaultHttpPort);
    r.httpPort = kDefaultHttpPort;
  }
  if (const auto* ssl = root->FirstChildElement("ssl")) {
    r.httpsPort = ParseDecimalField(Text(ssl));
  } else {
    log(kLogWarning, kMsgDefaultHttpsPort);
    r.httpsPort = kDefaultHttpsPort;
  }
  if (const auto* menu = root->FirstChildElement("menu")) {
    r.menu = ParseHexField(Text(menu));
  } else {
    log(kLogWarning, kMsgDefaultMenu);
    r.menu = kDefaultMenu;
  }
  if (const auto* show = root->FirstChildElement("showMsg")) r.showMsg = EqualsNoCaseA(Text(show), "true");
  *record = std::move(r);
  return true;
}

}  // namespace

std::string FormatServerConfig(std::string_view serial, std::string_view server, std::string_view pkServer,
                               int32_t httpPort, int32_t httpsPort, uint32_t menu, std::string_view menuFormat) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV version=\"3.0\">\n  <serial>";
  out += XmlText(serial);
  out += "</serial>\n  <server>";
  out += XmlText(server);
  out += "</server>\n  <pk_server>";
  out += XmlText(pkServer);
  out += "</pk_server>\n  <port>";
  out += FmtA("%d", httpPort);
  out += "</port>\n  <ssl>";
  out += FmtA("%d", httpsPort);
  out += "</ssl>\n  <menu>";
  out += FmtA(menuFormat, menu);
  out += "</menu>\n</tarlinLMV>";
  return out;
}

bool Configure::Read(ConfigContext& ctx, std::u16string_view folder, bool sealed, ConfigRecord* record) {
  const std::string path = WideToAnsi(folder) + "\\" + WideToAnsi(kServerConfigName);
  const bool pathFits = path.size() + 1 <= kPathField;
  tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
  if (sealed) {
    std::string text;
    const int rc = pathFits ? ctx.store.LoadConfigFile(path, &text, kConfigTextBuffer) : -1;
    if (rc != 0) {
      ctx.Log(kTagConfigure, u"Read", kLogFatal, kMsgLoadFailed, rc);
      return false;
    }
    doc.Parse(text.data(), text.size());  // a parse failure leaves no root: "Invalid format" below
  } else {
    std::string text;
    if (!pathFits || !ReadWholeFile(AnsiToWide(path), &text, kSourceFileLimit) ||
        doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) {
      ctx.Log(kTagConfigure, u"Read", kLogFatal, kMsgOpenSourceFailed, AnsiToWide(path));
      return false;
    }
  }
  return ReadElements(ctx, doc, record);
}

bool UpdatePcKeeperInfo(ConfigContext& ctx, const CommonRegKey& common, std::string_view pkServer) {
  auto fatal = [&](std::u16string_view text) { ctx.Log(kTagAgentUtil, u"UpdatePcKeeperInfo", kLogFatal, text); };
  if (ctx.store.WritePkServer(common, pkServer) != ERROR_SUCCESS) {
    fatal(kMsgPkServerCommonFailed);
    return false;
  }
  if (!pkServer.empty()) {
    PcKeeperRegKey key;
    if (OpenOrCreateKey(kPcKeeperKey, key.put()) != ERROR_SUCCESS) return false;
    if (ctx.store.WritePcKeeperServer(key, pkServer) != ERROR_SUCCESS) {
      fatal(kMsgPkServerFailed);
      return false;
    }
    return true;
  }
  RegKey key;
  if (Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kPcKeeperKey, key.put()) != ERROR_SUCCESS) return true;
  key.Close();
  if (Registry().RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPcKeeperKey) != ERROR_SUCCESS) {
    fatal(kMsgPkKeyDeleteFailed);
    return false;
  }
  return true;
}

bool ReadConfigure(ConfigContext& ctx, ConfigRecord* record, const CommonRegKey& common, std::u16string_view folder,
                   bool updateMode, bool sealed) {
  if (!Configure::Read(ctx, folder, sealed, record)) return false;
  SiteSettings& s = ctx.settings;
  auto fatal = [&](std::u16string_view text) { ctx.Log(kTagAgentUtil, u"ReadConfigure", kLogFatal, text); };

  std::string machineCode;
  ComputeMachineCode(&machineCode);
  ctx.Log(kTagAgentInfo, u"ReadConfigure", kLogDebug, kMsgMachineSerial, AnsiToWide(machineCode), AnsiToWide(record->serial));

  const bool keepSerial = updateMode && !s.serial.empty();
  if (!keepSerial && ctx.store.WriteSerial(common, record->serial) != ERROR_SUCCESS) {
    fatal(kMsgSerialFailed);
    return false;
  }
  // Sealed under the serial that value06 holds, so that the next start can open what is written.
  ctx.store.SetSiteSerial(keepSerial ? s.serial : record->serial);

  if (ctx.store.WriteServer(common, record->server) != ERROR_SUCCESS) {
    fatal(kMsgServerFailed);
    return false;
  }
  if (!UpdatePcKeeperInfo(ctx, common, record->pkServer)) return false;
  if (ctx.store.WriteHttpPort(common, static_cast<uint32_t>(record->httpPort)) != ERROR_SUCCESS) {
    fatal(kMsgHttpPortFailed);
    return false;
  }
  if (ctx.store.WriteHttpsPort(common, static_cast<uint32_t>(record->httpsPort)) != ERROR_SUCCESS) {
    fatal(kMsgHttpsPortFailed);
    return false;
  }
  if (ctx.store.WriteMenu(common, record->menu) != ERROR_SUCCESS)
    ctx.Log(kTagAgentUtil, u"ReadConfigure", kLogWarning, kMsgMenuFailed);

  s.server = record->server;
  // Kept with the others so that the stored server.cfg written next carries it too.
  s.pkServer = record->pkServer;
  s.httpPort = record->httpPort;
  s.httpsPort = record->httpsPort;
  s.menu = record->menu;
  if (updateMode) return true;

  if (!ctx.store.WriteInstallFolder(common, s.installFolder)) {
    fatal(kMsgFolderFailed);
    return false;
  }
  Digest digest{};
  if (DigestFile(std::u16string_view(std::u16string(folder) + u"\\" + kServerConfigName), &digest) &&
      ctx.store.WriteConfigDigest(common, digest) == ERROR_SUCCESS)
    s.configDigest = digest;
  s.serial = record->serial;
  return true;
}

bool WriteConfigure(ConfigContext& ctx, std::u16string_view folder) {
  const SiteSettings& s = ctx.settings;
  const std::string text =
      FormatServerConfig(s.serial, s.server, s.pkServer, s.httpPort, s.httpsPort, s.menu, kUpdaterMenuFormat);
  const std::string path = WideToAnsi(std::u16string(folder) + u"\\" + kServerConfigName);
  const int rc = text.size() < kConfigTextBuffer ? ctx.store.SaveConfigFile(path, text) : -11;
  if (rc != 0) {
    ctx.Log(kTagAgentUtil, u"WriteConfigure", kLogFatal, kMsgRestoreFailed, rc);
    return false;
  }
  Digest digest{};
  CommonRegKey common;
  if (DigestFile(std::string_view(path), &digest) && OpenCommonKey(KEY_WRITE, &common) == ERROR_SUCCESS &&
      ctx.store.WriteConfigDigest(common, digest) == ERROR_SUCCESS)
    ctx.settings.configDigest = digest;
  return true;
}

}  // namespace qz

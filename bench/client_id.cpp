// bench_client_id ROOT ID: stores the client ID on the simulated machine at ROOT as the agent
// keeps it once the server has assigned one (sealed under the site key), so that the updater's
// alive cycle sends its requests and waits between them as on a registered PC.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/config_context.h"
#include "config/reg_key.h"
#include "config/registry_keys.h"
#include "config/registry_layout.h"
#include "platform/winsim/services.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_client_id ROOT ID\n");
    return 2;
  }
  const unsigned long id = std::strtoul(argv[2], nullptr, 10);
  winsim::ProcessIdentity self;
  self.imagePath = u"C:\\Program Files (x86)\\varnholt\\KSM\\lmvAgent.exe";
  self.bits = 32;
  self.currentDirectory = u"C:\\Program Files (x86)\\varnholt\\KSM";
  auto platform = winsim::OpenPlatform(argv[1], self);
  win::Platform::SetCurrent(platform.get());
  qz::ConfigContext site;
  int rc = qz::ReadSiteSettings(site);
  if (rc == 0) {
    qz::CommonRegKey common;
    rc = qz::OpenOrCreateKey(qz::kCommonKey, common.put()) != 0 ? 10
         : site.store.WriteClientId(common, static_cast<uint32_t>(id)) != 0 ? 11
                                                                             : 0;
  }
  win::Platform::SetCurrent(nullptr);
  if (rc != 0) std::fprintf(stderr, "bench_client_id: cannot store the client ID (%d)\n", rc);
  return rc == 0 ? 0 : 1;
}

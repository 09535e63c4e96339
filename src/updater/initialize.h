// Each mode's initialisation: PrepareInstall for install mode, Initialize for the others.
#pragma once

#include <cstdint>
#include <string_view>

#include "updater/context.h"

namespace qz {

// Install mode, after the agent's tree was deleted: builds the tree, opens the log in the install
// folder and mirrors the setup folder's server.cfg into the registry and the stored server.cfg.
bool PrepareInstall(UpdaterContext& u);

// Every other mode: 0, 3001..3006 (the site settings could not be read) or 1 (no log).
int Initialize(UpdaterContext& u);

// inet_addr then ntohl: dotted IPv4 forms (parts in decimal, octal or hex); 0xFFFFFFFF otherwise.
uint32_t Ipv4HostOrder(std::string_view text);

}  // namespace qz

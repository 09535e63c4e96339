// The table of /CAgentRequest commands, keyed by the form field `_c`.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace qzserver {

struct CommandRequest {
  std::map<std::string, std::string> form;  // decoded form fields
  std::string body;                         // the body as received
};

struct CommandAnswer {
  int status = 200;
  std::string body;
  std::string contentType = "text/xml; charset=utf-8";
};

using CommandHandler = std::function<CommandAnswer(const CommandRequest&)>;
using CommandTable = std::map<std::string, CommandHandler>;

// Fills the table; each command adds one entry here.
void RegisterCommands(CommandTable& table);

}  // namespace qzserver

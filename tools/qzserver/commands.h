// The table of /CAgentRequest commands, keyed by the form field `_c`, and the site state they answer
// from.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qzserver {

// What the server knows of its site. Settings come as NAME=VALUE lines (see README).
struct Site {
  std::string root;                       // release folder (checksums and sizes)
  std::map<std::string, uint32_t> clients;  // client ID by agent GUID
  uint32_t defaultClient = 0;             // for an unknown GUID
  std::string clientKey;                  // key text A (64 characters)
  std::string serverKey;                  // key text B
  int64_t clockOffsetMs = 0;              // the server's clock minus the host's
  uint64_t stampWindowMs = 300000;        // a request's _t may differ this much from the server's clock
  // The current build: as set, else the release folder's release.txt ("build=N"), else 1.
  uint32_t build = 1;
  bool buildSet = false;
  int32_t langType = 1;
  uint32_t menu = 0xFFFF0;
  uint32_t mirPlc = 0, mirPlc2 = 0;
  uint32_t patchTimeOut = 120;
  std::string publicIp;                   // empty: the peer's address
  std::string updaterName = "qzUpdater.exe";
  bool indent = false;                    // answers written with indentation, texts on lines of their own

  Site();
  // One NAME=VALUE setting; false with a reason when it is not understood.
  bool Set(const std::string& line, std::string* problem);
  uint32_t CurrentBuild() const;
};

struct CommandRequest {
  std::map<std::string, std::string> form;  // decoded form fields
  std::string body;                         // the body as received
  std::string peer;                         // the client's address
  // Scripted changes of the answer (fault rules).
  bool hasCid = false;
  uint32_t cid = 0;
  std::vector<std::string> omit;            // answer elements left out
  bool badStamp = false;                    // answer _th that does not match
  bool indent = false;                      // answer written with indentation
};

struct CommandAnswer {
  int status = 200;
  std::string body;
  std::string contentType = "text/xml; charset=utf-8";
  // Readable lines for the journal and the console.
  std::vector<std::string> notes;
};

using CommandHandler = std::function<CommandAnswer(const CommandRequest&)>;
using CommandTable = std::map<std::string, CommandHandler>;

// Fills the table; handlers answer from site, which they read under lock.
void RegisterCommands(CommandTable& table, Site& site, std::mutex& lock);

// The request stamp check: empty when _th is DigestA of _t (keyed with the site's key A, or the
// built-in template for public_ip, which comes before the agent has the key) and _t lies within
// the window of the server's clock; otherwise why not.
std::string CheckRequestStamp(const Site& site, const std::map<std::string, std::string>& form);

// The server's clock in milliseconds.
uint64_t ServerTime(const Site& site);

}  // namespace qzserver

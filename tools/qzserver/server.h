// qzserver: HTTPS and plain HTTP on 127.0.0.1, release files with ranges, multipart uploads, the
// command table, a journal of every request and scripted faults.
#pragma once

#include <string>
#include <vector>

namespace qzserver {

struct Options {
  std::string root;         // release folder: /certs/* and /agent/* are served from here
  std::string uploads;      // where uploaded files go
  std::string journal;      // journal file (empty: none)
  std::string faultsFile;   // fault rules, read again for every request
  std::vector<std::string> faults;  // fault rules from the command line
  std::string cert, key;    // PEM files; without them only plain HTTP runs
  int httpsPort = -1;       // -1: not served; 0: any free port
  int httpPort = -1;
  std::string portFile;     // receives "https=N" and "http=N" lines once listening
  std::string tlsMax;       // "1.2" or "1.3": highest TLS version offered
  std::string tlsMin;
  std::vector<std::string> site;    // site settings, NAME=VALUE, in order (file lines, then --set)
};

// Runs until SIGTERM or SIGINT; returns the exit code.
int Run(const Options& options);

}  // namespace qzserver

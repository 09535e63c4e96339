// Command line of qzserver; see README ("qzserver").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "server.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: qzserver --root DIR [--uploads DIR] [--journal FILE] [--cert PEM --key PEM]\n"
               "                [--https-port N] [--http-port N] [--port-file FILE]\n"
               "                [--faults FILE] [--fault RULE]... [--tls-min 1.2|1.3] [--tls-max 1.2|1.3]\n"
               "                [--site FILE] [--set NAME=VALUE]...\n");
}

}  // namespace

int main(int argc, char** argv) {
  qzserver::Options o;
  std::vector<std::string> siteFile, sets;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--root") o.root = value();
    else if (a == "--uploads") o.uploads = value();
    else if (a == "--journal") o.journal = value();
    else if (a == "--faults") o.faultsFile = value();
    else if (a == "--fault") o.faults.push_back(value());
    else if (a == "--cert") o.cert = value();
    else if (a == "--key") o.key = value();
    else if (a == "--https-port") o.httpsPort = std::atoi(value().c_str());
    else if (a == "--http-port") o.httpPort = std::atoi(value().c_str());
    else if (a == "--port-file") o.portFile = value();
    else if (a == "--tls-max") o.tlsMax = value();
    else if (a == "--tls-min") o.tlsMin = value();
    else if (a == "--site") {
      std::ifstream in(value());
      if (!in) {
        std::fprintf(stderr, "qzserver: cannot read the site file\n");
        return 2;
      }
      for (std::string line; std::getline(in, line);) siteFile.push_back(line);
    } else if (a == "--set") sets.push_back(value());
    else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "qzserver: unknown argument %s\n", a.c_str());
      Usage();
      return 2;
    }
  }
  o.site = siteFile;
  o.site.insert(o.site.end(), sets.begin(), sets.end());
  if (o.root.empty()) {
    Usage();
    return 2;
  }
  if (o.httpsPort < 0 && o.httpPort < 0) o.httpsPort = 0;
  return qzserver::Run(o);
}

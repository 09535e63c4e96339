// The server certificate of a response a query is about to accept, and the check a query runs on
// it. The check belongs to one query: whoever owns the query decides what it trusts.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/http.h"

namespace qz {

// Reads the certificate of the request in progress when asked; valid only during the check.
class ServerCertificateView {
 public:
  explicit ServerCertificateView(win::HINTERNET request) : request_(request) {}

  // The certificate's DER bytes; false, with the platform's last error saying why, when the
  // request has none to give.
  bool Read(std::vector<uint8_t>* der) const;

 private:
  win::HINTERNET request_;
};

// Runs on responses of requests made with check = true; false refuses the response.
using CertificateCheck = std::function<bool(const ServerCertificateView&)>;

}  // namespace qz

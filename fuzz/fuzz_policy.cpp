// The definition-file loader: the input as a whole file, and as the payload of one that verifies.
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qzfuzz::UsePlatform();
  qzfuzz::RecordCert cert;
  qz::ZipArchive zip;
  std::vector<uint8_t> out(qz::kPolicyBufferSize);
  cert.SignFor(data, size > 264 ? size - 264 : 0);
  zip.LoadPolicyFromBytes(out, std::span(data, size), cert);

  const std::string container = qzfuzz::Wrap(data, size);
  cert.SignFor(data, size);
  zip.LoadPolicyFromBytes(out, std::span(reinterpret_cast<const uint8_t*>(container.data()), container.size()), cert);
  return 0;
}

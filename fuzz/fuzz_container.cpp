// The container verifier (both forms, on the raw input) and the unpacker (on the input as a
// payload that verifies).
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qzfuzz::UsePlatform();
  qzfuzz::RecordCert cert;
  cert.SignFor(data, size > 264 ? size - 264 : 0);
  qz::VerifyContainer(std::span(data, size), cert);
  qzfuzz::MemoryStream raw(data, size);
  qz::VerifyContainer(raw, cert);

  const std::string container = qzfuzz::Wrap(data, size);
  cert.SignFor(data, size);
  qzfuzz::MemoryStream in(reinterpret_cast<const uint8_t*>(container.data()), container.size());
  qzfuzz::NullSink sink;
  qz::ZipArchive zip;
  zip.UnpackSigned(in, u"fuzz.qz", cert, "C:\\work", sink);
  return 0;
}

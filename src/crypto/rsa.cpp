#include "crypto/rsa.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace qz {

namespace {

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
struct ParamBldFree {
  void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};

}  // namespace

qzRSA::~qzRSA() { Reset(); }

void qzRSA::Reset() {
  EVP_PKEY_free(key_);
  key_ = nullptr;
}

void qzRSA::SetSizes(int bits) {
  bits_ = static_cast<uint16_t>(bits);
  bytes_ = static_cast<uint16_t>(bits / 8);
  maxData_ = static_cast<uint16_t>(bytes_ - 16);
}

int qzRSA::GenerateKey(int bits) {
  if (bits != 512 && bits != 1024 && bits != 2048 && bits != 4096) bits = 2048;
  SetSizes(bits);
  Reset();
  PkeyCtx gen(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!gen || EVP_PKEY_keygen_init(gen.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(gen.get(), static_cast<int>(bits)) != 1 ||
      EVP_PKEY_generate(gen.get(), &key) != 1) {
    EVP_PKEY_free(key);
    return kKeyGenerationFailed;
  }
  PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!check || EVP_PKEY_check(check.get()) != 1) {
    EVP_PKEY_free(key);
    return kKeyCheckFailed;
  }
  key_ = key;
  return 0;
}

bool qzRSA::SetPublicKey(std::span<const uint8_t> modulus, uint32_t exponent) {
  Reset();
  std::unique_ptr<BIGNUM, BnFree> n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
  std::unique_ptr<BIGNUM, BnFree> e(BN_new());
  std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
  if (!n || !e || !bld || BN_is_zero(n.get()) || BN_set_word(e.get(), exponent) != 1) return false;
  if (OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
    return false;
  std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return false;
  key_ = key;
  SetSizes(EVP_PKEY_get_bits(key));
  bytes_ = static_cast<uint16_t>(EVP_PKEY_get_size(key));  // a short modulus still fills whole blocks
  maxData_ = static_cast<uint16_t>(bytes_ - 16);
  return true;
}

bool qzRSA::SamePublicKey(const qzRSA& other) const {
  return key_ && other.key_ && EVP_PKEY_eq(key_, other.key_) == 1;
}

int qzRSA::PublicDecrypt(std::span<uint8_t> out, std::span<const uint8_t> in) const {
  if (!key_ || bytes_ == 0 || in.empty() || in.size() % bytes_ != 0) return -1;
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr));
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    return -1;
  std::vector<uint8_t> block(bytes_);
  size_t total = 0;
  for (size_t at = 0; at < in.size(); at += bytes_) {
    size_t got = block.size();
    if (EVP_PKEY_verify_recover(ctx.get(), block.data(), &got, in.data() + at, bytes_) != 1) return -1;
    if (got > out.size() - total) return -2;
    std::copy_n(block.begin(), got, out.begin() + static_cast<std::ptrdiff_t>(total));
    total += got;
  }
  return static_cast<int>(total);
}

}  // namespace qz

// The password cipher module: AES-256-GCM made with OpenSSL's libcrypto, in a
// module of its own so that only a program that encrypts or decrypts a
// password loads that library.
#include <openssl/evp.h>

#include <memory>

#include "util/secrets_module.h"

namespace tzplatform {
namespace secrets {
namespace {

constexpr int kNonceSize = 12;
constexpr int kTagSize = 16;

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

// Feeds `size` bytes through the cipher in pieces its int lengths can carry.
bool Update(EVP_CIPHER_CTX* context, bool encrypting, unsigned char* out, const unsigned char* in,
            size_t size) {
  constexpr size_t kPiece = 1 << 20;
  for (size_t done = 0; done < size;) {
    const int piece = static_cast<int>(size - done < kPiece ? size - done : kPiece);
    int written = 0;
    const int ok = encrypting ? EVP_EncryptUpdate(context, out + done, &written, in + done, piece)
                              : EVP_DecryptUpdate(context, out + done, &written, in + done, piece);
    if (ok != 1 || written != piece) return false;
    done += static_cast<size_t>(piece);
  }
  return true;
}

// The additional data goes in as an update without output.
bool AddData(EVP_CIPHER_CTX* context, bool encrypting, const unsigned char* aad, size_t aadSize) {
  int written = 0;
  const int size = static_cast<int>(aadSize);
  return encrypting ? EVP_EncryptUpdate(context, nullptr, &written, aad, size) == 1
                    : EVP_DecryptUpdate(context, nullptr, &written, aad, size) == 1;
}

bool Seal(const unsigned char* key, const unsigned char* nonce, const unsigned char* aad,
          size_t aadSize, const unsigned char* in, size_t size, unsigned char* out,
          unsigned char* tag) {
  Cipher context(EVP_CIPHER_CTX_new());
  int written = 0;
  return context &&
         EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
         EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
         EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key, nonce) == 1 &&
         AddData(context.get(), true, aad, aadSize) && Update(context.get(), true, out, in, size) &&
         EVP_EncryptFinal_ex(context.get(), out + size, &written) == 1 &&
         EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1;
}

bool Open(const unsigned char* key, const unsigned char* nonce, const unsigned char* aad,
          size_t aadSize, const unsigned char* in, size_t size, unsigned char* out,
          const unsigned char* tag) {
  Cipher context(EVP_CIPHER_CTX_new());
  int written = 0;
  unsigned char expected[kTagSize];
  for (int i = 0; i < kTagSize; ++i) expected[i] = tag[i];
  return context &&
         EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
         EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
         EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key, nonce) == 1 &&
         AddData(context.get(), false, aad, aadSize) &&
         Update(context.get(), false, out, in, size) &&
         EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, expected) == 1 &&
         EVP_DecryptFinal_ex(context.get(), out + size, &written) == 1;
}

const SecretsModule kModule = {Seal, Open};

}  // namespace
}  // namespace secrets
}  // namespace tzplatform

extern "C" __attribute__((visibility("default"))) const void* tzplatform_secrets_module_1() {
  return &tzplatform::secrets::kModule;
}

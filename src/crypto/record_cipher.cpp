#include "crypto/record_cipher.h"

#include <mbedtls/aes.h>
#include <mbedtls/base64.h>
#include <mbedtls/md5.h>

namespace {

bool AesEcb(int nMode, const std::string& strKey, const uint8_t* pIn, size_t unSize,
            uint8_t* pOut) {
  const size_t unKeyBytes = strKey.size();
  if ((unKeyBytes != 16 && unKeyBytes != 24 && unKeyBytes != 32) || unSize % 16 != 0) {
    return false;
  }
  mbedtls_aes_context ctx;
  mbedtls_aes_init(&ctx);
  const unsigned char* pKey = reinterpret_cast<const unsigned char*>(strKey.data());
  const unsigned int unBits = static_cast<unsigned int>(unKeyBytes * 8);
  bool bOk = (nMode == MBEDTLS_AES_ENCRYPT ? mbedtls_aes_setkey_enc(&ctx, pKey, unBits)
                                           : mbedtls_aes_setkey_dec(&ctx, pKey, unBits)) == 0;
  for (size_t i = 0; bOk && i < unSize; i += 16) {
    bOk = mbedtls_aes_crypt_ecb(&ctx, nMode, pIn + i, pOut + i) == 0;
  }
  mbedtls_aes_free(&ctx);
  return bOk;
}

}  // namespace

bool AesEcbEncrypt(const std::string& strKey, const uint8_t* pIn, size_t unSize, uint8_t* pOut) {
  return AesEcb(MBEDTLS_AES_ENCRYPT, strKey, pIn, unSize, pOut);
}

bool AesEcbDecrypt(const std::string& strKey, const uint8_t* pIn, size_t unSize, uint8_t* pOut) {
  return AesEcb(MBEDTLS_AES_DECRYPT, strKey, pIn, unSize, pOut);
}

std::string Base64Text(const uint8_t* pData, size_t unSize) {
  std::string strOut((unSize + 2) / 3 * 4 + 1, '\0');
  size_t unWritten = 0;
  if (mbedtls_base64_encode(reinterpret_cast<unsigned char*>(&strOut[0]), strOut.size(),
                            &unWritten, pData, unSize) != 0) {
    return std::string();
  }
  strOut.resize(unWritten);
  return strOut;
}

void Md5Digest(const uint8_t* pData, size_t unSize, uint8_t* pDigest) {
  (void)mbedtls_md5(pData, unSize, pDigest);  // cannot fail for plain memory
}

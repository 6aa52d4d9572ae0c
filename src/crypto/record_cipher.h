#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The card record's cipher and text encoding and the module controller's digest. With the upload's
// TLS link, the only code that calls the crypto library: a change of library touches these two.

// AES in ECB mode over whole 16-byte blocks, from pIn to pOut (which may be the same). False when
// the key is not 16, 24 or 32 bytes long or unSize is not a multiple of 16.
bool AesEcbEncrypt(const std::string& strKey, const uint8_t* pIn, size_t unSize, uint8_t* pOut);
bool AesEcbDecrypt(const std::string& strKey, const uint8_t* pIn, size_t unSize, uint8_t* pOut);

// Base64 text of the bytes (with padding, no line breaks).
std::string Base64Text(const uint8_t* pData, size_t unSize);

// The MD5 digest of the bytes, 16 bytes into pDigest.
void Md5Digest(const uint8_t* pData, size_t unSize, uint8_t* pDigest);

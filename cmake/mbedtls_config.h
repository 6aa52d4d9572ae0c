/* The mbed TLS build of the gateway: what the upload's TLS client, the card record's cipher and
 * digest, and the log simulator's TLS server use, and nothing else. The library is built with it
 * (cmake/MbedTls.cmake); a change here builds the library again. */
#ifndef CARDGATE_MBEDTLS_CONFIG_H
#define CARDGATE_MBEDTLS_CONFIG_H

/* Platform: time for certificate validity, files for the CA and key files, the system's
 * entropy source. */
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
#define MBEDTLS_FS_IO
#define MBEDTLS_ENTROPY_C
#define MBEDTLS_CTR_DRBG_C
#define MBEDTLS_ERROR_C
/* The PSA layer's key store is shared by the process: the upload's thread, and in the tests the
 * log simulator's TLS server beside it. */
#define MBEDTLS_THREADING_C
#define MBEDTLS_THREADING_PTHREAD

/* The card record: AES-128 in ECB with its Base64 text; the module controller's MD5 digest. */
#define MBEDTLS_AES_C
#define MBEDTLS_AES_FEWER_TABLES
#define MBEDTLS_BASE64_C
#define MBEDTLS_MD5_C

/* Hashes and AEAD ciphers of the TLS cipher suites and signatures. */
#define MBEDTLS_MD_C
#define MBEDTLS_SHA1_C  /* certificate chains signed with SHA-1 are still read, then refused */
#define MBEDTLS_SHA224_C
#define MBEDTLS_SHA256_C
#define MBEDTLS_SHA384_C
#define MBEDTLS_SHA512_C
#define MBEDTLS_HKDF_C
#define MBEDTLS_CIPHER_C
#define MBEDTLS_GCM_C
#define MBEDTLS_CHACHA20_C
#define MBEDTLS_POLY1305_C
#define MBEDTLS_CHACHAPOLY_C

/* Public keys: RSA (PKCS#1 v1.5 and PSS) and ECDSA certificates, ECDHE key exchange on
 * X25519, P-256, P-384 and P-521. */
#define MBEDTLS_BIGNUM_C
#define MBEDTLS_RSA_C
#define MBEDTLS_PKCS1_V15
#define MBEDTLS_PKCS1_V21
#define MBEDTLS_ECP_C
#define MBEDTLS_ECP_NIST_OPTIM
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_DP_SECP521R1_ENABLED
#define MBEDTLS_ECP_DP_CURVE25519_ENABLED
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C
#define MBEDTLS_OID_C
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_PK_WRITE_C
#define MBEDTLS_PEM_PARSE_C
#define MBEDTLS_X509_USE_C
#define MBEDTLS_X509_CRT_PARSE_C

/* TLS 1.3 keeps its key schedule in the PSA crypto layer. */
#define MBEDTLS_PSA_CRYPTO_C

/* TLS 1.2 and 1.3, client (the upload) and server (the log simulator), ECDHE only, session
 * tickets for resumption, server name indication. */
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_SSL_CLI_C
#define MBEDTLS_SSL_SRV_C
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_SSL_PROTO_TLS1_3
#define MBEDTLS_SSL_TLS1_3_COMPATIBILITY_MODE
#define MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL_ENABLED
#define MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_PSK_EPHEMERAL_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET
#define MBEDTLS_SSL_SERVER_NAME_INDICATION
#define MBEDTLS_SSL_SESSION_TICKETS
#define MBEDTLS_SSL_TICKET_C
#define MBEDTLS_SSL_KEEP_PEER_CERTIFICATE
/* The simulator's plain sockets. */
#define MBEDTLS_NET_C

/* A record of up to 16 KiB can come in; what the gateway sends goes out in records of 4 KiB. */
#define MBEDTLS_SSL_IN_CONTENT_LEN 16384
#define MBEDTLS_SSL_OUT_CONTENT_LEN 4096

#endif /* CARDGATE_MBEDTLS_CONFIG_H */

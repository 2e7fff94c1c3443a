/* Status codes of the spki1 crypto provider (libspki1.so / spki1.dll).
 *
 * Every VCERT_ entry point that returns a status returns 0 or one of these; the
 * per-signer entries of a verify result carry 0 or one of the SPKI1_SIGNER_ codes.
 * VCERT_GetErrorText gives a Russian text for each of them and NULL for any other code;
 * asked with a buffer right after a failure on the same thread, the text of that failure
 * also names the profile file (or certificate) concerned. */
#ifndef SPKI1_STATUS_H
#define SPKI1_STATUS_H

/* General */
#define SPKI1_E_NOT_SUPPORTED 0xE0700001u     /* entry point not supported by spki1 */
#define SPKI1_E_INVALID_ARGUMENT 0xE0700002u  /* null pointer, data without address, bad name */
#define SPKI1_E_INVALID_CONTEXT 0xE0700003u   /* unknown context or already released */
#define SPKI1_E_TOO_MANY_CONTEXTS 0xE0700004u /* the context table is full */
#define SPKI1_E_NO_MEMORY 0xE0700005u         /* out of memory */
#define SPKI1_E_ENGINE 0xE0700006u            /* the GOST engine of OpenSSL cannot be loaded */
#define SPKI1_E_INTERNAL 0xE0700007u          /* unexpected failure inside OpenSSL */

/* Profiles and keys */
#define SPKI1_E_PROFILE_NOT_FOUND 0xE0700010u /* no such profile in the provider home */
#define SPKI1_E_PROFILE_DAMAGED \
  0xE0700011u                             /* a profile file is there but its content is unusable */
#define SPKI1_E_KEY_MISMATCH 0xE0700012u  /* the key does not belong to the certificate */
#define SPKI1_E_PIN_REQUIRED 0xE0700013u  /* key needs a PIN; silent mode and none configured */
#define SPKI1_E_WRONG_PIN 0xE0700014u     /* the PIN does not open the key */
#define SPKI1_E_NO_TERMINAL 0xE0700015u   /* key needs a PIN; none configured, no terminal */
#define SPKI1_E_PIN_CANCELLED 0xE0700016u /* empty PIN or end of input at the prompt */
#define SPKI1_E_UNSUPPORTED_KEY 0xE0700017u /* key algorithm spki1 cannot sign with */
#define SPKI1_E_SIGN_FAILED 0xE0700018u     /* the signature could not be made */
#define SPKI1_E_FILE_MISSING 0xE070001Au    /* key.pem or cert.pem is not in the profile */
#define SPKI1_E_FILE_UNREADABLE 0xE070001Bu /* a profile file exists but cannot be read */
#define SPKI1_E_CERT_EXPIRED 0xE070001Cu    /* signing refused: the certificate has expired */
#define SPKI1_E_CERT_NOT_YET_VALID \
  0xE070001Du /* signing refused: the certificate is not yet valid */
/* signing refused: a verify-only profile has no key */
#define SPKI1_E_NO_KEY 0xE070001Eu

/* Verification */
#define SPKI1_E_SIGNERS_FAILED 0xE0700019u /* at least one signer failed (see the entries) */
#define SPKI1_E_CMS_MALFORMED 0xE0700020u  /* the signature is not readable DER CMS */
#define SPKI1_E_CMS_NOT_SIGNED 0xE0700021u /* CMS but not SignedData, or without signers */

/* Per-signer statuses (VCERT_SIGNER_RESULT.Status) */
#define SPKI1_SIGNER_DIGEST_MISMATCH 0xE0700030u    /* data differs from what was signed */
#define SPKI1_SIGNER_BAD_SIGNATURE 0xE0700031u      /* signature value does not verify */
#define SPKI1_SIGNER_UNTRUSTED 0xE0700032u          /* certificate not trusted by the profile */
#define SPKI1_SIGNER_CERT_EXPIRED 0xE0700033u       /* certificate has expired */
#define SPKI1_SIGNER_CERT_NOT_YET_VALID 0xE0700034u /* certificate not yet valid */
/* the signer's certificate is neither in the CMS nor known */
#define SPKI1_SIGNER_CERT_NOT_FOUND 0xE0700035u
#define SPKI1_SIGNER_UNSUPPORTED_ALG 0xE0700036u /* digest or signature algorithm unknown */
/* Signer policy: the certificate may not sign documents */
#define SPKI1_SIGNER_KEY_USAGE 0xE0700037u /* key usage allows no digital signature */
#define SPKI1_SIGNER_IS_CA 0xE0700038u     /* a CA certificate (basicConstraints CA:TRUE) */
/* extended key usage: TLS purposes only, or none of the profile's signer_eku */
#define SPKI1_SIGNER_EXT_KEY_USAGE 0xE0700039u
/* Revocation */
#define SPKI1_SIGNER_REVOKED 0xE070003Au     /* a certificate of the chain is revoked */
#define SPKI1_SIGNER_CRL_MISSING 0xE070003Bu /* crl=require: no CRL of an issuer in the chain */
/* crl=require: the issuer's CRL is past its next update (or not yet in force) */
#define SPKI1_SIGNER_CRL_EXPIRED 0xE070003Cu
#define SPKI1_SIGNER_CRL_BAD 0xE070003Du /* a CRL's signature does not verify with its issuer */
/* Time of signing (the signing-time attribute) */
#define SPKI1_SIGNER_NOT_VALID_AT_SIGNING 0xE070003Eu /* a certificate was not valid then */
#define SPKI1_SIGNER_SIGNED_IN_FUTURE 0xE070003Fu     /* signing time ahead of this clock */

#endif

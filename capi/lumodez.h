/* LumoDEZLib C API: the DEZSign and Profile objects for C and other languages.
 *
 * Every function that can fail returns a 32-bit status: 0 on success, 0x8000FFFF
 * (E_UNEXPECTED) or another negative code on failure. After a failure the calling
 * thread's last error (description, source, GUID) tells what went wrong; a successful
 * call clears it. All strings are UTF-8 and zero-terminated. Strings returned through
 * an out argument are allocated by the library and released with lumodez_free.
 *
 * Objects are not thread-safe: use one object on one thread at a time. Different
 * objects may be used on different threads at once. */
#ifndef LUMODEZ_H
#define LUMODEZ_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(LUMODEZ_BUILDING)
#define LUMODEZ_API __declspec(dllexport)
#else
#define LUMODEZ_API __declspec(dllimport)
#endif
#else
#define LUMODEZ_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Action codes (only the low 8 bits are used). */
enum {
  LUMODEZ_CHILDS = 1,
  LUMODEZ_ROOT = 2,
  LUMODEZ_ENVELOPE = 3,
  LUMODEZ_VERIFY = 4,
  LUMODEZ_EXTRACT = 5,
  LUMODEZ_BASE64_ENVELOPE = 6
};

/* Key-load modes of a Profile object. */
enum { LUMODEZ_KEYLOAD_DEFAULT = 0, LUMODEZ_KEYLOAD_SILENT = 1, LUMODEZ_KEYLOAD_LOUD = 2 };

#define LUMODEZ_E_UNEXPECTED ((int32_t)0x8000FFFF)
#define LUMODEZ_E_POINTER ((int32_t)0x80004003)
#define LUMODEZ_E_INVALIDARG ((int32_t)0x80070057)

typedef struct lumodez_sign lumodez_sign;       /* "LumoDEZLib.DEZSign" */
typedef struct lumodez_profile lumodez_profile; /* "LumoDEZLib.Profile" */

LUMODEZ_API const char* lumodez_version(void);
LUMODEZ_API void lumodez_free(char* text);

/* Last error of the calling thread; empty strings when the last call succeeded. */
LUMODEZ_API const char* lumodez_last_error_description(void);
LUMODEZ_API const char* lumodez_last_error_source(void);
LUMODEZ_API const char* lumodez_last_error_guid(void);
/* The family of the last error: 0 none, then one of the LUMODEZ_ERROR_ values. For
 * LUMODEZ_ERROR_XML the description is the parser's reason, "\r\nPosition: LINE:COLUMN",
 * "\r\n" and the source line, and lumodez_last_error_code is the parser's code. For
 * LUMODEZ_ERROR_PROVIDER the description starts with the provider status as 8 hex digits
 * and ": " when lumodez_last_error_function names the entry point that returned it. */
enum {
  LUMODEZ_ERROR_LIBRARY = 1,
  LUMODEZ_ERROR_XML = 2,
  LUMODEZ_ERROR_PROVIDER = 3,
  LUMODEZ_ERROR_PLATFORM = 4
};
LUMODEZ_API int32_t lumodez_last_error_kind(void);
LUMODEZ_API int32_t lumodez_last_error_code(void);
LUMODEZ_API const char* lumodez_last_error_function(void);

/* The crypto provider library, for the whole process: a file name found by the system
 * loader's search, or a path. NULL or "" goes back to the environment variable
 * LUMODEZ_PROVIDER, else the default name (libspki1.so; spki1.dll on Windows). It is
 * loaded when the first key profile opens outside test mode and stays loaded, so set it
 * before that: once a different library is loaded the call fails and changes nothing.
 * A library that cannot be loaded makes that open fail with a message naming it. */
LUMODEZ_API int32_t lumodez_set_provider_library(const char* path);

/* The canonical text of a document (UTF-8 text): with numbered 0 the fixed-prefix form,
 * otherwise the numbered-prefix form, the exact bytes that LUMODEZ_ROOT signs. *result
 * receives it (UTF-8, no declaration), or NULL on failure. */
LUMODEZ_API int32_t lumodez_canonical_text(const char* xml, int numbered, char** result);

/* lumodez_sign_xml, lumodez_sign_file and lumodez_profile_sign refuse an action code whose
 * low 8 bits are none of the above (LUMODEZ_E_INVALIDARG, nothing opened or written), and
 * lumodez_sign_file refuses LUMODEZ_BASE64_ENVELOPE (it takes Base64 text: use
 * lumodez_sign_xml): the library would return the document unsigned for them.
 *
 * DEZSign: settings TestMode and Silent (0 false, anything else true; read back as
 * 0 or 1), and the two working calls. */
LUMODEZ_API int32_t lumodez_sign_create(lumodez_sign** sign);
LUMODEZ_API void lumodez_sign_release(lumodez_sign* sign);
LUMODEZ_API int32_t lumodez_sign_get_test_mode(const lumodez_sign* sign, int* value);
LUMODEZ_API int32_t lumodez_sign_set_test_mode(lumodez_sign* sign, int value);
LUMODEZ_API int32_t lumodez_sign_get_silent(const lumodez_sign* sign, int* value);
LUMODEZ_API int32_t lumodez_sign_set_silent(lumodez_sign* sign, int value);
LUMODEZ_API int32_t lumodez_sign_file(lumodez_sign* sign, const char* input_file,
                                      const char* output_file, const char* profile, int32_t action);
/* *result receives the resulting document (UTF-8), or NULL on failure. */
LUMODEZ_API int32_t lumodez_sign_xml(lumodez_sign* sign, const char* input_xml, const char* profile,
                                     int32_t action, char** result);

/* Profile: one key profile held open across many lumodez_profile_sign calls.
 *
 * The key profile is made at the object's first lumodez_profile_open with the name set
 * then, and the object keeps that name for its lifetime: a later
 * lumodez_profile_set_name changes what lumodez_profile_get_name returns but not the
 * key profile that open, sign and close work on, also across close and a new open
 * (the automation object behaves the same). Use a new object for another profile.
 * lumodez_profile_set_name refuses NULL (LUMODEZ_E_POINTER); lumodez_profile_set_keyload
 * accepts only the LUMODEZ_KEYLOAD_ values and refuses others (LUMODEZ_E_INVALIDARG);
 * a refused call leaves the setting as it was. */
LUMODEZ_API int32_t lumodez_profile_create(lumodez_profile** profile);
LUMODEZ_API void lumodez_profile_release(lumodez_profile* profile);
LUMODEZ_API int32_t lumodez_profile_get_name(const lumodez_profile* profile, char** name);
LUMODEZ_API int32_t lumodez_profile_set_name(lumodez_profile* profile, const char* name);
LUMODEZ_API int32_t lumodez_profile_get_test_mode(const lumodez_profile* profile, int* value);
LUMODEZ_API int32_t lumodez_profile_set_test_mode(lumodez_profile* profile, int value);
LUMODEZ_API int32_t lumodez_profile_get_keyload(const lumodez_profile* profile, int32_t* value);
LUMODEZ_API int32_t lumodez_profile_set_keyload(lumodez_profile* profile, int32_t value);
LUMODEZ_API int32_t lumodez_profile_open(lumodez_profile* profile);
LUMODEZ_API int32_t lumodez_profile_close(lumodez_profile* profile);
LUMODEZ_API int32_t lumodez_profile_sign(lumodez_profile* profile, const char* xml, int32_t action,
                                         char** result);
/* The document of input_file, read as a file load reads it (byte order mark, else the
 * declaration's encoding, else UTF-8), through lumodez_profile_sign into output_file
 * (UTF-8), written as lumodez_sign_file writes its output: only once the whole result is
 * ready, in place of the old file (a symbolic link is followed, and stays); on failure an
 * existing output is left as it was. File names are passed to the system as given. */
LUMODEZ_API int32_t lumodez_profile_sign_file(lumodez_profile* profile, const char* input_file,
                                              const char* output_file, int32_t action);

/* Checking what root or childs signed: the dsig:SigValue of a signed document verified
 * against the bytes the document gives without it. Flags: LUMODEZ_CHECK_CHILDS checks the
 * value in each child element of the root (as childs signed them), otherwise the root's
 * own; LUMODEZ_CHECK_TEST_MODE needs no provider, a signature then verifies when it
 * equals the signed bytes. The flags lie outside the low 8 bits, so that an action code
 * passed by mistake is refused; any bit that is not a flag is refused
 * (LUMODEZ_E_INVALIDARG, nothing checked, *report NULL). profile names the key profile
 * that verifies (opened silently for the call, closed before it returns); ignored in test
 * mode.
 *
 * A signature is accepted only when, besides verifying, the document shows a reader
 * nothing it does not cover: the tree a namespace-aware reader builds from the signed
 * element (elements and attributes by namespace and local name, attribute values, text),
 * less the one dsig:SigValue, must be the tree of the signed bytes, and no document type
 * declaration (for root, no comment or processing instruction either) may stand around
 * it. Otherwise the verdict is LUMODEZ_VERDICT_UNSIGNED_CONTENT, with a reason such as
 * "UNSIGNED CONTENT: attribute xsi:nil at line 12"; LUMODEZ_CHECK_ALLOW_UNSIGNED makes that
 * an accepted verdict (LUMODEZ_VERDICT_OK_UNSIGNED_ALLOWED) whose warning says the same.
 * With LUMODEZ_CHECK_CHILDS two children with the same signed bytes are refused: the
 * later one is LUMODEZ_VERDICT_DUPLICATE ("DUPLICATE of child 1"), and
 * lumodez_signature_report_not_covered tells which parts of the packet no signature covers.
 *
 * Returns 0 when every signature is accepted. Otherwise a failure status, and the last
 * error describes the first signature that was not, or why the document could not be
 * checked at all. *report receives one verdict per signature whenever the document was
 * examined, and NULL otherwise; release it with lumodez_signature_report_free, which frees
 * every text it points to. */
enum { LUMODEZ_CHECK_CHILDS = 0x10000, LUMODEZ_CHECK_TEST_MODE = 0x20000 };
/* A bit of its own, apart from the action codes (low 8 bits). */
#define LUMODEZ_CHECK_ALLOW_UNSIGNED 0x100

/* Verdict codes (lumodez_signature_verdict_code). A program acts on a document only when
 * every verdict is LUMODEZ_VERDICT_OK (or, where it allowed unsigned content,
 * LUMODEZ_VERDICT_OK_UNSIGNED_ALLOWED). */
enum {
  LUMODEZ_VERDICT_OK = 0,
  LUMODEZ_VERDICT_FAILED = 1,           /* does not verify over the bytes the document gives */
  LUMODEZ_VERDICT_UNSIGNED_CONTENT = 2, /* verifies, but the document shows unsigned content */
  LUMODEZ_VERDICT_DUPLICATE = 3,        /* childs: the signed bytes of an earlier child */
  LUMODEZ_VERDICT_CANNOT_REBUILD = 4,   /* the signed bytes cannot be taken from the document */
  LUMODEZ_VERDICT_NO_SIGNATURE = 5,     /* no signature value where it belongs, or no child */
  LUMODEZ_VERDICT_NOT_CHECKED = 6,      /* the provider could not be asked (not about the
                                           document: load or entry point failure) */
  LUMODEZ_VERDICT_OK_UNSIGNED_ALLOWED = 7
};

/* The report's layout is fixed: count and verdicts, and in each verdict the four fields
 * below. Everything else is read through the accessor functions that follow, so that
 * more can be told without changing what callers were compiled against. */
typedef struct lumodez_signature_verdict {
  int32_t index;       /* 0: the root's own signature; n: the root's n-th child element */
  const char* element; /* qualified name of the signed element */
  int verified;        /* 1 when the signature is accepted, else 0 */
  const char* reason;  /* why it is not; "" when accepted */
} lumodez_signature_verdict;

typedef struct lumodez_signature_report {
  size_t count;
  const lumodez_signature_verdict* verdicts;
} lumodez_signature_report;

LUMODEZ_API int32_t lumodez_check_signature_xml(const char* xml, const char* profile, int32_t flags,
                                                lumodez_signature_report** report);
LUMODEZ_API int32_t lumodez_check_signature_file(const char* file, const char* profile,
                                                 int32_t flags, lumodez_signature_report** report);
LUMODEZ_API void lumodez_signature_report_free(lumodez_signature_report* report);

/* Accessors of verdict i (0 .. count-1) of a report. Out of range or a NULL report: -1,
 * 0 or "" as the type allows. */
LUMODEZ_API int32_t lumodez_signature_verdict_code(const lumodez_signature_report* report,
                                                   size_t i);
/* The provider's status (such as 0xE0700019) when the provider refused the signature;
 * 0 when the verdict did not come from the provider. */
LUMODEZ_API uint32_t
lumodez_signature_verdict_provider_status(const lumodez_signature_report* report, size_t i);
/* LUMODEZ_VERDICT_OK_UNSIGNED_ALLOWED: what was allowed; "" otherwise. */
LUMODEZ_API const char* lumodez_signature_verdict_warning(const lumodez_signature_report* report,
                                                          size_t i);
/* LUMODEZ_VERDICT_DUPLICATE: the index of the earlier child; 0 otherwise. */
LUMODEZ_API int32_t lumodez_signature_verdict_duplicate_of(const lumodez_signature_report* report,
                                                           size_t i);
/* Childs: the parts of the packet no signature covers, on one line (the root element and
 * the order of its children, the root's attributes by name, text, comments, processing
 * instructions); "" for root. */
LUMODEZ_API const char* lumodez_signature_report_not_covered(
    const lumodez_signature_report* report);

/* Who signed verdict i's signature, read from the signature value itself (its CMS: the
 * signer's certificate as the signature carries it, and the signing time the signer
 * claims), whatever the verdict: for a signature that was not accepted it is whom the
 * signature names, not proven. lumodez_signature_verdict_signer_count is the number of
 * signers the signature names (signers k = 0 .. count-1); -1 when no signature was read
 * (test mode, no signature value or one that is not Base64, i out of range); 0 with the
 * reason in lumodez_signature_verdict_signer_error when the signature could not be read
 * as CMS ("" otherwise). Each text field of signer k is UTF-8, "" where the signature does not
 * tell it (and for k out of range):
 *   common_name, organization  the subject's CN and O (from its certificate)
 *   serial                     the certificate's serial number, upper-case hexadecimal
 *   issuer                     "CN=..., O=..." of the issuer
 *   signing_time               "2026-12-09 10:14:03 UTC", the time the signer claims
 * lumodez_signature_verdict_signer_certificate_found is 1 when the signature carries the
 * signer's certificate (else common_name and organization are ""). The texts live as long
 * as the report. */
LUMODEZ_API int32_t lumodez_signature_verdict_signer_count(const lumodez_signature_report* report,
                                                           size_t i);
LUMODEZ_API const char* lumodez_signature_verdict_signer_error(
    const lumodez_signature_report* report, size_t i);
LUMODEZ_API const char* lumodez_signature_verdict_signer_common_name(
    const lumodez_signature_report* report, size_t i, size_t k);
LUMODEZ_API const char* lumodez_signature_verdict_signer_organization(
    const lumodez_signature_report* report, size_t i, size_t k);
LUMODEZ_API const char* lumodez_signature_verdict_signer_serial(
    const lumodez_signature_report* report, size_t i, size_t k);
LUMODEZ_API const char* lumodez_signature_verdict_signer_issuer(
    const lumodez_signature_report* report, size_t i, size_t k);
LUMODEZ_API const char* lumodez_signature_verdict_signing_time(
    const lumodez_signature_report* report, size_t i, size_t k);
LUMODEZ_API int32_t lumodez_signature_verdict_signer_certificate_found(
    const lumodez_signature_report* report, size_t i, size_t k);

/* Who signed the envelope that the calling thread's last working call (lumodez_sign_file,
 * lumodez_sign_xml, lumodez_profile_sign, lumodez_profile_sign_file) verified with
 * LUMODEZ_VERIFY, with the same fields as above; whatever the verdict, so after a refused
 * verify it is whom the signature names. lumodez_last_verified_signer_count is -1 when
 * that call handed no signature to the provider (another action, test mode, a failure
 * before the signature was reached). The texts stay valid until the thread's next
 * working call. */
LUMODEZ_API int32_t lumodez_last_verified_signer_count(void);
LUMODEZ_API const char* lumodez_last_verified_signer_error(void);
LUMODEZ_API const char* lumodez_last_verified_signer_common_name(size_t k);
LUMODEZ_API const char* lumodez_last_verified_signer_organization(size_t k);
LUMODEZ_API const char* lumodez_last_verified_signer_serial(size_t k);
LUMODEZ_API const char* lumodez_last_verified_signer_issuer(size_t k);
LUMODEZ_API const char* lumodez_last_verified_signing_time(size_t k);
LUMODEZ_API int32_t lumodez_last_verified_signer_certificate_found(size_t k);

/* After a failed call: 1 when the document was refused (a signature the provider
 * rejected, an envelope verify refused for a part missing or twice), 0 for any other
 * failure; and the provider's status when the error came from one (else 0). */
LUMODEZ_API int32_t lumodez_last_error_refused(void);
LUMODEZ_API uint32_t lumodez_last_error_provider_status(void);

#ifdef __cplusplus
}
#endif

#endif

/* The C API from plain C: objects, settings, working calls in test mode, and the
 * thread's last error after failures. With LUMO_SPKI1_PROFILE (a key profile of the
 * reference provider whose subject is CN=Clerk, O=Test Bank, self-signed, serial
 * LUMO_SPKI1_SERIAL: capi_spki1_signer.sh makes one) also who signed, with real
 * signatures. Prints "N passed, M failed". */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lumodez.h"

static int passed, failed;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (cond) {                                                                \
      ++passed;                                                                \
    } else {                                                                   \
      ++failed;                                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                          \
  } while (0)

static const char* kDocument =
    "<Doc xmlns=\"urn:dez-ru:ed:v2.0\" B=\"2\" "
    "A=\"1\"><Item>\xD1\x82\xD0\xB5\xD0\xBA\xD1\x81\xD1\x82</Item></Doc>";
static const char* kSigned =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ed:Doc xmlns:ed=\"urn:dez-ru:ed:v2.0\" A=\"1\" "
    "B=\"2\">"
    "<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">";

/* A root-signed document whose signature value (Base64 of "forged") is not the signed
 * bytes. */
static const char* kForged =
    "<ed:Doc xmlns:ed=\"urn:dez-ru:ed:v2.0\"><dsig:SigValue "
    "xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">Zm9yZ2Vk</dsig:SigValue><ed:Item>1</ed:Item></ed:Doc>";

static void test_sign_object(void) {
  lumodez_sign* sign = NULL;
  int value = -1;
  char* result = NULL;

  CHECK(lumodez_sign_create(&sign) == 0 && sign != NULL);
  CHECK(lumodez_sign_get_test_mode(sign, &value) == 0 && value == 0);
  CHECK(lumodez_sign_set_test_mode(sign, 7) == 0);
  CHECK(lumodez_sign_get_test_mode(sign, &value) == 0 && value == 1);
  CHECK(lumodez_sign_set_silent(sign, 1) == 0);
  CHECK(lumodez_sign_get_silent(sign, &value) == 0 && value == 1);

  CHECK(lumodez_sign_xml(sign, kDocument, "key", LUMODEZ_ROOT, &result) == 0);
  CHECK(result != NULL && strncmp(result, kSigned, strlen(kSigned)) == 0);
  CHECK(strcmp(lumodez_last_error_description(), "") == 0);
  lumodez_free(result);

  /* A broken document: status, no result, and the error of this thread. */
  result = (char*)"untouched";
  CHECK(lumodez_sign_xml(sign, "<a><b></a>", "key", LUMODEZ_ROOT, &result) == LUMODEZ_E_UNEXPECTED);
  CHECK(result == NULL);
  CHECK(strstr(lumodez_last_error_description(), "Position: 1:") != NULL);
  CHECK(strcmp(lumodez_last_error_source(), "LumoDEZLib.DEZSign") == 0);
  CHECK(strcmp(lumodez_last_error_guid(), "{733F15ED-DAF6-419C-A122-1F0D1CF9FA58}") == 0);
  CHECK(lumodez_last_error_kind() == LUMODEZ_ERROR_XML);

  /* Null arguments are refused, not dereferenced. */
  CHECK(lumodez_sign_xml(sign, NULL, "key", LUMODEZ_ROOT, &result) < 0);
  CHECK(lumodez_last_error_kind() == LUMODEZ_ERROR_PLATFORM);
  CHECK(lumodez_sign_file(NULL, "a", "b", "key", LUMODEZ_ROOT) < 0);

  /* Bytes that are not UTF-8 are refused with their offset, never replaced and signed. */
  result = (char*)"untouched";
  CHECK(lumodez_sign_xml(sign, "<a>\xD0\x96\xFF</a>", "key", LUMODEZ_ROOT, &result) ==
        (int32_t)0x80070057);
  CHECK(result == NULL);
  CHECK(strstr(lumodez_last_error_description(), "input_xml at byte offset 5") != NULL);
  /* (File names are bytes and pass as they are; a profile name is text.) */
  CHECK(lumodez_sign_file(sign, "in.xml", "out.xml", "k\xC0\x80y", LUMODEZ_ROOT) ==
        (int32_t)0x80070057);
  CHECK(strstr(lumodez_last_error_description(), "profile at byte offset 1") != NULL);
  /* Base64 text with markup would add elements to the envelope: refused before signing. */
  CHECK(lumodez_sign_xml(sign, "QUJD</sen:Object>", "key", LUMODEZ_BASE64_ENVELOPE, &result) ==
        LUMODEZ_E_UNEXPECTED);
  CHECK(strstr(lumodez_last_error_description(),
               "Base64, \xD0\xBF\xD0\xBE\xD0\xB7\xD0\xB8\xD1\x86\xD0\xB8\xD1\x8F 5") != NULL);
  lumodez_sign_release(sign);
}

static void test_profile_object(void) {
  lumodez_profile* profile = NULL;
  char* text = NULL;
  char* envelope = NULL;
  int32_t keyload = -1;

  CHECK(lumodez_profile_create(&profile) == 0);
  CHECK(lumodez_profile_sign(profile, kDocument, LUMODEZ_ROOT, &text) == LUMODEZ_E_UNEXPECTED);
  CHECK(strcmp(lumodez_last_error_source(), "LumoDEZLib.Profile") == 0);
  CHECK(strcmp(lumodez_last_error_guid(), "{25033B17-7135-4FA5-9D6B-273620C5FAC5}") == 0);

  CHECK(lumodez_profile_set_name(profile, "\xD0\x9A\xED\xA0\x80") == (int32_t)0x80070057);
  CHECK(strstr(lumodez_last_error_description(), "name at byte offset 2") != NULL);
  CHECK(lumodez_profile_set_name(profile, "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87") == 0);
  CHECK(lumodez_profile_get_name(profile, &text) == 0 &&
        strcmp(text, "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87") == 0);
  lumodez_free(text);
  CHECK(lumodez_profile_set_keyload(profile, LUMODEZ_KEYLOAD_LOUD) == 0);
  CHECK(lumodez_profile_get_keyload(profile, &keyload) == 0 && keyload == 2);
  CHECK(lumodez_profile_set_test_mode(profile, 1) == 0);
  CHECK(lumodez_profile_open(profile) == 0);
  CHECK(lumodez_profile_sign(profile, kDocument, LUMODEZ_ENVELOPE, &envelope) == 0);
  CHECK(envelope &&
        strstr(envelope, "<sen:SigEnvelope xmlns:sen=\"urn:dez-ru:dsig:env:v1.1\">") != NULL);
  CHECK(lumodez_profile_sign(profile, envelope, LUMODEZ_VERIFY, &text) == 0);
  CHECK(text && strstr(text, "<ed:Item>") != NULL);
  lumodez_free(text);
  lumodez_free(envelope);
  /* The file call: null names and an input that cannot be read are refused, named. */
  CHECK(lumodez_profile_sign_file(profile, NULL, "out.xml", LUMODEZ_ROOT) == LUMODEZ_E_POINTER);
  CHECK(lumodez_profile_sign_file(profile, "/nonexistent-lumo/in.xml", "/nonexistent-lumo/out.xml",
                                  LUMODEZ_ROOT) == LUMODEZ_E_UNEXPECTED);
  CHECK(strstr(lumodez_last_error_description(),
               "Cannot open file \"/nonexistent-lumo/in.xml\". No such file") != NULL);
  CHECK(lumodez_profile_close(profile) == 0);
  lumodez_profile_release(profile);
}

/* Settings a C caller can get wrong are refused and leave the object as it was (the
 * automation object would keep 258 as its low 8 bits, that is Loud). */
static void test_profile_refuses_bad_settings(void) {
  static const int32_t kUnknownKeyloads[] = {3, 258, -1, 0x7FFFFFFF};
  lumodez_profile* profile = NULL;
  char* name = NULL;
  int32_t keyload = -1;
  size_t i;

  CHECK(lumodez_profile_create(&profile) == 0);
  CHECK(lumodez_profile_set_keyload(profile, LUMODEZ_KEYLOAD_SILENT) == 0);
  for (i = 0; i < sizeof kUnknownKeyloads / sizeof kUnknownKeyloads[0]; ++i) {
    CHECK(lumodez_profile_set_keyload(profile, kUnknownKeyloads[i]) == LUMODEZ_E_INVALIDARG);
    CHECK(strstr(lumodez_last_error_description(), "Unknown key-load mode") != NULL);
    CHECK(lumodez_profile_get_keyload(profile, &keyload) == 0 && keyload == LUMODEZ_KEYLOAD_SILENT);
  }

  CHECK(lumodez_profile_set_name(profile, "bank") == 0);
  CHECK(lumodez_profile_set_name(profile, NULL) == LUMODEZ_E_POINTER);
  CHECK(strstr(lumodez_last_error_description(), "profile name") != NULL);
  CHECK(lumodez_profile_get_name(profile, &name) == 0 && strcmp(name, "bank") == 0);
  lumodez_free(name);
  lumodez_profile_release(profile);
}

/* Checking what root and childs signed: verdicts per signature, the first failure as the
 * call's error, the report released as one. */
static void test_check_signature(void) {
  lumodez_sign* sign = NULL;
  char* root_signed = NULL;
  char* childs_signed = NULL;
  char* changed;
  lumodez_signature_report* report = NULL;
  const char* pos;

  CHECK(lumodez_sign_create(&sign) == 0 && lumodez_sign_set_test_mode(sign, 1) == 0);
  CHECK(lumodez_sign_xml(sign, kDocument, "key", LUMODEZ_ROOT, &root_signed) == 0);
  CHECK(lumodez_sign_xml(sign, kDocument, "key", LUMODEZ_CHILDS, &childs_signed) == 0);
  lumodez_sign_release(sign);
  if (!root_signed || !childs_signed) return;

  CHECK(lumodez_check_signature_xml(root_signed, NULL, LUMODEZ_CHECK_TEST_MODE, &report) == 0);
  CHECK(report != NULL && report->count == 1 && report->verdicts[0].index == 0 &&
        report->verdicts[0].verified == 1 && strcmp(report->verdicts[0].element, "ed:Doc") == 0 &&
        strcmp(report->verdicts[0].reason, "") == 0);
  lumodez_signature_report_free(report);

  CHECK(lumodez_check_signature_xml(childs_signed, NULL,
                                    LUMODEZ_CHECK_TEST_MODE | LUMODEZ_CHECK_CHILDS, &report) == 0);
  CHECK(report != NULL && report->count == 1 && report->verdicts[0].index == 1 &&
        strcmp(report->verdicts[0].element, "ed:Item") == 0 && report->verdicts[0].verified == 1);
  lumodez_signature_report_free(report);

  /* One changed letter of the signed text: a verdict, and its reason as the error. */
  changed = (char*)malloc(strlen(root_signed) + 16); /* room for a comment */
  if (!changed) return;
  strcpy(changed, root_signed);
  pos = strstr(changed, "</ed:Item>");
  CHECK(pos != NULL);
  if (pos) memcpy(changed + (pos - changed) - 2, "XY", 2); /* the last letter, two bytes */
  CHECK(lumodez_check_signature_xml(changed, NULL, LUMODEZ_CHECK_TEST_MODE, &report) ==
        LUMODEZ_E_UNEXPECTED);
  CHECK(report != NULL && report->count == 1 && report->verdicts[0].verified == 0 &&
        strcmp(report->verdicts[0].reason, lumodez_last_error_description()) == 0);
  CHECK(lumodez_signature_verdict_code(report, 0) == LUMODEZ_VERDICT_FAILED &&
        lumodez_last_error_refused() == 1 && lumodez_last_error_provider_status() == 0);
  lumodez_signature_report_free(report);

  /* A comment added: refused with its own code and line, or, allowed, a warning. */
  strcpy(changed, root_signed);
  pos = strstr(root_signed, "</ed:Doc>");
  CHECK(pos != NULL);
  if (pos) strcpy(changed + (pos - root_signed), "<!--x--></ed:Doc>");
  CHECK(lumodez_check_signature_xml(changed, NULL, LUMODEZ_CHECK_TEST_MODE, &report) ==
        LUMODEZ_E_UNEXPECTED);
  CHECK(report != NULL && report->verdicts[0].verified == 0 &&
        lumodez_signature_verdict_code(report, 0) == LUMODEZ_VERDICT_UNSIGNED_CONTENT &&
        strcmp(report->verdicts[0].reason, "UNSIGNED CONTENT: comment at line 1") == 0 &&
        lumodez_last_error_refused() == 1);
  CHECK(lumodez_signature_verdict_code(report, 1) == -1 &&
        strcmp(lumodez_signature_verdict_warning(report, 1), "") == 0 &&
        strcmp(lumodez_signature_report_not_covered(report), "") == 0);
  lumodez_signature_report_free(report);
  CHECK(lumodez_check_signature_xml(
            changed, NULL, LUMODEZ_CHECK_TEST_MODE | LUMODEZ_CHECK_ALLOW_UNSIGNED, &report) == 0);
  CHECK(report != NULL && report->verdicts[0].verified == 1 &&
        lumodez_signature_verdict_code(report, 0) == LUMODEZ_VERDICT_OK_UNSIGNED_ALLOWED &&
        strcmp(lumodez_signature_verdict_warning(report, 0),
               "UNSIGNED CONTENT: comment at line 1") == 0);
  lumodez_signature_report_free(report);
  free(changed);

  /* Childs: the packet's own parts are named. */
  CHECK(lumodez_check_signature_xml(childs_signed, NULL,
                                    LUMODEZ_CHECK_TEST_MODE | LUMODEZ_CHECK_CHILDS, &report) == 0);
  CHECK(report != NULL && lumodez_signature_verdict_code(report, 0) == LUMODEZ_VERDICT_OK &&
        strncmp(lumodez_signature_report_not_covered(report), "the root element ed:Doc", 23) == 0);
  lumodez_signature_report_free(report);

  /* A document that does not parse: an error, and no report. */
  report = (lumodez_signature_report*)&passed;
  CHECK(lumodez_check_signature_xml("<a><b></a>", NULL, LUMODEZ_CHECK_TEST_MODE, &report) ==
        LUMODEZ_E_UNEXPECTED);
  CHECK(report == NULL);
  CHECK(strstr(lumodez_last_error_description(), "Position: 1:") != NULL);
  CHECK(lumodez_check_signature_file("/nonexistent/signed.xml", NULL, LUMODEZ_CHECK_TEST_MODE,
                                     &report) < 0);
  CHECK(report == NULL);
  CHECK(lumodez_check_signature_xml(NULL, NULL, 0, &report) < 0);
  lumodez_signature_report_free(NULL);

  lumodez_free(root_signed);
  lumodez_free(childs_signed);
}

/* Codes a caller can mix up: an action code whose low 8 bits name no action (the library
 * would hand the document back unsigned), and check flags that are no flags (an action
 * code passed as flags was test mode once). Refused, nothing written, no report. */
static void test_refuses_unknown_codes(void) {
  static const int32_t kUnknownActions[] = {0, 99, 255, 256, LUMODEZ_CHECK_CHILDS, -1};
  static const int32_t kUnknownFlags[] = {LUMODEZ_CHILDS, LUMODEZ_ROOT, 0xFF, 0x40000,
                                          LUMODEZ_CHECK_TEST_MODE | LUMODEZ_ROOT};
  const char* out = "capi_refused_output.xml";
  lumodez_sign* sign = NULL;
  lumodez_profile* profile = NULL;
  lumodez_signature_report* report;
  char* result;
  FILE* written;
  size_t i;

  CHECK(lumodez_sign_create(&sign) == 0 && lumodez_sign_set_test_mode(sign, 1) == 0);
  CHECK(lumodez_profile_create(&profile) == 0 && lumodez_profile_set_test_mode(profile, 1) == 0 &&
        lumodez_profile_open(profile) == 0);
  remove(out);
  for (i = 0; i < sizeof kUnknownActions / sizeof kUnknownActions[0]; ++i) {
    result = (char*)"untouched";
    CHECK(lumodez_sign_xml(sign, kDocument, "key", kUnknownActions[i], &result) ==
          LUMODEZ_E_INVALIDARG);
    CHECK(result == NULL && strstr(lumodez_last_error_description(), "Unknown action code"));
    CHECK(lumodez_profile_sign(profile, kDocument, kUnknownActions[i], &result) ==
          LUMODEZ_E_INVALIDARG);
    CHECK(result == NULL);
    CHECK(lumodez_sign_file(sign, "in.xml", out, "key", kUnknownActions[i]) ==
          LUMODEZ_E_INVALIDARG);
  }
  /* The file entry takes no Base64 text; the low 8 bits still decide (258 is Root). */
  CHECK(lumodez_sign_file(sign, "in.xml", out, "key", LUMODEZ_BASE64_ENVELOPE) ==
        LUMODEZ_E_INVALIDARG);
  written = fopen(out, "rb");
  CHECK(written == NULL);
  if (written) fclose(written);
  CHECK(lumodez_sign_xml(sign, kDocument, "key", 0x100 | LUMODEZ_ROOT, &result) == 0);
  CHECK(result != NULL && strncmp(result, kSigned, strlen(kSigned)) == 0);
  lumodez_free(result);

  /* A document whose signature value is not its signature: no flag value makes it pass. */
  for (i = 0; i < sizeof kUnknownFlags / sizeof kUnknownFlags[0]; ++i) {
    report = (lumodez_signature_report*)&passed;
    CHECK(lumodez_check_signature_xml(kForged, NULL, kUnknownFlags[i], &report) ==
          LUMODEZ_E_INVALIDARG);
    CHECK(report == NULL && strstr(lumodez_last_error_description(), "Unknown check flags"));
  }
  CHECK(lumodez_check_signature_xml(kForged, NULL, LUMODEZ_CHECK_TEST_MODE, &report) ==
        LUMODEZ_E_UNEXPECTED);
  lumodez_signature_report_free(report);
  CHECK(lumodez_profile_close(profile) == 0);
  lumodez_profile_release(profile);
  lumodez_sign_release(sign);
}

/* A provider library that cannot be loaded: a provider error naming the file, no entry
 * point; a successful call clears the family. */
static void test_provider_library(void) {
  const char* missing = "/nonexistent-lumo-dir/libvendor.so";
  lumodez_profile* profile = NULL;
  CHECK(lumodez_set_provider_library(missing) == 0);
  CHECK(lumodez_profile_create(&profile) == 0);
  CHECK(lumodez_profile_set_name(profile, "key") == 0);
  CHECK(lumodez_profile_open(profile) == LUMODEZ_E_UNEXPECTED);
  CHECK(lumodez_last_error_kind() == LUMODEZ_ERROR_PROVIDER);
  CHECK(strstr(lumodez_last_error_description(), missing) != NULL);
  CHECK(strcmp(lumodez_last_error_function(), "") == 0);
  CHECK(lumodez_set_provider_library(NULL) == 0);
  CHECK(lumodez_last_error_kind() == 0);
  lumodez_profile_release(profile);
}

/* Who signed, in test mode: nothing was read, so there is no signer to tell. */
static void test_no_signer_in_test_mode(void) {
  lumodez_profile* profile = NULL;
  lumodez_signature_report* report = NULL;
  char *signed_text = NULL, *envelope = NULL, *text = NULL;

  CHECK(lumodez_profile_create(&profile) == 0 && lumodez_profile_set_test_mode(profile, 1) == 0 &&
        lumodez_profile_open(profile) == 0);
  CHECK(lumodez_profile_sign(profile, kDocument, LUMODEZ_ROOT, &signed_text) == 0);
  CHECK(lumodez_check_signature_xml(signed_text, NULL, LUMODEZ_CHECK_TEST_MODE, &report) == 0);
  CHECK(lumodez_signature_verdict_signer_count(report, 0) == -1 &&
        strcmp(lumodez_signature_verdict_signer_error(report, 0), "") == 0 &&
        strcmp(lumodez_signature_verdict_signer_common_name(report, 0, 0), "") == 0 &&
        lumodez_signature_verdict_signer_certificate_found(report, 0, 0) == 0);
  CHECK(lumodez_signature_verdict_signer_count(report, 1) == -1 &&
        lumodez_signature_verdict_signer_count(NULL, 0) == -1 &&
        strcmp(lumodez_signature_verdict_signing_time(NULL, 0, 0), "") == 0);
  lumodez_signature_report_free(report);
  CHECK(lumodez_profile_sign(profile, kDocument, LUMODEZ_ENVELOPE, &envelope) == 0);
  CHECK(lumodez_profile_sign(profile, envelope, LUMODEZ_VERIFY, &text) == 0);
  CHECK(lumodez_last_verified_signer_count() == -1 &&
        strcmp(lumodez_last_verified_signer_serial(0), "") == 0);
  lumodez_free(text);
  lumodez_free(envelope);
  lumodez_free(signed_text);
  CHECK(lumodez_profile_close(profile) == 0);
  lumodez_profile_release(profile);
}

/* The fields of one signer, as both accessor families give them. */
typedef struct {
  const char *common_name, *organization, *serial, *issuer, *signing_time;
  int32_t certificate_found;
} signer_fields;

static signer_fields verdict_signer(const lumodez_signature_report* report, size_t i, size_t k) {
  signer_fields f;
  f.common_name = lumodez_signature_verdict_signer_common_name(report, i, k);
  f.organization = lumodez_signature_verdict_signer_organization(report, i, k);
  f.serial = lumodez_signature_verdict_signer_serial(report, i, k);
  f.issuer = lumodez_signature_verdict_signer_issuer(report, i, k);
  f.signing_time = lumodez_signature_verdict_signing_time(report, i, k);
  f.certificate_found = lumodez_signature_verdict_signer_certificate_found(report, i, k);
  return f;
}

static signer_fields verified_signer(size_t k) {
  signer_fields f;
  f.common_name = lumodez_last_verified_signer_common_name(k);
  f.organization = lumodez_last_verified_signer_organization(k);
  f.serial = lumodez_last_verified_signer_serial(k);
  f.issuer = lumodez_last_verified_signer_issuer(k);
  f.signing_time = lumodez_last_verified_signing_time(k);
  f.certificate_found = lumodez_last_verified_signer_certificate_found(k);
  return f;
}

/* "2026-12-09 10:14:03 UTC" */
static int is_signing_time(const char* t) {
  static const char* shape = "dddd-dd-dd dd:dd:dd UTC";
  size_t i;
  if (strlen(t) != strlen(shape)) return 0;
  for (i = 0; shape[i]; ++i)
    if (shape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != shape[i]) return 0;
  return 1;
}

static int is_clerk(signer_fields f, const char* serial) {
  return strcmp(f.common_name, "Clerk") == 0 && strcmp(f.organization, "Test Bank") == 0 &&
         strcmp(f.serial, serial) == 0 && strcmp(f.issuer, "CN=Clerk, O=Test Bank") == 0 &&
         is_signing_time(f.signing_time) && f.certificate_found == 1;
}

/* Real signatures of the reference provider: every verdict and every verified envelope
 * names the key that signed, also where the signature is refused; a signature that is no
 * CMS says so instead. */
static void test_signer_with_a_real_key(const char* name, const char* serial) {
  lumodez_profile* profile = NULL;
  lumodez_signature_report* report = NULL;
  char *signed_text = NULL, *envelope = NULL, *text = NULL, *changed, *pos;
  signer_fields none;

  CHECK(lumodez_profile_create(&profile) == 0 && lumodez_profile_set_name(profile, name) == 0 &&
        lumodez_profile_set_keyload(profile, LUMODEZ_KEYLOAD_SILENT) == 0 &&
        lumodez_profile_open(profile) == 0);
  CHECK(lumodez_profile_sign(profile, kDocument, LUMODEZ_ROOT, &signed_text) == 0);
  CHECK(lumodez_check_signature_xml(signed_text, name, 0, &report) == 0);
  CHECK(report != NULL && lumodez_signature_verdict_signer_count(report, 0) == 1 &&
        strcmp(lumodez_signature_verdict_signer_error(report, 0), "") == 0);
  CHECK(is_clerk(verdict_signer(report, 0, 0), serial));
  none = verdict_signer(report, 0, 1);
  CHECK(strcmp(none.common_name, "") == 0 && strcmp(none.serial, "") == 0 &&
        none.certificate_found == 0);
  lumodez_signature_report_free(report);

  /* Refused: the signature still names whom it claims. */
  changed = signed_text ? (char*)malloc(strlen(signed_text) + 1) : NULL;
  if (changed) {
    strcpy(changed, signed_text);
    pos = strstr(changed, "</ed:Item>");
    CHECK(pos != NULL);
    if (pos) memcpy(pos - 2, "XY", 2); /* the last letter, two bytes */
    CHECK(lumodez_check_signature_xml(changed, name, 0, &report) < 0);
    CHECK(report != NULL && lumodez_signature_verdict_code(report, 0) == LUMODEZ_VERDICT_FAILED &&
          lumodez_signature_verdict_provider_status(report, 0) != 0);
    CHECK(is_clerk(verdict_signer(report, 0, 0), serial));
    lumodez_signature_report_free(report);
    free(changed);
  }
  /* A signature value that is no CMS: no signer, and why. */
  CHECK(lumodez_check_signature_xml(kForged, name, 0, &report) < 0);
  CHECK(report != NULL && lumodez_signature_verdict_signer_count(report, 0) == 0 &&
        strcmp(lumodez_signature_verdict_signer_error(report, 0), "") != 0);
  lumodez_signature_report_free(report);

  /* An envelope verified: its signer until the next working call. */
  CHECK(lumodez_profile_sign(profile, kDocument, LUMODEZ_ENVELOPE, &envelope) == 0);
  CHECK(lumodez_profile_sign(profile, envelope, LUMODEZ_VERIFY, &text) == 0);
  CHECK(lumodez_last_verified_signer_count() == 1 &&
        strcmp(lumodez_last_verified_signer_error(), "") == 0);
  CHECK(is_clerk(verified_signer(0), serial));
  lumodez_free(text);
  CHECK(lumodez_profile_sign(profile, kDocument, LUMODEZ_ROOT, &text) == 0);
  CHECK(lumodez_last_verified_signer_count() == -1 &&
        strcmp(lumodez_last_verified_signer_common_name(0), "") == 0);
  lumodez_free(text);
  /* Nor does a verify refused before it reaches the object tell the earlier signer. */
  CHECK(lumodez_profile_sign(profile, envelope, LUMODEZ_VERIFY, &text) == 0);
  lumodez_free(text);
  CHECK(lumodez_profile_sign(profile, "<a>\xFF</a>", LUMODEZ_VERIFY, &text) < 0);
  CHECK(lumodez_last_verified_signer_count() == -1);
  lumodez_free(envelope);
  lumodez_free(signed_text);
  CHECK(lumodez_profile_close(profile) == 0);
  lumodez_profile_release(profile);
}

int main(void) {
  CHECK(lumodez_version() != NULL && lumodez_version()[0] != '\0');
  test_sign_object();
  test_profile_object();
  test_profile_refuses_bad_settings();
  test_check_signature();
  test_refuses_unknown_codes();
  test_provider_library();
  test_no_signer_in_test_mode();
  if (getenv("LUMO_SPKI1_PROFILE"))
    test_signer_with_a_real_key(getenv("LUMO_SPKI1_PROFILE"),
                                getenv("LUMO_SPKI1_SERIAL") ? getenv("LUMO_SPKI1_SERIAL") : "");
  printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}

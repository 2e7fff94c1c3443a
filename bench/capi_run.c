/* One action through the C API, for the table of bench/table.sh (a process of its own, so
 * that its time and peak memory can be taken from outside):
 *
 *   capi_run file ACTION IN OUT [PROFILE]   lumodez_sign_file, file to file
 *   capi_run xml ACTION IN OUT [PROFILE]    lumodez_sign_xml: IN read as UTF-8 text, the
 *                                           result written to OUT
 *
 *   capi_run check FLAGS IN - [PROFILE]     lumodez_check_signature_file of IN (FLAGS: 0 Root,
 *                                           1 Childs); every verdict must be accepted
 *
 * ACTION is the action code (1 childs ... 6 base64-envelope). Without PROFILE the call runs
 * in test mode; with it, it signs (or verifies) with that key profile, silently. Exit
 * status 0 on success. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lumodez.h"

static char* ReadAll(const char* name) {
  FILE* f = fopen(name, "rb");
  if (!f) return NULL;
  size_t size = 0, capacity = 1 << 16;
  char* text = malloc(capacity + 1);
  size_t n;
  while (text && (n = fread(text + size, 1, capacity - size, f)) > 0) {
    size += n;
    if (size == capacity) {
      char* larger = realloc(text, capacity * 2 + 1);
      if (!larger) free(text);
      text = larger;
      capacity *= 2;
    }
  }
  int failed = ferror(f);
  fclose(f);
  if (!text || failed) {
    free(text);
    return NULL;
  }
  text[size] = '\0';
  return text;
}

static int Fail(const char* what) {
  fprintf(stderr, "capi_run: %s: %s\n", what, lumodez_last_error_description());
  return 1;
}

/* The check of a signed file through the C API. */
static int Check(int childs, const char* file, const char* profile) {
  lumodez_signature_report* report = NULL;
  const int32_t flags =
      (childs ? LUMODEZ_CHECK_CHILDS : 0) | (profile ? 0 : LUMODEZ_CHECK_TEST_MODE);
  int status = 0;
  if (lumodez_check_signature_file(file, profile ? profile : "bench", flags, &report) != 0)
    status = Fail(file);
  lumodez_signature_report_free(report);
  return status;
}

int main(int argc, char** argv) {
  if ((argc == 5 || argc == 6) && strcmp(argv[1], "check") == 0)
    return Check(atoi(argv[2]) == 1, argv[3], argc == 6 ? argv[5] : NULL);
  if ((argc != 5 && argc != 6) || (strcmp(argv[1], "file") != 0 && strcmp(argv[1], "xml") != 0)) {
    fprintf(stderr,
            "usage: capi_run file|xml ACTION IN OUT [PROFILE]\n"
            "       capi_run check FLAGS IN - [PROFILE]\n");
    return 2;
  }
  int32_t action = (int32_t)atoi(argv[2]);
  const char* profile = argc == 6 ? argv[5] : "bench";
  lumodez_sign* sign = NULL;
  if (lumodez_sign_create(&sign) != 0 || lumodez_sign_set_test_mode(sign, argc == 5) != 0 ||
      lumodez_sign_set_silent(sign, 1) != 0) {
    return Fail("create");
  }
  int status = 0;
  if (strcmp(argv[1], "file") == 0) {
    if (lumodez_sign_file(sign, argv[3], argv[4], profile, action) != 0) status = Fail(argv[3]);
  } else {
    char* xml = ReadAll(argv[3]);
    char* result = NULL;
    if (!xml) {
      fprintf(stderr, "capi_run: cannot read %s\n", argv[3]);
      status = 1;
    } else if (lumodez_sign_xml(sign, xml, profile, action, &result) != 0) {
      status = Fail(argv[3]);
    } else {
      free(xml);
      xml = NULL;
      FILE* out = fopen(argv[4], "wb");
      size_t length = strlen(result);
      int written = out && fwrite(result, 1, length, out) == length;
      if ((out && fclose(out) != 0) || !written) {
        fprintf(stderr, "capi_run: cannot write %s\n", argv[4]);
        status = 1;
      }
    }
    free(xml);
    lumodez_free(result);
  }
  lumodez_sign_release(sign);
  return status;
}

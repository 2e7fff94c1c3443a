/* The floor of checking a Childs packet: the provider's own verification of every child's
 * signature over its signed bytes, nothing else (bench/table.sh sets the check beside it).
 *
 *   verify_floor PROVIDER.so PROFILE DIR
 *
 * DIR holds the pairs that `dezsign export-signature --childs F --cms DIR/s.p7s --data
 * DIR/s.bin` writes (s.1.p7s, s.1.bin, s.2.p7s, ...). Every pair is read first; then each is
 * verified once, and the CPU time of the process spent verifying is printed, in seconds:
 *   verify_floor: N signatures, CPU C s
 * Exit status 1 when a pair is missing or a signature does not verify. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "provider/vcert_api.h"

typedef struct {
  VCERT_BLOB signature, data;
} Pair;

/* The whole file, or nothing. */
static int ReadFile(const char* name, VCERT_BLOB* blob) {
  FILE* f = fopen(name, "rb");
  if (!f) return 0;
  size_t size = 0, room = 4096;
  unsigned char* bytes = malloc(room);
  size_t got;
  while (bytes && (got = fread(bytes + size, 1, room - size, f)) > 0) {
    size += got;
    if (size == room) bytes = realloc(bytes, room *= 2);
  }
  fclose(f);
  if (!bytes) return 0;
  blob->cbData = (uint32_t)size;
  blob->pbData = bytes;
  return 1;
}

static double CpuSeconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: verify_floor PROVIDER.so PROFILE DIR\n");
    return 2;
  }
  void* provider = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!provider) {
    fprintf(stderr, "verify_floor: %s\n", dlerror());
    return 1;
  }
  PFN_VCERT_Initialize initialize = (PFN_VCERT_Initialize)dlsym(provider, "VCERT_Initialize");
  PFN_VCERT_CmsBlkDetVerifyMem verify =
      (PFN_VCERT_CmsBlkDetVerifyMem)dlsym(provider, "VCERT_CmsBlkDetVerifyMem");
  PFN_VCERT_FreeVerifyResult freeResult =
      (PFN_VCERT_FreeVerifyResult)dlsym(provider, "VCERT_FreeVerifyResult");
  PFN_VCERT_Uninitialize uninitialize =
      (PFN_VCERT_Uninitialize)dlsym(provider, "VCERT_Uninitialize");
  VCERT_CONTEXT context = 0;
  if (!initialize || !verify || !freeResult || !uninitialize ||
      initialize(argv[2], 0x841, &context) != 0) {
    fprintf(stderr, "verify_floor: the provider does not open profile %s\n", argv[2]);
    return 1;
  }
  Pair* pairs = NULL;
  size_t count = 0, room = 0;
  for (;;) {
    char cms[4096], data[4096];
    snprintf(cms, sizeof cms, "%s/s.%zu.p7s", argv[3], count + 1);
    snprintf(data, sizeof data, "%s/s.%zu.bin", argv[3], count + 1);
    Pair pair;
    if (!ReadFile(cms, &pair.signature)) break;
    if (!ReadFile(data, &pair.data)) {
      fprintf(stderr, "verify_floor: %s missing\n", data);
      return 1;
    }
    if (count == room) pairs = realloc(pairs, (room = room ? 2 * room : 1024) * sizeof *pairs);
    pairs[count++] = pair;
  }
  if (count == 0) {
    fprintf(stderr, "verify_floor: no pairs in %s\n", argv[3]);
    return 1;
  }
  int failed = 0;
  const double start = CpuSeconds();
  for (size_t i = 0; i < count; ++i) {
    VCERT_VERIFY_PARAMS params;
    memset(&params, 0, sizeof params);
    params.Words[11] = 0x7FFFF;
    VCERT_BLOB empty = {0, NULL};
    VCERT_VERIFY_RESULT result = {0, NULL};
    const VCERT_STATUS status =
        verify(context, &params, &pairs[i].data, &pairs[i].signature, &empty, &result);
    if (status != 0 || result.Count == 0) failed = 1;
    for (uint32_t k = 0; k < result.Count; ++k)
      if (result.Signers[k].Status != 0) failed = 1;
    freeResult(context, &result);
  }
  const double cpu = CpuSeconds() - start;
  uninitialize(context);
  printf("verify_floor: %zu signatures, CPU %.3f s\n", count, cpu);
  if (failed) fprintf(stderr, "verify_floor: a signature does not verify\n");
  return failed;
}

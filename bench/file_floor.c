/* The file work of a batch alone, for the batch benchmark: what reading each input and
 * writing a result of a given size costs when nothing is done in between, with the same
 * system calls a result file of a batch takes in dezsign (sign/output_file.cpp, group
 * commit): look up the output name, create a temporary file beside it, write, close; per
 * group of 256 files one syncfs (elsewhere than Linux an fsync per file), the renames over
 * the names, one flush of the folder. The CPU (user + system) and wall time per file is
 * what no signing tool can go below on this machine and file system.
 *
 * With --sign, each input's bytes are also signed between the reading and the writing, by
 * the provider's signing entry point as dezsign calls it (one context for the run, the
 * signature copied out and released): the file work and the signature with nothing of
 * the library in between, which is what one batch worker cannot go below.
 *
 *   file_floor [--sign PROVIDER_LIBRARY PROFILE] OUT_DIR RESULT_BYTES FILE...
 *     -> "files cpu_us_per_file wall_us_per_file"
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "provider/vcert_api.h"

static double Seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

static double CpuSeconds(void) {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

static double WallSeconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void Fail(const char* what, const char* name) {
  fprintf(stderr, "file_floor: %s %s: %s\n", what, name, strerror(errno));
  exit(1);
}

/* The provider's signing entry points, when --sign is given. */
typedef struct Signer {
  PFN_VCERT_CmsBlkDetSignMem sign;
  PFN_VCERT_FreeMem freeMem;
  VCERT_CONTEXT context;
} Signer;

static void OpenSigner(const char* library, const char* profile, Signer* s) {
  void* h = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    fprintf(stderr, "file_floor: cannot load %s: %s\n", library, dlerror());
    exit(1);
  }
  PFN_VCERT_Initialize initialize = (PFN_VCERT_Initialize)dlsym(h, "VCERT_Initialize");
  s->sign = (PFN_VCERT_CmsBlkDetSignMem)dlsym(h, "VCERT_CmsBlkDetSignMem");
  s->freeMem = (PFN_VCERT_FreeMem)dlsym(h, "VCERT_FreeMem");
  if (!initialize || !s->sign || !s->freeMem ||
      initialize(profile, VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &s->context) != 0) {
    fprintf(stderr, "file_floor: cannot open the key profile %s with %s\n", profile, library);
    exit(1);
  }
}

/* Signs the bytes and copies the signature into the result, as a signed document carries
 * it; returns 0 on failure. */
static int Sign(const Signer* s, char* bytes, size_t size, char* result, size_t resultBytes) {
  VCERT_SIGN_PARAMS params = {0, 0};
  VCERT_BLOB in = {(uint32_t)size, (uint8_t*)bytes};
  VCERT_BLOB empty = {0, NULL}, signature = {0, NULL};
  if (s->sign(s->context, &params, &in, &empty, &signature) != 0) return 0;
  memcpy(result, signature.pbData, signature.cbData < resultBytes ? signature.cbData : resultBytes);
  s->freeMem(s->context, signature.pbData);
  return 1;
}

int main(int argc, char** argv) {
  Signer signer = {NULL, NULL, 0};
  const int sign = argc > 1 && strcmp(argv[1], "--sign") == 0;
  if (argc < (sign ? 7 : 4)) {
    fprintf(stderr,
            "usage: file_floor [--sign PROVIDER_LIBRARY PROFILE] OUT_DIR RESULT_BYTES FILE...\n");
    return 2;
  }
  if (sign) {
    OpenSigner(argv[2], argv[3], &signer);
    argv += 3;
    argc -= 3;
  }
  const char* outDir = argv[1];
  const size_t resultBytes = strtoul(argv[2], NULL, 10);
  char* input = malloc(1 << 20);
  char* result = calloc(resultBytes ? resultBytes : 1, 1);
  if (!input || !result) return 1;
  char outName[4096], tempName[4200];
  enum { kGroup = 256 };
  int folder = open(outDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) Fail("cannot open", outDir);
  const double cpu0 = CpuSeconds(), wall0 = WallSeconds();
  int groupStart = 3;
  for (int i = 3; i < argc; ++i) {
    int fd = open(argv[i], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) Fail("cannot open", argv[i]);
    ssize_t got = read(fd, input, 1 << 20);
    if (got < 0) Fail("cannot read", argv[i]);
    close(fd);
    /* The result carries the input's bytes, as a signed document does. */
    memcpy(result, input, (size_t)got < resultBytes ? (size_t)got : resultBytes);
    if (signer.sign && !Sign(&signer, input, (size_t)got, result, resultBytes))
      Fail("cannot sign", argv[i]);

    const char* base = strrchr(argv[i], '/');
    base = base ? base + 1 : argv[i];
    snprintf(outName, sizeof outName, "%s/%s", outDir, base);
    snprintf(tempName, sizeof tempName, "%s/.%s.%d.tmp", outDir, base, i);
    (void)lstat(outName, &st);
    fd = open(tempName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) Fail("cannot create", tempName);
    if (write(fd, result, resultBytes) != (ssize_t)resultBytes) Fail("cannot write", tempName);
#ifndef __linux__
    if (fsync(fd) != 0) Fail("cannot flush", tempName);
#endif
    if (close(fd) != 0) Fail("cannot close", tempName);
    if (i + 1 - groupStart < kGroup && i + 1 < argc) continue;
      /* The group: durable at once, then renamed, then the folder flushed. */
#ifdef __linux__
    if (syncfs(folder) != 0) Fail("cannot flush", outDir);
#endif
    for (int k = groupStart; k <= i; ++k) {
      base = strrchr(argv[k], '/');
      base = base ? base + 1 : argv[k];
      snprintf(outName, sizeof outName, "%s/%s", outDir, base);
      snprintf(tempName, sizeof tempName, "%s/.%s.%d.tmp", outDir, base, k);
      if (rename(tempName, outName) != 0) Fail("cannot place", outName);
    }
    if (fsync(folder) != 0) Fail("cannot flush", outDir);
    groupStart = i + 1;
  }
  close(folder);
  const int files = argc - 3;
  printf("%d %.1f %.1f\n", files, (CpuSeconds() - cpu0) * 1e6 / files,
         (WallSeconds() - wall0) * 1e6 / files);
  free(input);
  free(result);
  return 0;
}

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
 * With --jobs N (N > 1), N threads share the inputs (each takes the next one) and write
 * into the one folder, and the groups are made durable and placed by a thread of their
 * own while the workers go on, as dezsign -j N does: what N workers cannot go below. One
 * worker places each group itself.
 *
 *   file_floor [--sign PROVIDER_LIBRARY PROFILE] [--jobs N] OUT_DIR RESULT_BYTES FILE...
 *     -> "files cpu_us_per_file wall_us_per_file"
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
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

/* The run: the inputs, the output folder and the group being filled. Workers take inputs
 * by index; a finished temporary file joins the group, which the committer makes durable
 * and places once it holds kGroup files, or at the end. */
enum { kGroup = 256 };
typedef struct Run {
  char** files;
  int count;
  const char* outDir;
  size_t resultBytes;
  const Signer* signer;
  int folder;
  pthread_mutex_t lock;
  pthread_cond_t changed;
  int next;     /* the next input to take */
  int finished; /* workers done */
  int workers;
  int* group; /* indexes of the files written, waiting to be placed */
  int grouped;
} Run;

static const char* BaseName(const char* path) {
  const char* base = strrchr(path, '/');
  return base ? base + 1 : path;
}

static void Commit(Run* run, const int* group, int n);

static void* Worker(void* arg) {
  Run* run = arg;
  char* input = malloc(1 << 20);
  char* result = calloc(run->resultBytes ? run->resultBytes : 1, 1);
  char outName[4096], tempName[4200];
  if (!input || !result) Fail("out of memory", "");
  for (;;) {
    pthread_mutex_lock(&run->lock);
    const int i = run->next < run->count ? run->next++ : -1;
    pthread_mutex_unlock(&run->lock);
    if (i < 0) break;
    const char* name = run->files[i];
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) Fail("cannot open", name);
    ssize_t got = read(fd, input, 1 << 20);
    if (got < 0) Fail("cannot read", name);
    close(fd);
    /* The result carries the input's bytes, as a signed document does. */
    memcpy(result, input, (size_t)got < run->resultBytes ? (size_t)got : run->resultBytes);
    if (run->signer->sign && !Sign(run->signer, input, (size_t)got, result, run->resultBytes))
      Fail("cannot sign", name);
    snprintf(outName, sizeof outName, "%s/%s", run->outDir, BaseName(name));
    snprintf(tempName, sizeof tempName, "%s/.%s.%d.tmp", run->outDir, BaseName(name), i);
    (void)lstat(outName, &st);
    fd = open(tempName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) Fail("cannot create", tempName);
    if (write(fd, result, run->resultBytes) != (ssize_t)run->resultBytes)
      Fail("cannot write", tempName);
#ifndef __linux__
    if (fsync(fd) != 0) Fail("cannot flush", tempName);
#endif
    if (close(fd) != 0) Fail("cannot close", tempName);
    pthread_mutex_lock(&run->lock);
    run->group[run->grouped++] = i;
    if (run->grouped >= kGroup) {
      if (run->workers == 1) {
        Commit(run, run->group, run->grouped);
        run->grouped = 0;
      } else {
        pthread_cond_broadcast(&run->changed);
      }
    }
    pthread_mutex_unlock(&run->lock);
  }
  pthread_mutex_lock(&run->lock);
  ++run->finished;
  pthread_cond_broadcast(&run->changed);
  pthread_mutex_unlock(&run->lock);
  free(input);
  free(result);
  return NULL;
}

/* A group: durable at once, then renamed, then the folder flushed. */
static void Commit(Run* run, const int* group, int n) {
  char outName[4096], tempName[4200];
#ifdef __linux__
  if (syncfs(run->folder) != 0) Fail("cannot flush", run->outDir);
#endif
  for (int k = 0; k < n; ++k) {
    const char* base = BaseName(run->files[group[k]]);
    snprintf(outName, sizeof outName, "%s/%s", run->outDir, base);
    snprintf(tempName, sizeof tempName, "%s/.%s.%d.tmp", run->outDir, base, group[k]);
    if (rename(tempName, outName) != 0) Fail("cannot place", outName);
  }
  if (fsync(run->folder) != 0) Fail("cannot flush", run->outDir);
}

static void* Committer(void* arg) {
  Run* run = arg;
  int* taken = malloc(sizeof(int) * (size_t)(run->count + 1));
  if (!taken) Fail("out of memory", "");
  pthread_mutex_lock(&run->lock);
  for (;;) {
    while (run->grouped < kGroup && run->finished < run->workers)
      pthread_cond_wait(&run->changed, &run->lock);
    const int n = run->grouped;
    const int last = run->finished == run->workers;
    memcpy(taken, run->group, sizeof(int) * (size_t)n);
    run->grouped = 0;
    pthread_mutex_unlock(&run->lock);
    if (n > 0) Commit(run, taken, n);
    pthread_mutex_lock(&run->lock);
    if (last && run->grouped == 0) break;
  }
  pthread_mutex_unlock(&run->lock);
  free(taken);
  return NULL;
}

int main(int argc, char** argv) {
  Signer signer = {NULL, NULL, 0};
  int jobs = 1;
  int at = 1;
  if (argc > at + 2 && strcmp(argv[at], "--sign") == 0) {
    OpenSigner(argv[at + 1], argv[at + 2], &signer);
    at += 3;
  }
  if (argc > at + 1 && strcmp(argv[at], "--jobs") == 0) {
    jobs = atoi(argv[at + 1]);
    at += 2;
  }
  if (argc < at + 3 || jobs < 1 || jobs > 64) {
    fprintf(stderr,
            "usage: file_floor [--sign PROVIDER_LIBRARY PROFILE] [--jobs N] OUT_DIR RESULT_BYTES "
            "FILE...\n");
    return 2;
  }
  Run run;
  memset(&run, 0, sizeof run);
  run.outDir = argv[at];
  run.resultBytes = strtoul(argv[at + 1], NULL, 10);
  run.files = argv + at + 2;
  run.count = argc - at - 2;
  run.signer = &signer;
  run.workers = jobs;
  run.group = malloc(sizeof(int) * (size_t)(run.count + 1));
  if (!run.group) return 1;
  pthread_mutex_init(&run.lock, NULL);
  pthread_cond_init(&run.changed, NULL);
  run.folder = open(run.outDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (run.folder < 0) Fail("cannot open", run.outDir);
  const double cpu0 = CpuSeconds(), wall0 = WallSeconds();
  if (jobs == 1) {
    /* One worker places each group itself (the figures before --jobs were taken so). */
    Worker(&run);
    if (run.grouped > 0) Commit(&run, run.group, run.grouped);
  } else {
    pthread_t workers[64], committer;
    if (pthread_create(&committer, NULL, Committer, &run) != 0) Fail("cannot start", "a thread");
    for (int t = 0; t < jobs; ++t)
      if (pthread_create(&workers[t], NULL, Worker, &run) != 0) Fail("cannot start", "a thread");
    for (int t = 0; t < jobs; ++t) pthread_join(workers[t], NULL);
    pthread_join(committer, NULL);
  }
  close(run.folder);
  printf("%d %.1f %.1f\n", run.count, (CpuSeconds() - cpu0) * 1e6 / run.count,
         (WallSeconds() - wall0) * 1e6 / run.count);
  free(run.group);
  return 0;
}

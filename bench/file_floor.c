/* The file work of a batch alone, for the batch benchmark: what reading each input and
 * writing a result of a given size costs when nothing is done in between, with the same
 * system calls a result file takes in dezsign (sign/output_file.cpp): look up the output
 * name, create a temporary file beside it, write, flush, close, rename over the name;
 * the folder flushed once at the end. The CPU (user + system) and wall time per file is
 * what no signing tool can go below on this machine and file system.
 *
 *   file_floor OUT_DIR RESULT_BYTES FILE...   -> "files cpu_us_per_file wall_us_per_file"
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: file_floor OUT_DIR RESULT_BYTES FILE...\n");
    return 2;
  }
  const char* outDir = argv[1];
  const size_t resultBytes = strtoul(argv[2], NULL, 10);
  char* input = malloc(1 << 20);
  char* result = calloc(resultBytes ? resultBytes : 1, 1);
  if (!input || !result) return 1;
  char outName[4096], tempName[4200];
  const double cpu0 = CpuSeconds(), wall0 = WallSeconds();
  for (int i = 3; i < argc; ++i) {
    int fd = open(argv[i], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) Fail("cannot open", argv[i]);
    ssize_t got = read(fd, input, 1 << 20);
    if (got < 0) Fail("cannot read", argv[i]);
    close(fd);
    /* The result carries the input's bytes, as a signed document does. */
    memcpy(result, input, (size_t)got < resultBytes ? (size_t)got : resultBytes);

    const char* base = strrchr(argv[i], '/');
    base = base ? base + 1 : argv[i];
    snprintf(outName, sizeof outName, "%s/%s", outDir, base);
    snprintf(tempName, sizeof tempName, "%s/.%s.%d.tmp", outDir, base, i);
    (void)lstat(outName, &st);
    fd = open(tempName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) Fail("cannot create", tempName);
    if (write(fd, result, resultBytes) != (ssize_t)resultBytes || fsync(fd) != 0)
      Fail("cannot write", tempName);
    if (close(fd) != 0 || rename(tempName, outName) != 0) Fail("cannot place", outName);
  }
  int folder = open(outDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0 || fsync(folder) != 0) Fail("cannot flush", outDir);
  close(folder);
  const int files = argc - 3;
  printf("%d %.1f %.1f\n", files, (CpuSeconds() - cpu0) * 1e6 / files,
         (WallSeconds() - wall0) * 1e6 / files);
  free(input);
  free(result);
  return 0;
}

/* The cost of one process, for the shell benchmarks:
 *
 *   proc_time COMMAND [ARGS...]
 *
 * runs COMMAND (its standard streams are this program's) and prints, on standard error as
 * its last line, "CPU_SECONDS WALL_SECONDS PEAK_KB": user + system time, elapsed time and
 * the peak resident set, as the kernel accounts them for the child, in microseconds where
 * /usr/bin/time rounds to hundredths (a 60 ms process would read as 0.06 or 0.07). The
 * exit status is the command's; 127 when it cannot be started. */
#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static double Seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: proc_time COMMAND [ARGS...]\n");
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid;
  int error = posix_spawnp(&pid, argv[1], NULL, NULL, argv + 1, environ);
  if (error != 0) {
    fprintf(stderr, "proc_time: cannot start %s: %s\n", argv[1], strerror(error));
    return 127;
  }
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      fprintf(stderr, "proc_time: wait: %s\n", strerror(errno));
      return 127;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double wall = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  fprintf(stderr, "%.6f %.6f %ld\n", Seconds(usage.ru_utime) + Seconds(usage.ru_stime), wall,
          usage.ru_maxrss);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

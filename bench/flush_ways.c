/* Ways to make a group of small result files durable, measured side by side on one folder
 * (bench/README.md, "Making a batch durable"): each way writes FILES files of BYTES bytes
 * to temporary names, makes their content durable, renames them into place and flushes
 * the folder; a group is GROUP files.
 *
 *   flush_ways WAY OUT_DIR FILES BYTES GROUP -> "way files wall_us_per_file cpu_us_per_file"
 *
 *   none      no flush at all (what the file work costs by itself)
 *   fsync     an fsync per file, the folder flushed once per group (today's single-file way)
 *   threads4  the group's fsyncs issued from 4 threads at once (the journal joins them)
 *   sfr       sync_file_range(WRITE) as each file is written, then an fsync per file
 *   syncfs    one syncfs of the folder's file system per group
 *   syncfs+fsync  the same, then an fsync per file (cheap once the file system is flushed:
 *             it only reports an error that befell the file)
 *   tmpfile   as syncfs, but each file made unnamed (O_TMPFILE) and linked under its final
 *             name after the flush: no temporary name, no rename
 *   uring     the group's fsyncs submitted together through io_uring (raw system calls)
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static void Fail(const char* what) {
  fprintf(stderr, "flush_ways: %s: %s\n", what, strerror(errno));
  exit(1);
}

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double Cpu(void) {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         (double)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

/* The group's descriptors, shared with the flushing threads. */
static int* g_fds;
static int g_count;
static int g_next;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

static void* FlushSome(void* unused) {
  (void)unused;
  for (;;) {
    pthread_mutex_lock(&g_lock);
    int i = g_next++;
    pthread_mutex_unlock(&g_lock);
    if (i >= g_count) return NULL;
    if (fsync(g_fds[i]) != 0) Fail("fsync");
  }
}

static void FlushInThreads(int* fds, int count, int threads) {
  pthread_t t[8];
  g_fds = fds;
  g_count = count;
  g_next = 0;
  for (int i = 0; i < threads; ++i) pthread_create(&t[i], NULL, FlushSome, NULL);
  for (int i = 0; i < threads; ++i) pthread_join(t[i], NULL);
}

/* io_uring without liburing: one ring, the group's fsyncs submitted at once. */
static void FlushWithUring(int* fds, int count) {
  struct io_uring_params p;
  memset(&p, 0, sizeof p);
  int ring = (int)syscall(__NR_io_uring_setup, (unsigned)count, &p);
  if (ring < 0) Fail("io_uring_setup");
  size_t sqSize = p.sq_off.array + p.sq_entries * sizeof(unsigned);
  size_t cqSize = p.cq_off.cqes + p.cq_entries * sizeof(struct io_uring_cqe);
  char* sq = mmap(NULL, sqSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring,
                  IORING_OFF_SQ_RING);
  char* cq = mmap(NULL, cqSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring,
                  IORING_OFF_CQ_RING);
  struct io_uring_sqe* sqes =
      mmap(NULL, p.sq_entries * sizeof(struct io_uring_sqe), PROT_READ | PROT_WRITE,
           MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQES);
  if (sq == MAP_FAILED || cq == MAP_FAILED || sqes == MAP_FAILED) Fail("mmap io_uring");
  unsigned* sqTail = (unsigned*)(sq + p.sq_off.tail);
  unsigned* sqArray = (unsigned*)(sq + p.sq_off.array);
  unsigned mask = *(unsigned*)(sq + p.sq_off.ring_mask);
  unsigned tail = *sqTail;
  for (int i = 0; i < count; ++i) {
    struct io_uring_sqe* e = &sqes[i];
    memset(e, 0, sizeof *e);
    e->opcode = IORING_OP_FSYNC;
    e->fd = fds[i];
    e->user_data = (unsigned long long)i;
    sqArray[(tail + (unsigned)i) & mask] = (unsigned)i;
  }
  __atomic_store_n(sqTail, tail + (unsigned)count, __ATOMIC_RELEASE);
  if (syscall(__NR_io_uring_enter, ring, count, count, IORING_ENTER_GETEVENTS, NULL, 0) < 0)
    Fail("io_uring_enter");
  unsigned* cqHead = (unsigned*)(cq + p.cq_off.head);
  unsigned* cqTail = (unsigned*)(cq + p.cq_off.tail);
  struct io_uring_cqe* cqes = (struct io_uring_cqe*)(cq + p.cq_off.cqes);
  unsigned cqMask = *(unsigned*)(cq + p.cq_off.ring_mask);
  int seen = 0;
  while (seen < count) {
    unsigned head = *cqHead;
    unsigned end = __atomic_load_n(cqTail, __ATOMIC_ACQUIRE);
    if (head == end) {
      if (syscall(__NR_io_uring_enter, ring, 0, 1, IORING_ENTER_GETEVENTS, NULL, 0) < 0)
        Fail("io_uring_enter wait");
      continue;
    }
    for (; head != end; ++head, ++seen) {
      if (cqes[head & cqMask].res < 0) {
        errno = -cqes[head & cqMask].res;
        Fail("io_uring fsync");
      }
    }
    __atomic_store_n(cqHead, head, __ATOMIC_RELEASE);
  }
  munmap(sq, sqSize);
  munmap(cq, cqSize);
  munmap(sqes, p.sq_entries * sizeof(struct io_uring_sqe));
  close(ring);
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: flush_ways WAY OUT_DIR FILES BYTES GROUP\n");
    return 2;
  }
  const char* way = argv[1];
  const char* dir = argv[2];
  const int files = atoi(argv[3]);
  const size_t bytes = strtoul(argv[4], NULL, 10);
  const int group = atoi(argv[5]) > 0 ? atoi(argv[5]) : 1;
  char* data = malloc(bytes ? bytes : 1);
  int* fds = malloc(sizeof(int) * (size_t)group);
  char(*temps)[512] = malloc(512 * (size_t)group);
  if (!data || !fds || !temps) return 1;
  memset(data, 'x', bytes);
  const int sfr = strcmp(way, "sfr") == 0;
  const int unnamed = strcmp(way, "tmpfile") == 0;
  const int folder = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) Fail("open folder");
  const double wall0 = Now(), cpu0 = Cpu();
  for (int first = 0; first < files; first += group) {
    const int n = files - first < group ? files - first : group;
    for (int i = 0; i < n; ++i) {
      snprintf(temps[i], sizeof temps[i], "%s/.m%d.xml.lumo.tmp", dir, first + i);
      fds[i] = unnamed ? open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666)
                       : open(temps[i], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fds[i] < 0) Fail("create");
      if (write(fds[i], data, bytes) != (ssize_t)bytes) Fail("write");
      if (sfr && sync_file_range(fds[i], 0, 0, SYNC_FILE_RANGE_WRITE) != 0) Fail("sync_file_range");
    }
    if (strcmp(way, "fsync") == 0 || sfr) {
      for (int i = 0; i < n; ++i)
        if (fsync(fds[i]) != 0) Fail("fsync");
    } else if (strcmp(way, "threads4") == 0) {
      FlushInThreads(fds, n, 4);
    } else if (strcmp(way, "syncfs") == 0 || unnamed) {
      if (syncfs(folder) != 0) Fail("syncfs");
    } else if (strcmp(way, "syncfs+fsync") == 0) {
      if (syncfs(folder) != 0) Fail("syncfs");
      for (int i = 0; i < n; ++i)
        if (fsync(fds[i]) != 0) Fail("fsync");
    } else if (strcmp(way, "uring") == 0) {
      FlushWithUring(fds, n);
    } else if (strcmp(way, "none") != 0) {
      fprintf(stderr, "flush_ways: unknown way %s\n", way);
      return 2;
    }
    for (int i = 0; i < n; ++i) {
      char name[512];
      snprintf(name, sizeof name, "%s/m%d.xml", dir, first + i);
      if (unnamed) {
        char self[64];
        snprintf(self, sizeof self, "/proc/self/fd/%d", fds[i]);
        if (linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) != 0) Fail("linkat");
        if (close(fds[i]) != 0) Fail("close");
        continue;
      }
      if (close(fds[i]) != 0 || rename(temps[i], name) != 0) Fail("rename");
    }
    if (strcmp(way, "none") != 0 && fsync(folder) != 0) Fail("fsync folder");
  }
  printf("%s %d %.1f %.1f\n", way, files, (Now() - wall0) * 1e6 / files,
         (Cpu() - cpu0) * 1e6 / files);
  close(folder);
  return 0;
}

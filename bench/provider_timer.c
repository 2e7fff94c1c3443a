/* A provider library that passes every VCERT_ call on to the provider named by
 * $LUMO_TIMED_PROVIDER and times the signing calls, so that a batch can be split into the
 * time spent in the provider's signature and the rest (bench/batch_sign.sh):
 *
 *   LUMO_TIMED_PROVIDER=/path/libspki1.so dezsign root --provider libprovider_timer.so ...
 *
 * When the library is unloaded it prints to standard error
 *   provider_timer: N signatures, CPU C wall W µs each
 * (the CPU time of the calling thread inside VCERT_CmsBlkDetSignMem, and its wall time).
 * Without the provider every call fails (spki1's "entry point not supported"), never
 * silently. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define VCERT_PROVIDER /* each forwarder below is checked against the list's declaration */
#include "provider/vcert_api.h"

/* The provider's entry points, looked up once when this library is loaded. */
#define SLOT(name, result, parameters) PFN_VCERT_##name name;
static struct { VCERT_ENTRY_POINTS(SLOT) } g_provider;
#undef SLOT

/* What an entry point answers when the provider does not have it: spki1's "entry point
 * not supported". */
static const VCERT_STATUS kMissing = 0xE0700001u;
static atomic_llong g_signs, g_cpuNs, g_wallNs;

__attribute__((constructor)) static void Load(void) {
  const char* name = getenv("LUMO_TIMED_PROVIDER");
  void* handle = name ? dlopen(name, RTLD_NOW | RTLD_LOCAL) : NULL;
  if (!handle) {
    fprintf(stderr, "provider_timer: cannot load $LUMO_TIMED_PROVIDER (%s)\n",
            name ? dlerror() : "not set");
    return;
  }
#define BIND(name, result, parameters) \
  g_provider.name = (PFN_VCERT_##name)dlsym(handle, "VCERT_" #name);
  VCERT_ENTRY_POINTS(BIND)
#undef BIND
}

static long long Now(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

__attribute__((destructor)) static void Report(void) {
  long long n = atomic_load(&g_signs);
  if (n == 0) return;
  fprintf(stderr, "provider_timer: %lld signatures, CPU %.1f wall %.1f µs each\n", n,
          atomic_load(&g_cpuNs) / 1e3 / n, atomic_load(&g_wallNs) / 1e3 / n);
}

/* Every other entry point: the provider's, or fails as a missing entry point would. */
#define FORWARD(entry, type, fail, params, args)            \
  VCERT_EXPORT type VCERT_CALL VCERT_##entry params {       \
    return g_provider.entry ? g_provider.entry args : fail; \
  }

FORWARD(GetErrorText, const char*, NULL, (VCERT_STATUS s, char* b, uint32_t n), (s, b, n))
FORWARD(AllocMem, void*, NULL, (VCERT_CONTEXT c, uint32_t n), (c, n))
FORWARD(ReallocMem, void*, NULL, (VCERT_CONTEXT c, void* p, uint32_t n), (c, p, n))
FORWARD(Initialize, VCERT_STATUS, kMissing, (const char* p, uint32_t f, VCERT_CONTEXT* c),
        (p, f, c))
FORWARD(InitializeEx, VCERT_STATUS, kMissing,
        (const char* p, uint32_t f, void* r, VCERT_CONTEXT* c), (p, f, r, c))
FORWARD(InitMinimal, VCERT_STATUS, kMissing, (uint32_t f, VCERT_CONTEXT* c), (f, c))
FORWARD(Uninitialize, VCERT_STATUS, kMissing, (VCERT_CONTEXT c), (c))
FORWARD(CmsBlkDetVerifyMem, VCERT_STATUS, kMissing,
        (VCERT_CONTEXT c, const VCERT_VERIFY_PARAMS* p, const VCERT_BLOB* d, const VCERT_BLOB* s,
         const VCERT_BLOB* r, VCERT_VERIFY_RESULT* v),
        (c, p, d, s, r, v))

VCERT_EXPORT void VCERT_CALL VCERT_FreeMem(VCERT_CONTEXT c, void* p) {
  if (g_provider.FreeMem) g_provider.FreeMem(c, p);
}

VCERT_EXPORT void VCERT_CALL VCERT_FreeVerifyResult(VCERT_CONTEXT c, VCERT_VERIFY_RESULT* r) {
  if (g_provider.FreeVerifyResult) g_provider.FreeVerifyResult(c, r);
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_CmsBlkDetSignMem(VCERT_CONTEXT c,
                                                            const VCERT_SIGN_PARAMS* p,
                                                            const VCERT_BLOB* d,
                                                            const VCERT_BLOB* r, VCERT_BLOB* s) {
  if (!g_provider.CmsBlkDetSignMem) return kMissing;
  const long long cpu = Now(CLOCK_THREAD_CPUTIME_ID), wall = Now(CLOCK_MONOTONIC);
  VCERT_STATUS status = g_provider.CmsBlkDetSignMem(c, p, d, r, s);
  atomic_fetch_add(&g_cpuNs, Now(CLOCK_THREAD_CPUTIME_ID) - cpu);
  atomic_fetch_add(&g_wallNs, Now(CLOCK_MONOTONIC) - wall);
  atomic_fetch_add(&g_signs, 1);
  return status;
}

/* This library forwards every entry point of the list: it is linked with -z defs, so an
 * entry point without its forwarder above is an undefined reference here. */
#define ADDRESS(name, result, parameters) (void (*)(void)) VCERT_##name,
__attribute__((used)) static void (*const kForwarders[])(void) = {VCERT_ENTRY_POINTS(ADDRESS)};
#undef ADDRESS

/* The test provider: see test_provider_control.h for what it does and how to script it.
 *
 * Build variants (compile definitions):
 *   TP_OMIT_GETERRORTEXT   no VCERT_GetErrorText
 *   TP_OMIT_FREE           no VCERT_FreeMem, no VCERT_FreeVerifyResult
 *   TP_ONLY_GETERRORTEXT   VCERT_GetErrorText and the control functions only
 *   TP_LOAD_DELAY_MS=N     loading takes N ms more (POSIX) */
#define VCERT_PROVIDER /* the definitions below are checked against the list's declarations */
#include "test_provider_control.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
static SRWLOCK g_lock = SRWLOCK_INIT;
static void Lock(void) { AcquireSRWLockExclusive(&g_lock); }
static void Unlock(void) { ReleaseSRWLockExclusive(&g_lock); }
#else
#include <pthread.h>
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static void Lock(void) { pthread_mutex_lock(&g_lock); }
static void Unlock(void) { pthread_mutex_unlock(&g_lock); }
#endif

/* TP_LOAD_DELAY_MS: loading the library takes that long (POSIX only; a constructor that
 * sleeps), so that tests of concurrent first loads have a wide window. */
#if defined(TP_LOAD_DELAY_MS) && !defined(_WIN32)
#include <time.h>
__attribute__((constructor)) static void TpSlowLoad(void) {
  struct timespec delay;
  delay.tv_sec = TP_LOAD_DELAY_MS / 1000;
  delay.tv_nsec = (long)(TP_LOAD_DELAY_MS % 1000) * 1000000L;
  nanosleep(&delay, NULL);
}
#endif

#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic error "-Wincompatible-pointer-types"
#define TP_MAYBE_UNUSED __attribute__((unused))
#else
#define TP_MAYBE_UNUSED
#endif

#define TP_MAX_CONTEXTS 64
#define TP_MAX_SIGNERS 16
#define TP_MAX_TEXTS 32
#define TP_MAX_BLOCKS 256

enum { E_INIT, E_UNINIT, E_SIGN, E_VERIFY, E_COUNT };

typedef struct Scripted {
  uint32_t status; /* 0: none */
  uint32_t after;  /* normal calls left before status applies */
} Scripted;

typedef struct Context {
  int open;
  uint32_t handle;
  char profile[256];
} Context;

typedef struct Text {
  int used;
  uint32_t status;
  int isNull;
  char text[1500];
} Text;

static struct {
  int scriptApplied; /* the environment script */
  Scripted scripted[E_COUNT];
  int signersSet;
  int signersStatusSet; /* result=S:... */
  uint32_t signersStatus;
  uint32_t signerCount;
  uint32_t signers[TP_MAX_SIGNERS];
  Text texts[TP_MAX_TEXTS];
  Context contexts[TP_MAX_CONTEXTS];
  uint32_t nextHandle;
  void* signatures[TP_MAX_BLOCKS];
  void* results[TP_MAX_BLOCKS];
  TestProviderStats stats;
} g;

/* --- helpers (lock held) ------------------------------------------------------------ */

static void ResetLocked(void) {
  int i;
  for (i = 0; i < TP_MAX_BLOCKS; ++i) {
    free(g.signatures[i]);
    free(g.results[i]);
  }
  memset(&g, 0, sizeof g);
}

static int ApplyScriptLocked(const char* script);

static void EnsureScriptLocked(void) {
  if (!g.scriptApplied) {
    const char* script = getenv("LUMO_TEST_PROVIDER_SCRIPT");
    g.scriptApplied = 1;
    if (script != NULL && *script != '\0') {
      int bad = ApplyScriptLocked(script);
      if (bad != 0)
        fprintf(stderr, "test provider: LUMO_TEST_PROVIDER_SCRIPT item %d not understood\n", bad);
    }
  }
}

/* Returns the scripted status for this call of an entry, or 0. */
static uint32_t ScriptedLocked(int entry) {
  Scripted* s = &g.scripted[entry];
  if (s->status == 0) return 0;
  if (s->after > 0) {
    --s->after;
    return 0;
  }
  return s->status;
}

TP_MAYBE_UNUSED static Context* FindContextLocked(uint32_t handle) {
  int i;
  if (handle == 0) return NULL;
  for (i = 0; i < TP_MAX_CONTEXTS; ++i) {
    if (g.contexts[i].open && g.contexts[i].handle == handle) return &g.contexts[i];
  }
  return NULL;
}

TP_MAYBE_UNUSED static int TrackLocked(void** table, void* block) {
  int i;
  for (i = 0; i < TP_MAX_BLOCKS; ++i) {
    if (table[i] == NULL) {
      table[i] = block;
      return 1;
    }
  }
  return 0;
}

TP_MAYBE_UNUSED static int UntrackLocked(void** table, void* block) {
  int i;
  if (block == NULL) return 0;
  for (i = 0; i < TP_MAX_BLOCKS; ++i) {
    if (table[i] == block) {
      table[i] = NULL;
      return 1;
    }
  }
  return 0;
}

TP_MAYBE_UNUSED static size_t MakeSignature(const char* profile, const uint8_t* data, size_t length,
                                            uint8_t* out, size_t outSize) {
  size_t profileLength = strlen(profile);
  size_t total = 5 + profileLength + 1 + length + 5;
  if (out != NULL) {
    size_t pos = 0;
    size_t i;
#define TP_PUT(byte)                               \
  do {                                             \
    if (pos < outSize) out[pos] = (uint8_t)(byte); \
    ++pos;                                         \
  } while (0)
    TP_PUT('S');
    TP_PUT('I');
    TP_PUT('G');
    TP_PUT(0);
    TP_PUT(':');
    for (i = 0; i < profileLength; ++i) TP_PUT(profile[i]);
    TP_PUT(':');
    for (i = 0; i < length; ++i) TP_PUT(data[i]);
    TP_PUT(0);
    TP_PUT(0);
    TP_PUT('E');
    TP_PUT('N');
    TP_PUT('D');
#undef TP_PUT
  }
  return total;
}

/* "SIG" 00 ":" <any profile> ":" <data> 00 00 "END" */
TP_MAYBE_UNUSED static int SignatureMatches(const uint8_t* data, size_t length, const uint8_t* sig,
                                            size_t sigLength) {
  static const uint8_t head[5] = {'S', 'I', 'G', 0, ':'};
  static const uint8_t tail[5] = {0, 0, 'E', 'N', 'D'};
  if (sigLength < 5 + 1 + length + 5) return 0;
  if (memcmp(sig, head, 5) != 0) return 0;
  if (memcmp(sig + sigLength - 5, tail, 5) != 0) return 0;
  if (length > 0 && memcmp(sig + sigLength - 5 - length, data, length) != 0) return 0;
  return sig[sigLength - 5 - length - 1] == ':';
}

TP_MAYBE_UNUSED static const char* BuiltInText(uint32_t status) {
  switch (status) {
    case VCERT_STATUS_SIGNERS_FAILED: return "test provider: one or more signers failed";
    case TP_STATUS_BAD_SIGNATURE: return "test provider: the signature does not match the data";
    case TP_STATUS_BAD_CONTEXT: return "test provider: unknown context";
    case TP_STATUS_BAD_PARAMETER: return "test provider: invalid parameter";
    case TP_STATUS_NO_KEYSET: return "test provider: keyset does not exist";
    default: return NULL;
  }
}

static void SetTextLocked(uint32_t status, const char* text, size_t length, int isNull) {
  int i, slot = -1;
  for (i = 0; i < TP_MAX_TEXTS; ++i) {
    if (g.texts[i].used && g.texts[i].status == status) {
      slot = i;
      break;
    }
    if (!g.texts[i].used && slot < 0) slot = i;
  }
  if (slot < 0) return;
  g.texts[slot].used = 1;
  g.texts[slot].status = status;
  g.texts[slot].isNull = isNull;
  if (length >= sizeof g.texts[slot].text) length = sizeof g.texts[slot].text - 1;
  memcpy(g.texts[slot].text, text, length);
  g.texts[slot].text[length] = '\0';
}

static const char* TrimStart(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
  return p;
}

static const char* TrimEnd(const char* p, const char* end) {
  while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\n' || end[-1] == '\r'))
    --end;
  return end;
}

/* A hexadecimal number in [p, end); returns 1 when the whole range is one. */
static int ParseHex(const char* p, const char* end, uint32_t* value) {
  uint32_t v = 0;
  p = TrimStart(p, end);
  end = TrimEnd(p, end);
  if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
  if (p == end) return 0;
  for (; p < end; ++p) {
    char c = *p;
    uint32_t d;
    if (c >= '0' && c <= '9') d = (uint32_t)(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = (uint32_t)(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = (uint32_t)(c - 'A' + 10);
    else
      return 0;
    v = v * 16 + d;
  }
  *value = v;
  return 1;
}

static int KeyIs(const char* p, const char* end, const char* key) {
  size_t n = strlen(key);
  return (size_t)(end - p) == n && memcmp(p, key, n) == 0;
}

static int ApplyItemLocked(const char* p, const char* end) {
  const char* eq;
  const char* key;
  const char* keyEnd;
  const char* value;
  int entry = -1;
  p = TrimStart(p, end);
  end = TrimEnd(p, end);
  if (p == end) return 1;
  if (KeyIs(p, end, "reset")) {
    int applied = g.scriptApplied;
    ResetLocked();
    g.scriptApplied = applied;
    return 1;
  }
  eq = memchr(p, '=', (size_t)(end - p));
  if (eq == NULL) return 0;
  key = p;
  keyEnd = TrimEnd(key, eq);
  value = eq + 1;
  if (KeyIs(key, keyEnd, "init")) entry = E_INIT;
  else if (KeyIs(key, keyEnd, "uninit"))
    entry = E_UNINIT;
  else if (KeyIs(key, keyEnd, "sign"))
    entry = E_SIGN;
  else if (KeyIs(key, keyEnd, "verify"))
    entry = E_VERIFY;
  if (entry >= 0) {
    const char* at = memchr(value, '@', (size_t)(end - value));
    uint32_t status = 0, after = 0;
    if (!ParseHex(value, at != NULL ? at : end, &status)) return 0;
    if (at != NULL) {
      /* the count is decimal */
      char* stop = NULL;
      char buffer[16];
      size_t n = (size_t)(end - at - 1);
      if (n == 0 || n >= sizeof buffer) return 0;
      memcpy(buffer, at + 1, n);
      buffer[n] = '\0';
      after = (uint32_t)strtoul(buffer, &stop, 10);
      if (stop == NULL || *stop != '\0') return 0;
    }
    g.scripted[entry].status = status;
    g.scripted[entry].after = after;
    return 1;
  }
  if (KeyIs(key, keyEnd, "signers") || KeyIs(key, keyEnd, "result")) {
    const char* q = value;
    g.signersStatusSet = 0;
    if (KeyIs(key, keyEnd, "result")) {
      const char* colon = memchr(value, ':', (size_t)(end - value));
      if (colon == NULL || !ParseHex(value, colon, &g.signersStatus)) return 0;
      g.signersStatusSet = 1;
      q = colon + 1;
    }
    g.signersSet = 1;
    g.signerCount = 0;
    if (TrimStart(q, end) == end) return 1;
    while (q <= end) {
      const char* comma = memchr(q, ',', (size_t)(end - q));
      const char* itemEnd = comma != NULL ? comma : end;
      uint32_t status;
      if (!ParseHex(q, itemEnd, &status) || g.signerCount >= TP_MAX_SIGNERS) return 0;
      g.signers[g.signerCount++] = status;
      if (comma == NULL) break;
      q = comma + 1;
    }
    return 1;
  }
  if (KeyIs(key, keyEnd, "text")) {
    const char* colon = memchr(value, ':', (size_t)(end - value));
    uint32_t status;
    if (colon == NULL || !ParseHex(value, colon, &status)) return 0;
    SetTextLocked(status, colon + 1, (size_t)(end - colon - 1), 0);
    return 1;
  }
  if (KeyIs(key, keyEnd, "notext")) {
    uint32_t status;
    if (!ParseHex(value, end, &status)) return 0;
    SetTextLocked(status, "", 0, 1);
    return 1;
  }
  return 0;
}

static int ApplyScriptLocked(const char* script) {
  const char* p = script;
  int item = 1;
  if (script == NULL) return 0;
  for (;;) {
    const char* semi = strchr(p, ';');
    const char* end = semi != NULL ? semi : p + strlen(p);
    if (!ApplyItemLocked(p, end)) return item;
    if (semi == NULL) break;
    p = semi + 1;
    ++item;
  }
  return 0;
}

TP_MAYBE_UNUSED static VCERT_STATUS OpenLocked(const char* profile, uint32_t flags,
                                               VCERT_CONTEXT* context) {
  int i;
  uint32_t status;
  EnsureScriptLocked();
  ++g.stats.initializeCalls;
  g.stats.lastInitFlags = flags;
  if (profile != NULL) {
    strncpy(g.stats.lastProfile, profile, sizeof g.stats.lastProfile - 1);
    g.stats.lastProfile[sizeof g.stats.lastProfile - 1] = '\0';
  } else {
    g.stats.lastProfile[0] = '\0';
  }
  status = ScriptedLocked(E_INIT);
  if (status != 0) return status;
  if (profile == NULL || context == NULL) return TP_STATUS_BAD_PARAMETER;
  for (i = 0; i < TP_MAX_CONTEXTS; ++i) {
    if (!g.contexts[i].open) {
      g.contexts[i].open = 1;
      g.contexts[i].handle = 0x1001 + g.nextHandle++;
      strncpy(g.contexts[i].profile, profile, sizeof g.contexts[i].profile - 1);
      g.contexts[i].profile[sizeof g.contexts[i].profile - 1] = '\0';
      ++g.stats.openContexts;
      *context = g.contexts[i].handle;
      return 0;
    }
  }
  return TP_STATUS_BAD_PARAMETER;
}

/* --- the provider's entry points ------------------------------------------------------ */

#if !defined(TP_OMIT_GETERRORTEXT)
VCERT_EXPORT const char* VCERT_CALL VCERT_GetErrorText(VCERT_STATUS status, char* buffer,
                                                       uint32_t bufferSize) {
  const char* text = NULL;
  int i;
  Lock();
  EnsureScriptLocked();
  ++g.stats.getErrorTextCalls;
  text = BuiltInText(status);
  for (i = 0; i < TP_MAX_TEXTS; ++i) {
    if (g.texts[i].used && g.texts[i].status == status) {
      text = g.texts[i].isNull ? NULL : g.texts[i].text;
      break;
    }
  }
  if (text != NULL) {
    if (buffer == NULL || bufferSize == 0) {
      text = NULL;
    } else {
      size_t n = strlen(text);
      if (n >= bufferSize) n = bufferSize - 1;
      memcpy(buffer, text, n);
      buffer[n] = '\0';
      text = buffer;
    }
  }
  Unlock();
  return text;
}
#endif

#if !defined(TP_ONLY_GETERRORTEXT)
VCERT_EXPORT void* VCERT_CALL VCERT_AllocMem(VCERT_CONTEXT context, uint32_t size) {
  void* p;
  Lock();
  ++g.stats.allocMemCalls;
  Unlock();
  p = malloc(size != 0 ? size : 1);
  return p;
}

VCERT_EXPORT void* VCERT_CALL VCERT_ReallocMem(VCERT_CONTEXT context, void* memory, uint32_t size) {
  return realloc(memory, size != 0 ? size : 1);
}

#if !defined(TP_OMIT_FREE)
VCERT_EXPORT void VCERT_CALL VCERT_FreeMem(VCERT_CONTEXT context, void* memory) {
  Lock();
  ++g.stats.freeMemCalls;
  if (UntrackLocked(g.signatures, memory)) {
    --g.stats.outstandingSignatures;
    if (FindContextLocked(context) == NULL) ++g.stats.badFrees;
    free(memory);
  } else {
    ++g.stats.badFrees;
  }
  Unlock();
}
#endif

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_Initialize(const char* profile, uint32_t flags,
                                                      VCERT_CONTEXT* context) {
  VCERT_STATUS status;
  Lock();
  status = OpenLocked(profile, flags, context);
  Unlock();
  return status;
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_InitializeEx(const char* profile, uint32_t flags,
                                                        void* reserved, VCERT_CONTEXT* context) {
  VCERT_STATUS status;
  Lock();
  status = OpenLocked(profile, flags, context);
  Unlock();
  return status;
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_InitMinimal(uint32_t flags, VCERT_CONTEXT* context) {
  VCERT_STATUS status;
  Lock();
  status = OpenLocked("", flags, context);
  Unlock();
  return status;
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_Uninitialize(VCERT_CONTEXT context) {
  VCERT_STATUS status;
  Context* c;
  Lock();
  EnsureScriptLocked();
  ++g.stats.uninitializeCalls;
  status = ScriptedLocked(E_UNINIT);
  if (status == 0) {
    c = FindContextLocked(context);
    if (c == NULL) {
      ++g.stats.badContexts;
      status = TP_STATUS_BAD_CONTEXT;
    } else {
      c->open = 0;
      --g.stats.openContexts;
    }
  }
  Unlock();
  return status;
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_CmsBlkDetSignMem(VCERT_CONTEXT context,
                                                            const VCERT_SIGN_PARAMS* params,
                                                            const VCERT_BLOB* data,
                                                            const VCERT_BLOB* reserved,
                                                            VCERT_BLOB* signature) {
  VCERT_STATUS status = 0;
  Context* c;
  Lock();
  EnsureScriptLocked();
  ++g.stats.signCalls;
  g.stats.lastSignContext = context;
  if (params == NULL || data == NULL || reserved == NULL || signature == NULL) {
    ++g.stats.badRecords;
    Unlock();
    return TP_STATUS_BAD_PARAMETER;
  }
  g.stats.lastSignFlags = params->Flags;
  g.stats.lastSignReserved = params->Reserved;
  g.stats.lastDataLength = data->cbData;
  g.stats.lastDataAddressNull = data->pbData == NULL;
  g.stats.lastSignatureBlobZeroed = signature->cbData == 0 && signature->pbData == NULL;
  g.stats.lastReservedBlobEmpty = reserved->cbData == 0 && reserved->pbData == NULL;
  if (params->Reserved != 0 || !g.stats.lastSignatureBlobZeroed || !g.stats.lastReservedBlobEmpty) {
    ++g.stats.badRecords;
  }
  c = FindContextLocked(context);
  status = ScriptedLocked(E_SIGN);
  if (status == 0 && c == NULL) {
    ++g.stats.badContexts;
    status = TP_STATUS_BAD_CONTEXT;
  }
  if (status == 0 && data->pbData == NULL && data->cbData != 0) status = TP_STATUS_BAD_PARAMETER;
  if (status == 0) {
    size_t length = MakeSignature(c->profile, data->pbData, data->cbData, NULL, 0);
    uint8_t* bytes = (uint8_t*)malloc(length);
    if (bytes == NULL || !TrackLocked(g.signatures, bytes)) {
      free(bytes);
      status = TP_STATUS_BAD_PARAMETER;
    } else {
      MakeSignature(c->profile, data->pbData, data->cbData, bytes, length);
      ++g.stats.outstandingSignatures;
      signature->cbData = (uint32_t)length;
      signature->pbData = bytes;
    }
  }
  Unlock();
  return status;
}

#if !defined(TP_OMIT_FREE)
VCERT_EXPORT void VCERT_CALL VCERT_FreeVerifyResult(VCERT_CONTEXT context,
                                                    VCERT_VERIFY_RESULT* result) {
  Lock();
  ++g.stats.freeVerifyResultCalls;
  if (result != NULL && UntrackLocked(g.results, result->Signers)) {
    --g.stats.outstandingVerifyResults;
    if (FindContextLocked(context) == NULL) ++g.stats.badFrees;
    free(result->Signers);
    result->Signers = NULL;
    result->Count = 0;
  } else if (result == NULL || result->Signers != NULL) {
    ++g.stats.badFrees;
  }
  Unlock();
}
#endif

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_CmsBlkDetVerifyMem(
    VCERT_CONTEXT context, const VCERT_VERIFY_PARAMS* params, const VCERT_BLOB* data,
    const VCERT_BLOB* signature, const VCERT_BLOB* reserved, VCERT_VERIFY_RESULT* result) {
  VCERT_STATUS status;
  uint32_t count = 0;
  uint32_t entries[TP_MAX_SIGNERS];
  int i;
  Lock();
  EnsureScriptLocked();
  ++g.stats.verifyCalls;
  g.stats.lastVerifyContext = context;
  if (params == NULL || data == NULL || signature == NULL || reserved == NULL || result == NULL) {
    ++g.stats.badRecords;
    Unlock();
    return TP_STATUS_BAD_PARAMETER;
  }
  memcpy(g.stats.lastVerifyWords, params->Words, sizeof params->Words);
  g.stats.lastVerifyDataLength = data->cbData;
  g.stats.lastVerifyDataAddressNull = data->pbData == NULL;
  g.stats.lastVerifySignatureLength = signature->cbData;
  if (params->Words[11] != 0x7FFFFu || reserved->cbData != 0 || reserved->pbData != NULL) {
    ++g.stats.badRecords;
  }
  result->Count = 0;
  result->Signers = NULL;
  status = ScriptedLocked(E_VERIFY);
  if (status == 0 && FindContextLocked(context) == NULL) {
    ++g.stats.badContexts;
    Unlock();
    return TP_STATUS_BAD_CONTEXT;
  }
  if ((data->pbData == NULL && data->cbData != 0) ||
      (signature->pbData == NULL && signature->cbData != 0)) {
    Unlock();
    return TP_STATUS_BAD_PARAMETER;
  }
  if (g.signersSet) {
    int anyFailing = 0;
    count = g.signerCount;
    for (i = 0; i < (int)count; ++i) {
      entries[i] = g.signers[i];
      if (entries[i] != 0) anyFailing = 1;
    }
    if (status == 0 && g.signersStatusSet) {
      status = g.signersStatus;
    } else if (status == 0 && g.scripted[E_VERIFY].status == 0 && anyFailing) {
      status = VCERT_STATUS_SIGNERS_FAILED;
    }
  } else if (status == 0 || status == VCERT_STATUS_SIGNERS_FAILED) {
    int good = SignatureMatches(data->pbData, data->cbData, signature->pbData, signature->cbData);
    count = 1;
    entries[0] = good ? 0 : TP_STATUS_BAD_SIGNATURE;
    if (status == 0 && !good) status = VCERT_STATUS_SIGNERS_FAILED;
  }
  if ((status == 0 || status == VCERT_STATUS_SIGNERS_FAILED) && count > 0) {
    VCERT_SIGNER_RESULT* array = (VCERT_SIGNER_RESULT*)calloc(count, sizeof *array);
    if (array == NULL || !TrackLocked(g.results, array)) {
      free(array);
      Unlock();
      return TP_STATUS_BAD_PARAMETER;
    }
    for (i = 0; i < (int)count; ++i) array[i].Status = entries[i];
    result->Count = count;
    result->Signers = array;
    ++g.stats.outstandingVerifyResults;
  }
  Unlock();
  return status;
}

#endif /* !TP_ONLY_GETERRORTEXT */

/* --- control ----------------------------------------------------------------------------- */

VCERT_EXPORT void VCERT_CALL TestProvider_Reset(void) {
  Lock();
  ResetLocked();
  Unlock();
}

VCERT_EXPORT int VCERT_CALL TestProvider_Script(const char* script) {
  int result;
  Lock();
  EnsureScriptLocked();
  result = ApplyScriptLocked(script);
  Unlock();
  return result;
}

VCERT_EXPORT void VCERT_CALL TestProvider_GetStats(TestProviderStats* stats) {
  Lock();
  if (stats != NULL) *stats = g.stats;
  Unlock();
}

VCERT_EXPORT int32_t VCERT_CALL TestProvider_OpenContexts(void) {
  int32_t n;
  Lock();
  n = g.stats.openContexts;
  Unlock();
  return n;
}

VCERT_EXPORT size_t VCERT_CALL TestProvider_Signature(const char* profile, const void* data,
                                                      size_t length, void* out, size_t outSize) {
  return MakeSignature(profile != NULL ? profile : "", (const uint8_t*)data, length, (uint8_t*)out,
                       out != NULL ? outSize : 0);
}

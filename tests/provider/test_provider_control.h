/* The test provider: a fake Signatura 6 provider for tests (tests/provider/test_provider.c).
 *
 * WHAT IT IS
 *   A small shared library that implements all eleven VCERT_ entry points of
 *   provider/vcert_api.h with deterministic fake signatures, scripted statuses, provider
 *   texts and counters, plus the control functions below. It is built only with the
 *   tests. Plain C; also builds for Windows (exports with VCERT_EXPORT, __stdcall on
 *   32-bit Windows, linked with -Wl,--kill-at).
 *
 * CMAKE TARGETS (defined in tests/provider/extra.cmake, usable from any later test area,
 * e.g. in tests/sign/extra.cmake)
 *   lumo_test_provider          SHARED, output <build>/tests/provider/test_provider/libspki1.so
 *                               (spki1.dll on Windows): the full provider.
 *   lumo_test_provider_control  INTERFACE: links lumo_test_provider, adds this header's folder
 *                               to the include path and defines
 *                                 LUMO_TEST_PROVIDER_PATH  full path of the library above
 *                                 LUMO_TEST_PROVIDER_DIR   its folder
 *   Variants (MODULE libraries, all output name spki1, each in its own folder, paths as
 *   compile definitions of lumo_test_provider_control):
 *     LUMO_TEST_PROVIDER_NO_ERRORTEXT_PATH  lacks VCERT_GetErrorText
 *     LUMO_TEST_PROVIDER_NO_FREE_PATH       lacks VCERT_FreeMem and VCERT_FreeVerifyResult
 *     LUMO_TEST_PROVIDER_ONLY_ERRORTEXT_PATH has VCERT_GetErrorText only
 *     LUMO_TEST_PROVIDER_SLOW_PATH          the full provider; each load takes 40 ms more
 *                                           (POSIX), for tests of concurrent first loads
 *
 * USE FROM A TEST (GoogleTest)
 *   tests/<area>/extra.cmake:
 *     target_link_libraries(<area>_<name>_test PRIVATE lumo_test_provider_control)
 *   test:
 *     #include "test_provider_control.h"
 *     Lumo::Provider::SetProviderLibraryName(LUMO_TEST_PROVIDER_PATH);   // before the first load
 *     TestProvider_Reset();                                          // in SetUp
 *     ... run the code under test ...
 *     TestProviderStats st; TestProvider_GetStats(&st);
 *     EXPECT_EQ(st.openContexts, 0);
 *   Because the test executable links the library, the binding's dlopen of the same file
 *   returns the same instance: the control functions act on what the binding calls. (A
 *   dlopen of the plain name "libspki1.so" also finds it, by its soname.) Reset does not
 *   unload anything; call Lumo::Provider::UnloadProvider() yourself when a test needs a fresh
 *   load.
 *
 * USE FROM ANOTHER PROCESS (dezsign and other programs run by a test)
 *   Point the program at the library (LD_LIBRARY_PATH=$LUMO_TEST_PROVIDER_DIR, or the same
 *   folder as the program on Windows) and script it with the environment variable
 *     LUMO_TEST_PROVIDER_SCRIPT="<script>"
 *   which is applied at the first call into the provider (and again after each Reset).
 *   Counters cannot be read from outside; use the exit status and messages.
 *
 * SCRIPT SYNTAX (TestProvider_Script and LUMO_TEST_PROVIDER_SCRIPT)
 *   Items separated by ';'. Numbers are hexadecimal (no 0x needed). Spaces around items
 *   are ignored.
 *     init=S[@N]      VCERT_Initialize (and InitializeEx, InitMinimal) returns status S
 *     uninit=S[@N]    VCERT_Uninitialize returns S (the context stays open)
 *     sign=S[@N]      VCERT_CmsBlkDetSignMem returns S (no signature)
 *     verify=S[@N]    VCERT_CmsBlkDetVerifyMem returns S
 *                     @N: the first N calls (counted from the script) behave normally,
 *                     every later call returns S. S = 0 clears the item.
 *     signers=A,B,... verify result entries with these statuses (0 = good signer); with
 *                     no verify= item the status is E0700019 when one of them is non-zero,
 *                     0 otherwise. Without signers= a verify with status 0 or E0700019
 *                     reports the real check (one entry). "signers=" alone: zero entries.
 *     result=S:A,B,... verify returns status S with these entries (unless a verify= item
 *                     fires); e.g. "result=0:E0700020" is status 0 with a failing entry.
 *                     A later signers= or result= item replaces an earlier one.
 *     text=S:TEXT     VCERT_GetErrorText gives TEXT for S (TEXT up to the next ';', at
 *                     most 1499 bytes; cut to the caller's buffer size - 1)
 *     notext=S        VCERT_GetErrorText returns NULL for S
 *     reset           same as TestProvider_Reset (without re-reading the environment)
 *   Example: "init=80090016" or "verify=E0700019;signers=E0700020,0,E0700021".
 *
 * BEHAVIOUR WITHOUT A SCRIPT
 *   Initialize: any non-null profile name opens a context (handles 0x1001, 0x1002, ...;
 *     never 0; at most 64 open at once). Uninitialize of an unknown context, and sign or
 *     verify with one, return TP_STATUS_BAD_CONTEXT and count in badContexts.
 *   Sign: signature = "SIG" 00 ":" + profile + ":" + data + 00 00 "END" (zero bytes on
 *     purpose; see TestProvider_Signature), buffer from malloc, released by VCERT_FreeMem.
 *   Verify: the signature must be "SIG" 00 ":" + any profile + ":" + data + 00 00 "END";
 *     then status 0 with one good entry, else status E0700019 with one entry of status
 *     TP_STATUS_BAD_SIGNATURE.
 *   GetErrorText knows these codes (ASCII texts, so they read the same on every platform):
 *     E0700019, TP_STATUS_BAD_SIGNATURE, TP_STATUS_BAD_CONTEXT, TP_STATUS_BAD_PARAMETER,
 *     80090016 (keyset does not exist); every other code gives NULL.
 *   Every entry point is thread-safe (one lock), so parallel workers may share it.
 */
#ifndef LUMO_TEST_PROVIDER_CONTROL_H
#define LUMO_TEST_PROVIDER_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#include "provider/vcert_api.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TP_STATUS_BAD_SIGNATURE 0xE0700020u
#define TP_STATUS_BAD_CONTEXT 0xE0700021u
#define TP_STATUS_BAD_PARAMETER 0xE0700022u
#define TP_STATUS_NO_KEYSET 0x80090016u

typedef struct TestProviderStats {
  int32_t openContexts;     /* opened and not yet closed */
  uint32_t initializeCalls; /* VCERT_Initialize, InitializeEx and InitMinimal */
  uint32_t uninitializeCalls;
  uint32_t signCalls;
  uint32_t verifyCalls;
  uint32_t getErrorTextCalls;
  uint32_t freeMemCalls;
  uint32_t freeVerifyResultCalls;
  uint32_t allocMemCalls;
  int32_t outstandingSignatures;    /* handed out by sign and not yet freed */
  int32_t outstandingVerifyResults; /* filled by verify and not yet freed */
  uint32_t badFrees;    /* free of an address not handed out / already freed, wrong context */
  uint32_t badContexts; /* calls with a context that is not open */
  uint32_t badRecords;  /* sign/verify records not as the binding builds them (reserved words, empty
                           blob, zeroed signature blob, word 11 of the verify record) */
  /* The last VCERT_Initialize call. */
  uint32_t lastInitFlags;
  char lastProfile[256];
  /* The last sign call. */
  uint32_t lastSignContext;
  uint32_t lastSignFlags;
  uint32_t lastSignReserved;
  uint32_t lastDataLength;
  int32_t lastDataAddressNull;     /* 1 when the data blob's address was NULL */
  int32_t lastSignatureBlobZeroed; /* 1 when the out signature blob came in as {0, NULL} */
  int32_t lastReservedBlobEmpty;   /* 1 when the reserved blob was {0, NULL} */
  /* The last verify call. */
  uint32_t lastVerifyContext;
  uint32_t lastVerifyWords[12];
  uint32_t lastVerifyDataLength;
  int32_t lastVerifyDataAddressNull;
  uint32_t lastVerifySignatureLength;
} TestProviderStats;

/* Clears scripts, texts, counters and open contexts; frees every signature and verify
 * result still outstanding. */
VCERT_EXPORT void VCERT_CALL TestProvider_Reset(void);
/* Applies a script (syntax above); returns 0 when every item was understood, else the
 * 1-based number of the first item that was not (the items before it are applied). */
VCERT_EXPORT int VCERT_CALL TestProvider_Script(const char* script);
VCERT_EXPORT void VCERT_CALL TestProvider_GetStats(TestProviderStats* stats);
VCERT_EXPORT int32_t VCERT_CALL TestProvider_OpenContexts(void);
/* The fake signature of data under a profile; returns its length and copies at most
 * outSize bytes to out (out may be NULL to ask for the length). */
VCERT_EXPORT size_t VCERT_CALL TestProvider_Signature(const char* profile, const void* data,
                                                      size_t length, void* out, size_t outSize);

typedef void(VCERT_CALL* PFN_TestProvider_Reset)(void);
typedef int(VCERT_CALL* PFN_TestProvider_Script)(const char* script);
typedef void(VCERT_CALL* PFN_TestProvider_GetStats)(TestProviderStats* stats);

#ifdef __cplusplus
}
#endif

#endif

/* The calling interface of a Signatura 6 compatible crypto provider: the records it
 * exchanges and the eleven VCERT_ entry points, bound by name at run time.
 * Shared by the binding (provider/signatura.cpp) and by every provider we build
 * (spki1/, the test provider). Plain C so that providers need no C++.
 *
 * Lengths and statuses are 32-bit; addresses are native pointers. On 32-bit Windows
 * every entry point is __stdcall and exported under its plain name: link a provider with
 * -Wl,--kill-at (mingw) or a .def file (MSVC), else the exports are decorated
 * (_VCERT_Initialize@12) and the binding does not find them.
 *
 * A provider defines each entry point as
 *   VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_Initialize(const char*, uint32_t, VCERT_CONTEXT*)
 * matching the PFN_ typedef below (tests/provider/test_provider.c checks this at compile
 * time by assigning each function to its PFN_ type). */
#ifndef LUMO_VCERT_API_H
#define LUMO_VCERT_API_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VCERT_CALL __stdcall
#else
#define VCERT_CALL
#endif

#if defined(_WIN32)
#define VCERT_EXPORT __declspec(dllexport)
#else
#define VCERT_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t VCERT_STATUS;  /* 0 = success */
typedef uint32_t VCERT_CONTEXT; /* a handle, not a pointer */

/* Initialisation flags the library passes. */
#define VCERT_FLAGS_DEFAULT 0x41u
#define VCERT_FLAG_SILENT 0x800u

/* Verify status: at least one signer failed; see the result entries. */
#define VCERT_STATUS_SIGNERS_FAILED 0xE0700019u

typedef struct VCERT_BLOB {
  uint32_t cbData;
  uint8_t* pbData;
} VCERT_BLOB;

typedef struct VCERT_SIGN_PARAMS {
  uint32_t Flags;
  uint32_t Reserved; /* 0 */
} VCERT_SIGN_PARAMS;

typedef struct VCERT_VERIFY_PARAMS {
  uint32_t Words[12]; /* [0] flags, [11] 0x7FFFF; the rest not set by the library */
} VCERT_VERIFY_PARAMS;

typedef struct VCERT_SIGNER_RESULT {
  uint32_t Status; /* 0 = this signer is good */
  uint32_t Reserved[2];
} VCERT_SIGNER_RESULT; /* 12 bytes */

typedef struct VCERT_VERIFY_RESULT {
  uint32_t Count;
  VCERT_SIGNER_RESULT* Signers;
} VCERT_VERIFY_RESULT;

/* Entry points, in the order the binding looks them up. */
typedef const char*(VCERT_CALL* PFN_VCERT_GetErrorText)(VCERT_STATUS status, char* buffer,
                                                        uint32_t bufferSize);
typedef void*(VCERT_CALL* PFN_VCERT_AllocMem)(VCERT_CONTEXT context, uint32_t size);
typedef void*(VCERT_CALL* PFN_VCERT_ReallocMem)(VCERT_CONTEXT context, void* memory, uint32_t size);
typedef void(VCERT_CALL* PFN_VCERT_FreeMem)(VCERT_CONTEXT context, void* memory);
typedef VCERT_STATUS(VCERT_CALL* PFN_VCERT_Initialize)(const char* profile, uint32_t flags,
                                                       VCERT_CONTEXT* context);
typedef VCERT_STATUS(VCERT_CALL* PFN_VCERT_InitializeEx)(const char* profile, uint32_t flags,
                                                         void* reserved, VCERT_CONTEXT* context);
typedef VCERT_STATUS(VCERT_CALL* PFN_VCERT_InitMinimal)(uint32_t flags, VCERT_CONTEXT* context);
typedef VCERT_STATUS(VCERT_CALL* PFN_VCERT_Uninitialize)(VCERT_CONTEXT context);
typedef VCERT_STATUS(VCERT_CALL* PFN_VCERT_CmsBlkDetSignMem)(VCERT_CONTEXT context,
                                                             const VCERT_SIGN_PARAMS* params,
                                                             const VCERT_BLOB* data,
                                                             const VCERT_BLOB* reserved,
                                                             VCERT_BLOB* signature);
typedef void(VCERT_CALL* PFN_VCERT_FreeVerifyResult)(VCERT_CONTEXT context,
                                                     VCERT_VERIFY_RESULT* result);
typedef VCERT_STATUS(VCERT_CALL* PFN_VCERT_CmsBlkDetVerifyMem)(
    VCERT_CONTEXT context, const VCERT_VERIFY_PARAMS* params, const VCERT_BLOB* data,
    const VCERT_BLOB* signature, const VCERT_BLOB* reserved, VCERT_VERIFY_RESULT* result);

#ifdef __cplusplus
}
#endif

#endif

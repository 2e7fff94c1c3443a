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
 * A provider defines VCERT_PROVIDER, includes this header and defines each entry point as
 *   VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_Initialize(const char*, uint32_t, VCERT_CONTEXT*)
 * in the form VCERT_ENTRY_POINTS gives it (the declarations made from the list check this
 * at compile time). */
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

/* The eleven entry points, in the order the binding looks them up:
 *   X(Name, result type, (parameters))
 * The one list of them: the PFN_VCERT_Name types below, the binding's table
 * (provider/signatura.cpp), the declarations that check a provider's definitions (below),
 * the test provider's and spki1's checks and the bench's forwarder are all made from it.
 * A new entry point is one line here. */
/* clang-format off */
#define VCERT_ENTRY_POINTS(X)                                                                \
  X(GetErrorText, const char*, (VCERT_STATUS status, char* buffer, uint32_t bufferSize))     \
  X(AllocMem, void*, (VCERT_CONTEXT context, uint32_t size))                                 \
  X(ReallocMem, void*, (VCERT_CONTEXT context, void* memory, uint32_t size))                 \
  X(FreeMem, void, (VCERT_CONTEXT context, void* memory))                                    \
  X(Initialize, VCERT_STATUS, (const char* profile, uint32_t flags, VCERT_CONTEXT* context)) \
  X(InitializeEx, VCERT_STATUS,                                                              \
    (const char* profile, uint32_t flags, void* reserved, VCERT_CONTEXT* context))           \
  X(InitMinimal, VCERT_STATUS, (uint32_t flags, VCERT_CONTEXT* context))                    \
  X(Uninitialize, VCERT_STATUS, (VCERT_CONTEXT context))                                     \
  X(CmsBlkDetSignMem, VCERT_STATUS,                                                          \
    (VCERT_CONTEXT context, const VCERT_SIGN_PARAMS* params, const VCERT_BLOB* data,         \
     const VCERT_BLOB* reserved, VCERT_BLOB* signature))                                     \
  X(FreeVerifyResult, void, (VCERT_CONTEXT context, VCERT_VERIFY_RESULT* result))           \
  X(CmsBlkDetVerifyMem, VCERT_STATUS,                                                        \
    (VCERT_CONTEXT context, const VCERT_VERIFY_PARAMS* params, const VCERT_BLOB* data,       \
     const VCERT_BLOB* signature, const VCERT_BLOB* reserved, VCERT_VERIFY_RESULT* result))
/* clang-format on */

#define VCERT_ENTRY_POINT_TYPE(name, result, parameters) \
  typedef result(VCERT_CALL* PFN_VCERT_##name) parameters;
VCERT_ENTRY_POINTS(VCERT_ENTRY_POINT_TYPE)
#undef VCERT_ENTRY_POINT_TYPE

/* A provider defines VCERT_PROVIDER before it includes this header: every entry point is
 * then declared here, so that a definition whose form differs from the list does not
 * compile. (A provider may leave an entry point out; the binding then reports it missing
 * when an operation needs it.) */
#ifdef VCERT_PROVIDER
#define VCERT_ENTRY_POINT_DECLARATION(name, result, parameters) \
  VCERT_EXPORT result VCERT_CALL VCERT_##name parameters;
VCERT_ENTRY_POINTS(VCERT_ENTRY_POINT_DECLARATION)
#undef VCERT_ENTRY_POINT_DECLARATION
#endif

#ifdef __cplusplus
}
#endif

#endif

"""The C API of liblumodez as ctypes sees it: the library, the functions' types, and every
number and record layout the module takes from the C header (capi/lumodez.h), in this one
place, so that a change of the header is mirrored here alone."""
from __future__ import annotations

import ctypes
import os

# lumodez_check_signature_* flags (outside the low 8 bits, where action codes live).
CHECK_CHILDS = 0x10000
CHECK_TEST_MODE = 0x20000
CHECK_ALLOW_UNSIGNED = 0x100

# lumodez_signature_verdict_code.
VERDICT_OK = 0
VERDICT_FAILED = 1
VERDICT_UNSIGNED_CONTENT = 2
VERDICT_DUPLICATE = 3
VERDICT_CANNOT_REBUILD = 4
VERDICT_NO_SIGNATURE = 5
VERDICT_NOT_CHECKED = 6
VERDICT_OK_UNSIGNED_ALLOWED = 7

# lumodez_last_error_kind.
ERROR_LIBRARY = 1
ERROR_XML = 2
ERROR_PROVIDER = 3
ERROR_PLATFORM = 4

# The fields of a signer (lumodez_signature_verdict_<field>, lumodez_last_verified_<field>)
# and whether each is text or a number.
SIGNER_FIELDS = (("signer_common_name", "text"), ("signer_organization", "text"),
                 ("signer_serial", "text"), ("signer_issuer", "text"), ("signing_time", "text"),
                 ("signer_certificate_found", "int"))

# The library's name as the system loader finds it, when LUMODEZ_LIBRARY names none.
LIBRARY_NAME = "liblumodez.so.1"


class Verdict(ctypes.Structure):
    """lumodez_signature_verdict."""
    _fields_ = [("index", ctypes.c_int32), ("element", ctypes.c_char_p),
                ("verified", ctypes.c_int), ("reason", ctypes.c_char_p)]


class Report(ctypes.Structure):
    """lumodez_signature_report."""
    _fields_ = [("count", ctypes.c_size_t), ("verdicts", ctypes.POINTER(Verdict))]


def _load() -> ctypes.CDLL:
    path = os.environ.get("LUMODEZ_LIBRARY") or LIBRARY_NAME
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise ImportError(f"lumodez: cannot load the library {path} ({e}); it comes with the "
                          "package liblumodez1, or LUMODEZ_LIBRARY names it") from e
    i32, vp, cp, c_int = ctypes.c_int32, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int
    out = ctypes.POINTER(vp)
    signatures = {
        "lumodez_version": (cp, []),
        "lumodez_free": (None, [vp]),
        "lumodez_last_error_description": (cp, []),
        "lumodez_last_error_source": (cp, []),
        "lumodez_last_error_kind": (i32, []),
        "lumodez_last_error_code": (i32, []),
        "lumodez_last_error_function": (cp, []),
        "lumodez_set_provider_library": (i32, [cp]),
        "lumodez_canonical_text": (i32, [cp, c_int, out]),
        "lumodez_sign_create": (i32, [out]),
        "lumodez_sign_release": (None, [vp]),
        "lumodez_sign_set_test_mode": (i32, [vp, c_int]),
        "lumodez_sign_set_silent": (i32, [vp, c_int]),
        "lumodez_sign_file": (i32, [vp, cp, cp, cp, i32]),
        "lumodez_sign_xml": (i32, [vp, cp, cp, i32, out]),
        "lumodez_profile_create": (i32, [out]),
        "lumodez_profile_release": (None, [vp]),
        "lumodez_profile_set_name": (i32, [vp, cp]),
        "lumodez_profile_set_test_mode": (i32, [vp, c_int]),
        "lumodez_profile_set_keyload": (i32, [vp, i32]),
        "lumodez_profile_open": (i32, [vp]),
        "lumodez_profile_close": (i32, [vp]),
        "lumodez_profile_sign": (i32, [vp, cp, i32, out]),
        "lumodez_profile_sign_file": (i32, [vp, cp, cp, i32]),
        "lumodez_check_signature_xml": (i32, [cp, cp, i32, ctypes.POINTER(ctypes.POINTER(Report))]),
        "lumodez_check_signature_file": (i32, [cp, cp, i32, ctypes.POINTER(ctypes.POINTER(Report))]),
        "lumodez_signature_report_free": (None, [ctypes.POINTER(Report)]),
        "lumodez_signature_verdict_code": (i32, [ctypes.POINTER(Report), ctypes.c_size_t]),
        "lumodez_signature_verdict_provider_status": (ctypes.c_uint32,
                                                      [ctypes.POINTER(Report), ctypes.c_size_t]),
        "lumodez_signature_verdict_warning": (cp, [ctypes.POINTER(Report), ctypes.c_size_t]),
        "lumodez_signature_verdict_duplicate_of": (i32, [ctypes.POINTER(Report), ctypes.c_size_t]),
        "lumodez_signature_report_not_covered": (cp, [ctypes.POINTER(Report)]),
        "lumodez_signature_verdict_signer_count": (i32, [ctypes.POINTER(Report), ctypes.c_size_t]),
        "lumodez_signature_verdict_signer_error": (cp, [ctypes.POINTER(Report), ctypes.c_size_t]),
        "lumodez_last_verified_signer_count": (i32, []),
        "lumodez_last_verified_signer_error": (cp, []),
        "lumodez_last_error_refused": (i32, []),
        "lumodez_last_error_provider_status": (ctypes.c_uint32, []),
    }
    # Signer k of verdict i, and of the last verified envelope: one accessor per field.
    size = ctypes.c_size_t
    for field, kind in SIGNER_FIELDS:
        restype = cp if kind == "text" else i32
        signatures["lumodez_signature_verdict_" + field] = (
            restype, [ctypes.POINTER(Report), size, size])
        signatures["lumodez_last_verified_" + field] = (restype, [size])
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


lib = _load()

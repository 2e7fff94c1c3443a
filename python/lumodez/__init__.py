"""LumoDEZLib for Python: sign, wrap, verify and unwrap the exchange's XML documents.

A thin layer over the C API of liblumodez (ctypes, nothing to compile). The library is
the one named by the environment variable LUMODEZ_LIBRARY (a path, e.g. a build tree's
tools/liblumodez.so), else the installed liblumodez.so.1.

    with lumodez.Profile("bank") as profile:         # one key profile held open
        signed = profile.sign(xml, lumodez.Action.ROOT)

    signer = lumodez.Signer(test_mode=True)           # a fresh profile for every call
    envelope = signer.sign_xml(xml, "bank", lumodez.Action.ENVELOPE)
"""
from __future__ import annotations

import ctypes
import enum
import os
import re
from typing import Optional, Union

__all__ = [
    "Action", "Keyload", "LumoDEZError", "XmlParserError", "ProviderError", "Signer",
    "Profile", "canonical_text", "set_provider_library", "version",
]

StrPath = Union[str, "os.PathLike[str]"]


class Action(enum.IntEnum):
    CHILDS = 1
    ROOT = 2
    ENVELOPE = 3
    VERIFY = 4
    EXTRACT = 5
    BASE64_ENVELOPE = 6


class Keyload(enum.IntEnum):
    DEFAULT = 0
    SILENT = 1
    LOUD = 2


class LumoDEZError(Exception):
    """A failed call: the library's message, its status and the object that failed."""

    def __init__(self, message: str, status: int = 0, source: str = "") -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.source = source


class XmlParserError(LumoDEZError):
    """A document that does not parse: the parser's code, reason and position."""

    def __init__(self, message: str, status: int = 0, source: str = "", code: int = 0) -> None:
        super().__init__(message, status, source)
        self.code = code
        lines = message.split("\r\n")
        self.reason = lines[0]
        match = re.match(r"Position: (\d+):(\d+)$", lines[1]) if len(lines) > 1 else None
        self.line = int(match.group(1)) if match else 0
        self.column = int(match.group(2)) if match else 0


class ProviderError(LumoDEZError):
    """A failure of the crypto provider: its status (None when the failure did not come
    from a status, e.g. a library that could not be loaded) and the entry point."""

    def __init__(self, message: str, status: int = 0, source: str = "",
                 function_name: str = "") -> None:
        super().__init__(message, status, source)
        self.function_name = function_name
        match = re.match(r"([0-9A-F]{8}): ", message) if function_name else None
        self.provider_status: Optional[int] = int(match.group(1), 16) if match else None


_KIND_XML = 2
_KIND_PROVIDER = 3


def _load() -> ctypes.CDLL:
    path = os.environ.get("LUMODEZ_LIBRARY") or "liblumodez.so.1"
    lib = ctypes.CDLL(path)
    i32, vp, cp, c_int = ctypes.c_int32, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int
    signatures = {
        "lumodez_version": (cp, []),
        "lumodez_free": (None, [vp]),
        "lumodez_last_error_description": (cp, []),
        "lumodez_last_error_source": (cp, []),
        "lumodez_last_error_kind": (i32, []),
        "lumodez_last_error_code": (i32, []),
        "lumodez_last_error_function": (cp, []),
        "lumodez_set_provider_library": (i32, [cp]),
        "lumodez_canonical_text": (i32, [cp, c_int, ctypes.POINTER(vp)]),
        "lumodez_sign_create": (i32, [ctypes.POINTER(vp)]),
        "lumodez_sign_release": (None, [vp]),
        "lumodez_sign_set_test_mode": (i32, [vp, c_int]),
        "lumodez_sign_set_silent": (i32, [vp, c_int]),
        "lumodez_sign_file": (i32, [vp, cp, cp, cp, i32]),
        "lumodez_sign_xml": (i32, [vp, cp, cp, i32, ctypes.POINTER(vp)]),
        "lumodez_profile_create": (i32, [ctypes.POINTER(vp)]),
        "lumodez_profile_release": (None, [vp]),
        "lumodez_profile_set_name": (i32, [vp, cp]),
        "lumodez_profile_set_test_mode": (i32, [vp, c_int]),
        "lumodez_profile_set_keyload": (i32, [vp, i32]),
        "lumodez_profile_open": (i32, [vp]),
        "lumodez_profile_close": (i32, [vp]),
        "lumodez_profile_sign": (i32, [vp, cp, i32, ctypes.POINTER(vp)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


_lib = _load()


def _text(value: bytes) -> str:
    return value.decode("utf-8", errors="replace")


def _check(status: int) -> None:
    if status == 0:
        return
    message = _text(_lib.lumodez_last_error_description() or b"")
    source = _text(_lib.lumodez_last_error_source() or b"")
    status &= 0xFFFFFFFF
    kind = _lib.lumodez_last_error_kind()
    if kind == _KIND_XML:
        raise XmlParserError(message, status, source, _lib.lumodez_last_error_code())
    if kind == _KIND_PROVIDER:
        raise ProviderError(message, status, source,
                            _text(_lib.lumodez_last_error_function() or b""))
    raise LumoDEZError(message, status, source)


def _out(call, *args) -> str:
    """Runs a call whose last argument receives a string the library allocated."""
    result = ctypes.c_void_p()
    _check(call(*args, ctypes.byref(result)))
    try:
        return _text(ctypes.string_at(result.value)) if result.value else ""
    finally:
        _lib.lumodez_free(result)


def _arg(text: str) -> bytes:
    # The C API takes zero-terminated text: an embedded zero would silently cut it short.
    if "\0" in text:
        raise ValueError("text with a zero character cannot be passed to the library")
    return text.encode("utf-8")


def version() -> str:
    return _text(_lib.lumodez_version())


def set_provider_library(path: Optional[StrPath]) -> None:
    """The crypto provider library for the whole process; None goes back to the
    environment variable LUMODEZ_PROVIDER, else libspki1.so. Set it before the first
    profile opens: a different library cannot replace one already loaded."""
    _check(_lib.lumodez_set_provider_library(None if path is None else _arg(os.fspath(path))))


class Signer:
    """The DEZSign object: every call opens the named key profile, runs the action and
    closes it again."""

    def __init__(self, test_mode: bool = False, silent: bool = False) -> None:
        handle = ctypes.c_void_p()
        _check(_lib.lumodez_sign_create(ctypes.byref(handle)))
        self._handle: Optional[ctypes.c_void_p] = handle
        self.test_mode = test_mode
        self.silent = silent

    def _live(self) -> ctypes.c_void_p:
        if self._handle is None:
            raise LumoDEZError("the Signer is closed")
        return self._handle

    @property
    def test_mode(self) -> bool:
        return self._test_mode

    @test_mode.setter
    def test_mode(self, value: bool) -> None:
        _check(_lib.lumodez_sign_set_test_mode(self._live(), bool(value)))
        self._test_mode = bool(value)

    @property
    def silent(self) -> bool:
        return self._silent

    @silent.setter
    def silent(self, value: bool) -> None:
        _check(_lib.lumodez_sign_set_silent(self._live(), bool(value)))
        self._silent = bool(value)

    def sign_xml(self, xml: str, profile: str, action: int) -> str:
        """Runs the action on XML text; returns the resulting document."""
        return _out(_lib.lumodez_sign_xml, self._live(), _arg(xml), _arg(profile), int(action))

    def sign_file(self, input_file: StrPath, output_file: StrPath, profile: str,
                  action: int) -> None:
        """Runs the action on an XML file; the output file (UTF-8) is written only when
        the whole result is ready."""
        _check(_lib.lumodez_sign_file(self._live(), _arg(os.fspath(input_file)),
                                      _arg(os.fspath(output_file)), _arg(profile), int(action)))

    def close(self) -> None:
        if self._handle is not None:
            _lib.lumodez_sign_release(self._handle)
            self._handle = None

    def __enter__(self) -> "Signer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()


class Profile:
    """The Profile object: one key profile held open across many sign calls. As a context
    manager it is opened on entry and closed (and released) on exit."""

    def __init__(self, name: str = "", test_mode: bool = False,
                 keyload: Keyload = Keyload.DEFAULT) -> None:
        handle = ctypes.c_void_p()
        _check(_lib.lumodez_profile_create(ctypes.byref(handle)))
        self._handle: Optional[ctypes.c_void_p] = handle
        _check(_lib.lumodez_profile_set_name(handle, _arg(name)))
        _check(_lib.lumodez_profile_set_test_mode(handle, bool(test_mode)))
        _check(_lib.lumodez_profile_set_keyload(handle, int(keyload)))
        self.name = name

    def _live(self) -> ctypes.c_void_p:
        if self._handle is None:
            raise LumoDEZError("the Profile is closed")
        return self._handle

    def open(self) -> None:
        _check(_lib.lumodez_profile_open(self._live()))

    def close(self) -> None:
        _check(_lib.lumodez_profile_close(self._live()))

    def sign(self, xml: str, action: int) -> str:
        """Runs the action on XML text with the open profile; returns the document."""
        return _out(_lib.lumodez_profile_sign, self._live(), _arg(xml), int(action))

    def sign_file(self, input_file: StrPath, output_file: StrPath, action: int) -> None:
        """Runs the action on an XML file into an output file (UTF-8, written whole or not
        at all)."""
        with open(input_file, "rb") as f:
            data = f.read()
        result = self.sign(_decode_document(data), action)
        _write_whole(os.fspath(output_file), result.encode("utf-8"))

    def release(self) -> None:
        if self._handle is not None:
            _lib.lumodez_profile_release(self._handle)
            self._handle = None

    def __enter__(self) -> "Profile":
        self.open()
        return self

    def __exit__(self, *exc: object) -> None:
        try:
            self.close()
        finally:
            self.release()

    def __del__(self) -> None:
        self.release()


def _decode_document(data: bytes) -> str:
    # The text call takes the document as text: a declared encoding other than UTF-8 is
    # honoured, a byte-order mark dropped.
    match = re.match(rb'<\?xml[^>]*encoding=["\']([A-Za-z0-9._-]+)["\']', data.lstrip(b"\xef\xbb\xbf"))
    encoding = match.group(1).decode("ascii") if match else "utf-8"
    return data.decode("utf-8-sig" if encoding.lower() in ("utf-8", "utf8") else encoding)


def _write_whole(path: str, data: bytes) -> None:
    temp = path + ".part"
    with open(temp, "wb") as f:
        f.write(data)
    os.replace(temp, path)


def canonical_text(xml: str, numbered: bool = False) -> str:
    """The document's canonical text; with numbered=True the exact text that ROOT signs."""
    return _out(_lib.lumodez_canonical_text, _arg(xml), bool(numbered))

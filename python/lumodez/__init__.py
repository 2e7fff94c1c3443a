"""LumoDEZLib for Python: sign, wrap, verify and unwrap the exchange's XML documents, and
check the signatures that root and childs put into them.

A thin layer over the C API of liblumodez (ctypes, nothing to compile). The library is
the one named by the environment variable LUMODEZ_LIBRARY (a path, e.g. a build tree's
tools/liblumodez.so.1), else the installed liblumodez.so.1 (package liblumodez1).

    with lumodez.Profile("bank") as profile:         # one key profile held open
        signed = profile.sign(xml, lumodez.Action.ROOT)

    signer = lumodez.Signer(test_mode=True)           # a fresh profile for every call
    envelope = signer.sign_xml(xml, "bank", lumodez.Action.ENVELOPE)

    report = lumodez.check_signature_file("signed.xml", "bank")   # InvalidSignature if not

Documents are given as str (XML text) or bytes (an XML file's bytes: the byte order mark
or the declaration's encoding decides how they are read, as for files); file names as
str, bytes or os.PathLike. Failures raise LumoDEZError or one of its subclasses
(XmlParserError, ProviderError, InvalidSignature); a file that cannot be read or written
raises the OSError that open() would (FileNotFoundError, PermissionError, ...).

Threads: an object (Signer, Profile) is used by one thread at a time; different objects
may be used on different threads at once, and the library runs without the GIL.
"""
from __future__ import annotations

import ctypes
import enum
import errno as _errno
import os
import re
from typing import Iterator, List, Optional, Tuple, Union

from . import _capi
from ._capi import (VERDICT_CANNOT_REBUILD, VERDICT_DUPLICATE, VERDICT_FAILED,
                    VERDICT_NO_SIGNATURE, VERDICT_NOT_CHECKED, VERDICT_OK,
                    VERDICT_OK_UNSIGNED_ALLOWED, VERDICT_UNSIGNED_CONTENT)

__version__ = "1.1.0"

__all__ = [
    "Action", "Keyload", "LumoDEZError", "XmlParserError", "ProviderError", "InvalidSignature",
    "Signer", "Profile", "SignerInfo", "SignatureVerdict", "SignatureReport", "canonical_text",
    "check_signature_xml", "check_signature_file", "set_provider_library", "version",
    "VERDICT_OK", "VERDICT_FAILED", "VERDICT_UNSIGNED_CONTENT", "VERDICT_DUPLICATE",
    "VERDICT_CANNOT_REBUILD", "VERDICT_NO_SIGNATURE", "VERDICT_NOT_CHECKED",
    "VERDICT_OK_UNSIGNED_ALLOWED",
]

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
XmlInput = Union[str, bytes]

_lib = _capi.lib


class Action(enum.IntEnum):
    """What a sign call does with the document.

    CHILDS: signs each child element of the root (dsig:SigValue as its first child).
    ROOT: signs the document (dsig:SigValue as the root's first child).
    ENVELOPE: wraps the document and its signature into a signature envelope.
    VERIFY: verifies an envelope's signature and returns the enclosed document.
    EXTRACT: returns the enclosed document without checking the signature.
    BASE64_ENVELOPE: signs Base64 data and wraps it into an envelope.
    """
    CHILDS = 1
    ROOT = 2
    ENVELOPE = 3
    VERIFY = 4
    EXTRACT = 5
    BASE64_ENVELOPE = 6


class Keyload(enum.IntEnum):
    """How a Profile opens its key: DEFAULT as the provider decides, SILENT never asks for
    a PIN (fails instead), LOUD may ask."""
    DEFAULT = 0
    SILENT = 1
    LOUD = 2


class LumoDEZError(Exception):
    """A failed call: the library's message, its status and the object that failed. The
    base of every error of the module."""

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


def _provider_status(message: str) -> Optional[int]:
    match = re.match(r"([0-9A-F]{8}): ", message)
    return int(match.group(1), 16) if match else None


class ProviderError(LumoDEZError):
    """A failure of the crypto provider: its status (None when the failure did not come
    from a status, e.g. a library that could not be loaded) and the entry point."""

    def __init__(self, message: str, status: int = 0, source: str = "",
                 function_name: str = "") -> None:
        super().__init__(message, status, source)
        self.function_name = function_name
        self.provider_status: Optional[int] = _provider_status(message) if function_name else None


class InvalidSignature(ProviderError):
    """A document whose signature was refused: by the provider, or because it does not
    match what was signed. `reason` is the refusal's text, `provider_status` the
    provider's status where the reason starts with one (else None); from the signature
    checks, `report` holds every verdict and `code` the first refused one's VERDICT_ value
    (else None). A ProviderError, so that code that
    caught refusals as provider errors still does."""

    def __init__(self, message: str, status: int = 0, source: str = "",
                 function_name: str = "", report: Optional["SignatureReport"] = None) -> None:
        super().__init__(message, status, source, function_name)
        self.reason = message
        self.provider_status = _provider_status(message)
        self.report = report
        # from the signature checks: the first refused verdict's code (a VERDICT_ value)
        self.code: Optional[int] = None


# --- Arguments -----------------------------------------------------------------------------

def _type_error(function: str, name: str, expected: str, value: object) -> TypeError:
    return TypeError(f"{function}() argument '{name}' must be {expected}, "
                     f"not {type(value).__name__}")


def _text_arg(value: object, function: str, name: str) -> bytes:
    if not isinstance(value, str):
        raise _type_error(function, name, "str", value)
    # The C API takes zero-terminated text: an embedded zero would silently cut it short.
    if "\0" in value:
        raise ValueError(f"{function}() argument '{name}' contains a zero character")
    return value.encode("utf-8")


def _decode_document(data: bytes) -> str:
    """An XML file's bytes as text: the byte order mark, else UTF-16 by its first
    characters, else the declaration's encoding, else UTF-8 (as the library reads files)."""
    for bom, codec in ((b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le"),
                       (b"\xfe\xff", "utf-16-be")):
        if data.startswith(bom):
            return data[len(bom):].decode(codec)
    if data.startswith(b"<\0"):
        return data.decode("utf-16-le")
    if data.startswith(b"\0<"):
        return data.decode("utf-16-be")
    match = re.match(rb'<\?xml[^>]*?encoding\s*=\s*["\']([A-Za-z][A-Za-z0-9._-]*)["\']', data)
    encoding = match.group(1).decode("ascii") if match else "utf-8"
    try:
        return data.decode(encoding)
    except LookupError:
        raise LumoDEZError(f'unknown encoding "{encoding}"') from None


def _xml_arg(value: object, function: str, name: str) -> bytes:
    if isinstance(value, (bytes, bytearray, memoryview)):
        value = _decode_document(bytes(value))
    elif not isinstance(value, str):
        raise _type_error(function, name, "str or bytes", value)
    return _text_arg(value, function, name)


def _path_arg(value: object) -> bytes:
    # As open() takes names: str, bytes or os.PathLike, with the same TypeError.
    path = os.fsencode(value)  # type: ignore[arg-type]
    if b"\0" in path:
        raise ValueError("embedded null byte")
    return path


def _action_arg(value: object, function: str) -> Action:
    if isinstance(value, bool) or not isinstance(value, int):
        raise _type_error(function, "action", "Action", value)
    return Action(value)  # ValueError for a number outside the enumeration


def _require_readable(value: StrPath) -> None:
    """Raises what open() raises for an input that cannot be read (or is a folder), with
    the name as the caller gave it."""
    path = os.fspath(value)
    # Non-blocking: a FIFO is not waited on here (the library opens it for the reading).
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    try:
        if os.path.isdir(path):
            raise IsADirectoryError(_errno.EISDIR, os.strerror(_errno.EISDIR), path)
    finally:
        os.close(fd)


# --- Errors ----------------------------------------------------------------------------------

def _text(value: bytes) -> str:
    return value.decode("utf-8", errors="replace")


# The library's message for a file it cannot open, read, create or write ends in the
# system's text for the error: that text names the error number again.
_FILE_FAILURE = re.compile(r'Cannot (?:open|read|create|write) file "(.*)"\. (.+)$', re.S)
_ERRNO_BY_TEXT = {os.strerror(code): code for code in sorted(_errno.errorcode, reverse=True)}


def _refusal(kind: int, function: str, message: str) -> bool:
    """Whether a failed verify refused the document (rather than failing to check it): the
    provider's verdict on the signature, or a check of the envelope itself."""
    if kind == _capi.ERROR_LIBRARY:
        return message.startswith("Ошибка проверки")
    if kind != _capi.ERROR_PROVIDER:
        return False
    if function == "VCERT_CmsBlkDetVerifyMem":
        return True
    # Without an entry point: the signers' verdicts, or a provider that could not be loaded
    # (whose message names the library).
    return function == "" and not re.search(r"\.so\b|\.dll\b|lumodez-spki1", message)


def _check(status: int, refusal_possible: bool = False) -> None:
    if status == 0:
        return
    message = _text(_lib.lumodez_last_error_description() or b"")
    source = _text(_lib.lumodez_last_error_source() or b"")
    function = _text(_lib.lumodez_last_error_function() or b"")
    status &= 0xFFFFFFFF
    kind = _lib.lumodez_last_error_kind()
    if kind == _capi.ERROR_XML:
        raise XmlParserError(message, status, source, _lib.lumodez_last_error_code())
    if refusal_possible and (_lib.lumodez_last_error_refused() or
                             _refusal(kind, function, message)):
        error = InvalidSignature(message, status, source, function)
        error.provider_status = _lib.lumodez_last_error_provider_status() or error.provider_status
        raise error
    if kind == _capi.ERROR_PROVIDER:
        raise ProviderError(message, status, source, function)
    match = _FILE_FAILURE.match(message)
    if match and match.group(2) in _ERRNO_BY_TEXT:
        code = _ERRNO_BY_TEXT[match.group(2)]
        raise OSError(code, os.strerror(code), match.group(1)) from LumoDEZError(
            message, status, source)
    raise LumoDEZError(message, status, source)


def _out(call, *args, refusal_possible: bool = False) -> str:
    """Runs a call whose last argument receives a string the library allocated."""
    result = ctypes.c_void_p()
    _check(call(*args, ctypes.byref(result)), refusal_possible)
    try:
        return _text(ctypes.string_at(result.value)) if result.value else ""
    finally:
        _lib.lumodez_free(result)


# --- The module's calls ------------------------------------------------------------------------

def version() -> str:
    """The library's version, e.g. "1.1.0" (the same as __version__ for a matching pair)."""
    return _text(_lib.lumodez_version())


def set_provider_library(path: Optional[StrPath]) -> None:
    """The crypto provider library for the whole process; None goes back to the
    environment variable LUMODEZ_PROVIDER, else libspki1.so. Set it before the first
    profile opens: a different library cannot replace one already loaded."""
    _check(_lib.lumodez_set_provider_library(None if path is None else _path_arg(path)))


def canonical_text(xml: XmlInput, numbered: bool = False) -> str:
    """The document's canonical text; with numbered=True the exact text that ROOT signs."""
    return _out(_lib.lumodez_canonical_text, _xml_arg(xml, "canonical_text", "xml"), bool(numbered))


class SignerInfo:
    """Who signed, read from the signature itself: `common_name` and `organization` of the
    subject (from the certificate the signature carries; "" when it carries none, then
    `certificate_found` is False), `serial` (upper-case hexadecimal), `issuer`
    ("CN=..., O=..."), `signing_time` ("2026-12-09 10:14:03 UTC"; "" when the signer claims
    none). For a signature that was refused it is whom the signature names, not proven."""

    __slots__ = ("common_name", "organization", "serial", "issuer", "signing_time",
                 "certificate_found")

    def __init__(self, common_name: str = "", organization: str = "", serial: str = "",
                 issuer: str = "", signing_time: str = "", certificate_found: bool = False) -> None:
        self.common_name = common_name
        self.organization = organization
        self.serial = serial
        self.issuer = issuer
        self.signing_time = signing_time
        self.certificate_found = certificate_found

    def __repr__(self) -> str:
        return f"<SignerInfo CN={self.common_name!r} serial {self.serial}>"


def _signers(count: int, error: bytes, field) -> Tuple[Optional[Tuple[SignerInfo, ...]], str]:
    """The signers an accessor family tells (field(name, k) reads one field of signer k):
    None where no signature was read (count -1), and the reason a signature could not be."""
    if count < 0:
        return None, ""
    signers = tuple(
        SignerInfo(*(_text(field(name, k) or b"") for name in _SIGNER_TEXT_FIELDS),
                   bool(field("signer_certificate_found", k)))
        for k in range(count))
    return signers, _text(error or b"")


_SIGNER_TEXT_FIELDS = ("signer_common_name", "signer_organization", "signer_serial",
                       "signer_issuer", "signing_time")


def _verified_signers() -> Tuple[Optional[Tuple[SignerInfo, ...]], str]:
    """Who signed the envelope the calling thread's last sign call verified."""
    return _signers(_lib.lumodez_last_verified_signer_count(),
                    _lib.lumodez_last_verified_signer_error(),
                    lambda name, k: getattr(_lib, "lumodez_last_verified_" + name)(k))


class SignatureVerdict:
    """One signature value of a document and what became of it: `index` 0 for the root's
    own signature, n for the root's n-th child element; `element` its qualified name;
    `verified`; `code` one of the VERDICT_ values (why a signature is not accepted:
    it does not verify, unsigned content, a duplicate child, ...); `reason` why not ("" when
    verified); `provider_status` the provider's status where the provider refused it (else
    None); `warning` what was allowed with allow_unsigned_content; `duplicate_of` the
    earlier child with the same signed bytes (0 if none); `signers` who signed, read from
    the signature (a tuple of SignerInfo, whatever the verdict; None where no signature was
    read: test mode, no signature value); `signer_error` why the signature could not be
    read as CMS ("" otherwise; `signers` is then empty)."""

    __slots__ = ("index", "element", "verified", "reason", "code", "provider_status",
                 "warning", "duplicate_of", "signers", "signer_error")

    def __init__(self, index: int, element: str, verified: bool, reason: str,
                 code: int = 0, provider_status: Optional[int] = None, warning: str = "",
                 duplicate_of: int = 0, signers: Optional[Tuple[SignerInfo, ...]] = None,
                 signer_error: str = "") -> None:
        self.index = index
        self.element = element
        self.verified = verified
        self.reason = reason
        self.code = code
        self.provider_status = provider_status
        self.warning = warning
        self.duplicate_of = duplicate_of
        self.signers = signers
        self.signer_error = signer_error

    def __repr__(self) -> str:
        state = "verified" if self.verified else f"refused: {self.reason!r}"
        return f"<SignatureVerdict {self.index} {self.element}: {state}>"


class SignatureReport:
    """The verdicts on one document's signatures, one per signature value (one for a
    document that root signed, one per child element for childs). `verified` is true when
    every one verified; the report iterates over its verdicts."""

    def __init__(self, verdicts: List[SignatureVerdict], not_covered: str = "") -> None:
        self.verdicts: Tuple[SignatureVerdict, ...] = tuple(verdicts)
        # childs: the parts of the packet that no signature covers; "" for root
        self.not_covered = not_covered

    @property
    def verified(self) -> bool:
        return bool(self.verdicts) and all(v.verified for v in self.verdicts)

    def __iter__(self) -> Iterator[SignatureVerdict]:
        return iter(self.verdicts)

    def __len__(self) -> int:
        return len(self.verdicts)

    def __getitem__(self, i: int) -> SignatureVerdict:
        return self.verdicts[i]

    def __repr__(self) -> str:
        return f"<SignatureReport verified={self.verified} {list(self.verdicts)!r}>"


def _check_signature(call, source: bytes, profile: object, childs: bool, test_mode: bool,
                     allow_unsigned_content: bool, function: str) -> SignatureReport:
    name = b"" if profile is None else _text_arg(profile, function, "profile")
    flags = ((_capi.CHECK_CHILDS if childs else 0) | (_capi.CHECK_TEST_MODE if test_mode else 0)
             | (_capi.CHECK_ALLOW_UNSIGNED if allow_unsigned_content else 0))
    pointer = ctypes.POINTER(_capi.Report)()
    status = call(source, name, flags, ctypes.byref(pointer))
    report = None
    if pointer:
        try:
            block = pointer.contents
            verdicts = []
            for i in range(block.count):
                v = block.verdicts[i]
                provider = _lib.lumodez_signature_verdict_provider_status(pointer, i)
                signers, signer_error = _signers(
                    _lib.lumodez_signature_verdict_signer_count(pointer, i),
                    _lib.lumodez_signature_verdict_signer_error(pointer, i),
                    lambda name, k, i=i: getattr(_lib, "lumodez_signature_verdict_" + name)(
                        pointer, i, k))
                verdicts.append(SignatureVerdict(
                    v.index, _text(v.element or b""), bool(v.verified), _text(v.reason or b""),
                    _lib.lumodez_signature_verdict_code(pointer, i), provider or None,
                    _text(_lib.lumodez_signature_verdict_warning(pointer, i) or b""),
                    _lib.lumodez_signature_verdict_duplicate_of(pointer, i), signers,
                    signer_error))
            report = SignatureReport(
                verdicts, _text(_lib.lumodez_signature_report_not_covered(pointer) or b""))
        finally:
            _lib.lumodez_signature_report_free(pointer)
    if report is not None and not report.verified:
        first = next(v for v in report if not v.verified)
        error = InvalidSignature(first.reason, status & 0xFFFFFFFF,
                                 _text(_lib.lumodez_last_error_source() or b""), report=report)
        error.code = first.code
        error.provider_status = first.provider_status or error.provider_status
        raise error
    _check(status)
    assert report is not None
    return report


def check_signature_xml(xml: XmlInput, profile: Optional[str] = None, *, childs: bool = False,
                        test_mode: bool = False,
                        allow_unsigned_content: bool = False) -> SignatureReport:
    """Checks the dsig:SigValue that ROOT (with childs=True: CHILDS) put into a document
    against the bytes the document gives without it, and that the document shows a reader
    nothing the signature does not cover (allow_unsigned_content=True accepts such content
    with a warning on the verdict). profile names the key profile that verifies (opened
    silently for the call); test_mode needs none: a signature then verifies when it equals
    the signed bytes. Returns the report when every signature is accepted; raises
    InvalidSignature (its report says which was not, and why: each verdict's code)."""
    return _check_signature(_lib.lumodez_check_signature_xml,
                            _xml_arg(xml, "check_signature_xml", "xml"), profile, childs,
                            test_mode, allow_unsigned_content, "check_signature_xml")


def check_signature_file(file: StrPath, profile: Optional[str] = None, *, childs: bool = False,
                         test_mode: bool = False,
                         allow_unsigned_content: bool = False) -> SignatureReport:
    """check_signature_xml for a file's document."""
    path = _path_arg(file)
    _require_readable(file)
    return _check_signature(_lib.lumodez_check_signature_file, path, profile, childs, test_mode,
                            allow_unsigned_content, "check_signature_file")


class _NotesVerifiedSigner:
    """After every sign call of the object: `verified_signers`, who signed the envelope a
    VERIFY checked (a tuple of SignerInfo, read from its signature whatever the verdict, so
    after an InvalidSignature whom the signature names, unproven; None after any other call,
    in test mode, or where the call failed before the signature was reached), and
    `verified_signer_error`, why that signature could not be read ("" otherwise)."""

    verified_signers: Optional[Tuple[SignerInfo, ...]] = None
    verified_signer_error: str = ""

    def _noting_signer(self, call, *args, **kwargs):
        try:
            return call(*args, **kwargs)
        finally:
            self.verified_signers, self.verified_signer_error = _verified_signers()


class Signer(_NotesVerifiedSigner):
    """The DEZSign object: every call opens the named key profile, runs the action and
    closes it again. Who signed a verified envelope: `verified_signers`."""

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
        """No provider: the signature of the data is the data itself; VERIFY then checks
        nothing."""
        return self._test_mode

    @test_mode.setter
    def test_mode(self, value: bool) -> None:
        _check(_lib.lumodez_sign_set_test_mode(self._live(), bool(value)))
        self._test_mode = bool(value)

    @property
    def silent(self) -> bool:
        """Never ask for a PIN: keys are opened with the provider's silent flag."""
        return self._silent

    @silent.setter
    def silent(self, value: bool) -> None:
        _check(_lib.lumodez_sign_set_silent(self._live(), bool(value)))
        self._silent = bool(value)

    def sign_xml(self, xml: XmlInput, profile: str, action: Action) -> str:
        """Runs the action on a document (str, or bytes as a file holds them) with the
        named key profile; returns the resulting document. A refused VERIFY raises
        InvalidSignature."""
        action = _action_arg(action, "sign_xml")
        return self._noting_signer(_out, _lib.lumodez_sign_xml, self._live(),
                                   _xml_arg(xml, "sign_xml", "xml"),
                                   _text_arg(profile, "sign_xml", "profile"), int(action),
                                   refusal_possible=action == Action.VERIFY)

    def sign_file(self, input_file: StrPath, output_file: StrPath, profile: str,
                  action: Action) -> None:
        """Runs the action on an XML file; the output file (UTF-8) is written only when
        the whole result is ready, in place of the old one (see the README's "What
        happens to your files")."""
        action = _action_arg(action, "sign_file")
        source, target = _path_arg(input_file), _path_arg(output_file)
        name = _text_arg(profile, "sign_file", "profile")
        _require_readable(input_file)
        handle = self._live()
        self._noting_signer(lambda: _check(
            _lib.lumodez_sign_file(handle, source, target, name, int(action)),
            action == Action.VERIFY))

    def close(self) -> None:
        """Releases the object; later calls raise LumoDEZError."""
        if self._handle is not None:
            _lib.lumodez_sign_release(self._handle)
            self._handle = None

    def __enter__(self) -> "Signer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()


class Profile(_NotesVerifiedSigner):
    """The Profile object: one key profile held open across many sign calls. As a context
    manager it is opened on entry and closed (and released) on exit. Who signed a verified
    envelope: `verified_signers`."""

    def __init__(self, name: str = "", test_mode: bool = False,
                 keyload: Keyload = Keyload.DEFAULT) -> None:
        encoded = _text_arg(name, "Profile", "name")
        if isinstance(keyload, bool) or not isinstance(keyload, int):
            raise _type_error("Profile", "keyload", "Keyload", keyload)
        keyload = Keyload(keyload)
        handle = ctypes.c_void_p()
        _check(_lib.lumodez_profile_create(ctypes.byref(handle)))
        self._handle: Optional[ctypes.c_void_p] = handle
        _check(_lib.lumodez_profile_set_name(handle, encoded))
        _check(_lib.lumodez_profile_set_test_mode(handle, bool(test_mode)))
        _check(_lib.lumodez_profile_set_keyload(handle, int(keyload)))
        self.name = name

    def _live(self) -> ctypes.c_void_p:
        if self._handle is None:
            raise LumoDEZError("the Profile is closed")
        return self._handle

    def open(self) -> None:
        """Opens the key profile (the provider is loaded on the first open outside test
        mode). Opens are counted: each needs its close."""
        _check(_lib.lumodez_profile_open(self._live()))

    def close(self) -> None:
        """Closes one open; the last close lets the key profile go."""
        _check(_lib.lumodez_profile_close(self._live()))

    def sign(self, xml: XmlInput, action: Action) -> str:
        """Runs the action on a document (str, or bytes as a file holds them) with the
        open profile; returns the resulting document. A refused VERIFY raises
        InvalidSignature."""
        action = _action_arg(action, "sign")
        return self._noting_signer(_out, _lib.lumodez_profile_sign, self._live(),
                                   _xml_arg(xml, "sign", "xml"), int(action),
                                   refusal_possible=action == Action.VERIFY)

    def sign_file(self, input_file: StrPath, output_file: StrPath, action: Action) -> None:
        """Runs the action on an XML file (read as a file load reads it) into an output
        file, written by the library as Signer.sign_file writes it: UTF-8, whole or not at
        all, in place of the old file."""
        action = _action_arg(action, "sign_file")
        source, target = _path_arg(input_file), _path_arg(output_file)
        _require_readable(input_file)
        handle = self._live()
        self._noting_signer(lambda: _check(
            _lib.lumodez_profile_sign_file(handle, source, target, int(action)),
            action == Action.VERIFY))

    def release(self) -> None:
        """Releases the object (closing what is still open); later calls raise
        LumoDEZError."""
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
        if getattr(self, "_handle", None) is not None:
            self.release()

"""The Python module over the C API. LUMODEZ_LIBRARY names the library under test; with
SPKI1_TOOL (and the provider found by LUMODEZ_PROVIDER or the default name) the real
signatures are made and checked with openssl cms."""
import base64
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import lumodez
from lumodez import Action

DOCUMENT = ('<ed:Packet xmlns:ed="urn:cbr-ru:ed:v2.0">'
            '<ed:Item n="1">Платёж</ed:Item><ed:Item n="2">второй</ed:Item></ed:Packet>')
SIGVALUE = re.compile(r'<dsig:SigValue xmlns:dsig="urn:dez-ru:dsig:v1\.1">([^<]*)</dsig:SigValue>')
HEADER = '<?xml version="1.0" encoding="UTF-8"?>'


class TestMode(unittest.TestCase):
    """No provider: the signature of the data is the data itself."""

    def test_root_signs_the_numbered_canonical_text(self):
        signed = lumodez.Signer(test_mode=True).sign_xml(DOCUMENT, "k", Action.ROOT)
        self.assertTrue(signed.startswith(HEADER))
        values = SIGVALUE.findall(signed)
        self.assertEqual(len(values), 1)
        self.assertEqual(base64.b64decode(values[0]).decode("utf-8"),
                         lumodez.canonical_text(DOCUMENT, numbered=True))

    def test_childs_sign_each_child(self):
        signed = lumodez.Signer(test_mode=True).sign_xml(DOCUMENT, "k", Action.CHILDS)
        self.assertEqual(len(SIGVALUE.findall(signed)), 2)

    def test_envelope_round_trips_through_both_objects(self):
        # An envelope carries the fixed-prefix canonical text; a Base64 envelope the data.
        cases = [(Action.ENVELOPE, DOCUMENT, lumodez.canonical_text(DOCUMENT)),
                 (Action.BASE64_ENVELOPE, base64.b64encode(DOCUMENT.encode()).decode(), DOCUMENT)]
        with lumodez.Profile("k", test_mode=True) as profile:
            for wrap, source, carried in cases:
                envelope = profile.sign(source, wrap)
                self.assertIn("sen:SigEnvelope", envelope)
                for unwrap in (Action.VERIFY, Action.EXTRACT):
                    with self.subTest(wrap=wrap.name, unwrap=unwrap.name):
                        for back in (profile.sign(envelope, unwrap),
                                     lumodez.Signer(test_mode=True).sign_xml(envelope, "k", unwrap)):
                            self.assertEqual(back.replace(HEADER, "", 1), carried)

    def test_files_give_what_text_gives(self):
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, "in.xml")
            with open(source, "w", encoding="windows-1251") as f:
                f.write('<?xml version="1.0" encoding="windows-1251"?>' + DOCUMENT)
            expected = lumodez.Signer(test_mode=True).sign_xml(DOCUMENT, "k", Action.ROOT)
            lumodez.Signer(test_mode=True).sign_file(source, os.path.join(work, "a.xml"), "k",
                                                     Action.ROOT)
            with lumodez.Profile("k", test_mode=True) as profile:
                profile.sign_file(source, os.path.join(work, "b.xml"), Action.ROOT)
            for name in ("a.xml", "b.xml"):
                with open(os.path.join(work, name), encoding="utf-8") as f:
                    self.assertEqual(f.read(), expected, name)

    def test_closed_objects_refuse_work(self):
        signer = lumodez.Signer(test_mode=True)
        signer.close()
        with self.assertRaises(lumodez.LumoDEZError):
            signer.sign_xml(DOCUMENT, "k", Action.ROOT)
        with lumodez.Profile("k", test_mode=True) as profile:
            pass
        with self.assertRaises(lumodez.LumoDEZError):
            profile.sign(DOCUMENT, Action.ROOT)


def _signers():
    """Both file writers: (name, sign_file(input, output, action))."""
    def signer(source, output, action=Action.ROOT):
        lumodez.Signer(test_mode=True).sign_file(source, output, "k", action)

    def profile(source, output, action=Action.ROOT):
        with lumodez.Profile("k", test_mode=True) as p:
            p.sign_file(source, output, action)
    return [("Signer", signer), ("Profile", profile)]


class Files(unittest.TestCase):
    """Both sign_file methods hold what the README's "What happens to your files" says of
    the command line, and fail as open() would."""

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.source = self.path("in.xml")
        with open(self.source, "w", encoding="utf-8") as f:
            f.write(DOCUMENT)
        self.expected = lumodez.Signer(test_mode=True).sign_xml(DOCUMENT, "k", Action.ROOT)

    def tearDown(self):
        shutil.rmtree(self.work)

    def path(self, *names):
        return os.path.join(self.work, *names)

    def read(self, name):
        with open(self.path(name), encoding="utf-8") as f:
            return f.read()

    def test_results_land_as_the_command_line_puts_them(self):
        def mode_600(out):
            with open(out, "w") as f:
                f.write("old")
            os.chmod(out, 0o600)

        def link(out):
            os.symlink("target.xml", out)

        def hard_link(out):
            with open(out, "w") as f:
                f.write("old")
            os.link(out, self.path("other-name.xml"))

        # (case, prepare the output, check after a successful sign)
        cases = [
            ("new file", lambda out: None, lambda out: self.assertEqual(self.read("out.xml"), self.expected)),
            ("mode kept", mode_600, lambda out: self.assertEqual(os.stat(out).st_mode & 0o777, 0o600)),
            ("link followed, stays a link", link, lambda out: (
                self.assertTrue(os.path.islink(out)),
                self.assertEqual(self.read("target.xml"), self.expected))),
            ("hard link keeps the old content", hard_link,
             lambda out: self.assertEqual(self.read("other-name.xml"), "old")),
        ]
        for writer, sign_file in _signers():
            for case, prepare, check in cases:
                with self.subTest(writer=writer, case=case):
                    for name in os.listdir(self.work):
                        if name != "in.xml":
                            os.remove(self.path(name))
                    out = self.path("out.xml")
                    prepare(out)
                    sign_file(self.source, out)
                    check(out)
                    self.assertEqual(sorted(n for n in os.listdir(self.work) if n.startswith(".")), [])

    def test_a_device_is_written_in_place(self):
        import stat
        for writer, sign_file in _signers():
            with self.subTest(writer=writer):
                sign_file(self.source, os.devnull)
                self.assertTrue(stat.S_ISCHR(os.stat(os.devnull).st_mode))

    def test_failures_raise_the_oserror_and_leave_nothing(self):
        os.mkdir(self.path("folder"))
        with open(self.path("broken.xml"), "w") as f:
            f.write("<a><b></a>")
        with open(self.path("old.xml"), "w") as f:
            f.write("old")
        cases = [  # (case, input, output, exception)
            ("missing input", self.path("none.xml"), self.path("o1.xml"), FileNotFoundError),
            ("input is a folder", self.path("folder"), self.path("o2.xml"), IsADirectoryError),
            ("output in a missing folder", self.source, self.path("no", "o3.xml"), FileNotFoundError),
            ("output is a folder", self.source, self.path("folder"), OSError),
            ("broken input keeps the old output", self.path("broken.xml"), self.path("old.xml"),
             lumodez.XmlParserError),
        ]
        for writer, sign_file in _signers():
            for case, source, output, error in cases:
                with self.subTest(writer=writer, case=case):
                    with self.assertRaises(error) as caught:
                        sign_file(source, output)
                    if issubclass(error, OSError):  # named as given
                        self.assertIn(caught.exception.filename, (source, output))
                    self.assertEqual(sorted(os.listdir(self.work)),
                                     ["broken.xml", "folder", "in.xml", "old.xml"])
                    self.assertEqual(os.listdir(self.path("folder")), [])
                    self.assertEqual(self.read("old.xml"), "old")

    def test_names_as_str_bytes_and_pathlike(self):
        import pathlib
        for writer, sign_file in _signers():
            for kind, convert in (("str", str), ("bytes", os.fsencode), ("Path", pathlib.Path)):
                with self.subTest(writer=writer, kind=kind):
                    out = self.path("out-" + kind + ".xml")
                    sign_file(convert(self.source), convert(out))
                    self.assertEqual(self.read("out-" + kind + ".xml"), self.expected)


class Arguments(unittest.TestCase):
    """Wrong types and values are refused as the standard library refuses them."""

    def test_refusals(self):
        signer = lumodez.Signer(test_mode=True)
        cases = [  # (call, exception, message)
            (lambda: signer.sign_xml(None, "k", Action.ROOT), TypeError,
             "sign_xml() argument 'xml' must be str or bytes, not NoneType"),
            (lambda: signer.sign_xml("<a/>", None, Action.ROOT), TypeError,
             "sign_xml() argument 'profile' must be str, not NoneType"),
            (lambda: signer.sign_xml("<a/>", "k", "root"), TypeError,
             "sign_xml() argument 'action' must be Action, not str"),
            (lambda: signer.sign_xml("<a/>", "k", True), TypeError,
             "sign_xml() argument 'action' must be Action, not bool"),
            (lambda: signer.sign_xml("<a/>", "k", 99), ValueError, "99 is not a valid Action"),
            (lambda: signer.sign_file(None, "o.xml", "k", Action.ROOT), TypeError,
             "expected str, bytes or os.PathLike object, not NoneType"),
            (lambda: signer.sign_file("a\0b", "o.xml", "k", Action.ROOT), ValueError,
             "embedded null byte"),
            (lambda: lumodez.canonical_text(1), TypeError,
             "canonical_text() argument 'xml' must be str or bytes, not int"),
            (lambda: lumodez.Profile(None), TypeError,
             "Profile() argument 'name' must be str, not NoneType"),
            (lambda: lumodez.Profile("k", keyload=7), ValueError, "7 is not a valid Keyload"),
            (lambda: lumodez.check_signature_xml(b"<a/>", 5), TypeError,
             "check_signature_xml() argument 'profile' must be str, not int"),
        ]
        for call, error, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(error) as caught:
                    call()
                self.assertEqual(str(caught.exception), message)

    def test_bytes_are_read_as_a_file_is(self):
        expected = lumodez.Signer(test_mode=True).sign_xml(DOCUMENT, "k", Action.ROOT)
        cases = [
            ("UTF-8", DOCUMENT.encode("utf-8")),
            ("declared windows-1251",
             ('<?xml version="1.0" encoding="windows-1251"?>' + DOCUMENT).encode("cp1251")),
            ("UTF-16 with its mark", b"\xff\xfe" + DOCUMENT.encode("utf-16-le")),
            ("UTF-8 with its mark", b"\xef\xbb\xbf" + DOCUMENT.encode("utf-8")),
        ]
        for case, data in cases:
            with self.subTest(case=case):
                self.assertEqual(lumodez.Signer(test_mode=True).sign_xml(data, "k", Action.ROOT),
                                 expected)

    def test_version_of_module_and_library_agree(self):
        self.assertEqual(lumodez.__version__, lumodez.version())


class SignatureChecks(unittest.TestCase):
    """check_signature_xml / _file on documents signed in test mode."""

    def test_reports_and_refusals(self):
        signer = lumodez.Signer(test_mode=True)
        root = signer.sign_xml(DOCUMENT, "k", Action.ROOT)
        childs = signer.sign_xml(DOCUMENT, "k", Action.CHILDS)
        tampered = root.replace("Платёж", "Платеж")
        end = root.rindex("</")
        commented = root[:end] + "<!-- x -->" + root[end:]
        OK, FAILED, UNSIGNED = lumodez.VERDICT_OK, lumodez.VERDICT_FAILED, lumodez.VERDICT_UNSIGNED_CONTENT
        cases = [  # (case, document, childs, allow unsigned, verified, indexes, codes)
            ("root", root, False, False, [True], [0], [OK]),
            ("root as bytes", root.encode("utf-8"), False, False, [True], [0], [OK]),
            ("childs", childs, True, False, [True, True], [1, 2], [OK, OK]),
            ("changed after signing", tampered, False, False, [False], [0], [FAILED]),
            ("no signature", DOCUMENT, False, False, [False], [0], [lumodez.VERDICT_NO_SIGNATURE]),
            ("a comment nobody signed", commented, False, False, [False], [0], [UNSIGNED]),
            ("the comment allowed", commented, False, True, [True], [0],
             [lumodez.VERDICT_OK_UNSIGNED_ALLOWED]),
            # The root's signature value is a child element too.
            ("root signature checked as childs", root, True, False, [False] * 3, [1, 2, 3], None),
        ]
        for case, document, by_childs, allow, verified, indexes, codes in cases:
            with self.subTest(case=case):
                try:
                    report = lumodez.check_signature_xml(document, childs=by_childs,
                                                         test_mode=True,
                                                         allow_unsigned_content=allow)
                    self.assertTrue(all(verified), "refusal not raised")
                except lumodez.InvalidSignature as e:
                    self.assertFalse(all(verified), e)
                    report = e.report
                    first = next(v for v in report if not v.verified)
                    self.assertEqual(e.reason, first.reason)
                    self.assertEqual(e.code, first.code)
                    self.assertTrue(e.reason)
                self.assertEqual([v.verified for v in report], verified)
                self.assertEqual([v.index for v in report], indexes)
                self.assertEqual(report.verified, all(verified))
                if codes is not None:
                    self.assertEqual([v.code for v in report], codes)
                if allow:
                    self.assertTrue(report[0].warning)
        self.assertIn("the root element", lumodez.check_signature_xml(
            childs, childs=True, test_mode=True).not_covered)

    def test_test_mode_reads_no_signer(self):
        signer = lumodez.Signer(test_mode=True)
        report = lumodez.check_signature_xml(signer.sign_xml(DOCUMENT, "k", Action.ROOT),
                                             test_mode=True)
        self.assertEqual((report[0].signers, report[0].signer_error), (None, ""))
        with lumodez.Profile("k", test_mode=True) as profile:
            for obj, call in ((signer, lambda e: signer.sign_xml(e, "k", Action.VERIFY)),
                              (profile, lambda e: profile.sign(e, Action.VERIFY))):
                call(signer.sign_xml(DOCUMENT, "k", Action.ENVELOPE))
                self.assertEqual((obj.verified_signers, obj.verified_signer_error), (None, ""))

    def test_file_form_and_its_errors(self):
        with tempfile.TemporaryDirectory() as work:
            signed = os.path.join(work, "signed.xml")
            lumodez.Signer(test_mode=True).sign_file(_write(work, "in.xml", DOCUMENT), signed,
                                                     "k", Action.ROOT)
            report = lumodez.check_signature_file(os.fsencode(signed), test_mode=True)
            self.assertEqual(report[0].element.split(":")[1], "Packet")
            with self.assertRaises(FileNotFoundError):
                lumodez.check_signature_file(os.path.join(work, "none.xml"), test_mode=True)
            with self.assertRaises(lumodez.XmlParserError):
                lumodez.check_signature_xml("<a>", test_mode=True)


def _profile_verify(envelope):
    with lumodez.Profile("bank", keyload=lumodez.Keyload.SILENT) as profile:
        return profile.sign(envelope, Action.VERIFY)


def _write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


class Errors(unittest.TestCase):
    def test_parse_error_carries_code_reason_and_position(self):
        with self.assertRaises(lumodez.XmlParserError) as caught:
            lumodez.Signer(test_mode=True).sign_xml("<a>\n <b></a>", "k", Action.ROOT)
        e = caught.exception
        self.assertEqual((e.line, e.column), (2, 5))
        self.assertIn("'b'", e.reason)
        self.assertEqual(e.status, 0x8000FFFF)
        self.assertEqual(e.source, "LumoDEZLib.DEZSign")
        with self.assertRaises(lumodez.XmlParserError):
            lumodez.canonical_text("<a>")

    def test_zero_character_is_refused_not_cut(self):
        with self.assertRaises(ValueError):
            lumodez.canonical_text("<a/>\0<b/>")

    def test_missing_provider_library_is_named(self):
        # A process of its own: the provider library, once loaded, stays for the process.
        code = ("import lumodez\n"
                "lumodez.set_provider_library('/nonexistent-lumo-dir/libvendor.so')\n"
                "try:\n"
                "    lumodez.Profile('k').open()\n"
                "except lumodez.ProviderError as e:\n"
                "    print(repr((e.function_name, e.provider_status)), e.message)\n"
                "try:\n"
                "    lumodez.Signer().sign_xml('<a/>', 'k', lumodez.Action.VERIFY)\n"
                "except lumodez.ProviderError as e:\n"
                "    print(type(e).__name__)\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True).stdout
        self.assertTrue(out.startswith("('', None) /nonexistent-lumo-dir/libvendor.so"), out)
        # A provider that cannot be loaded refuses no document.
        self.assertTrue(out.endswith("\nProviderError\n"), out)


@unittest.skipUnless(os.environ.get("SPKI1_TOOL"), "SPKI1_TOOL names spki1-tool")
class ReferenceProvider(unittest.TestCase):
    """Real GOST signatures from the reference provider, checked by openssl."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        os.environ["SPKI1_HOME"] = os.path.join(cls.work, "home")
        # (A sanitizer runtime preloaded into this interpreter is not the tool's.)
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run([os.environ["SPKI1_TOOL"], "create", "bank", "--subject",
                        "CN=Clerk,O=Test Bank"], check=True, stdout=subprocess.DEVNULL, env=env)
        cert = os.path.join(os.environ["SPKI1_HOME"], "bank", "cert.pem")
        cls.serial = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-serial"],
                                    check=True, capture_output=True, text=True
                                    ).stdout.strip().split("=", 1)[1]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def test_root_signature_verifies_with_openssl(self):
        with lumodez.Profile("bank", keyload=lumodez.Keyload.SILENT) as profile:
            signed = profile.sign(DOCUMENT, Action.ROOT)
        cms = os.path.join(self.work, "sig.der")
        content = os.path.join(self.work, "signed.bin")
        with open(cms, "wb") as f:
            f.write(base64.b64decode(SIGVALUE.search(signed).group(1)))
        with open(content, "wb") as f:
            f.write(lumodez.canonical_text(DOCUMENT, numbered=True).encode("utf-8"))
        cert = os.path.join(os.environ["SPKI1_HOME"], "bank", "cert.pem")
        check = subprocess.run(["openssl", "cms", "-verify", "-engine", "gost", "-binary",
                                "-inform", "DER", "-in", cms, "-content", content,
                                "-CAfile", cert, "-out", os.devnull],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn("Verification successful", check.stderr)

    def test_real_signatures_check_and_refusals_raise_invalid_signature(self):
        with lumodez.Profile("bank", keyload=lumodez.Keyload.SILENT) as profile:
            signed = profile.sign(DOCUMENT, Action.ROOT)
            envelope = profile.sign(DOCUMENT, Action.ENVELOPE)
        report = lumodez.check_signature_xml(signed, "bank")
        self.assertEqual([(v.index, v.verified, v.reason) for v in report], [(0, True, "")])
        # An envelope whose document is another one than the signed.
        other = base64.b64encode(lumodez.canonical_text(DOCUMENT.replace("второй", "третий"))
                                 .encode("utf-8")).decode("ascii")
        forged = re.sub(r"(<sen:Object[^>]*>)[^<]*", lambda m: m.group(1) + other, envelope)
        self.assertNotEqual(forged, envelope)
        cases = [
            ("check of a changed document",
             lambda: lumodez.check_signature_xml(signed.replace("Платёж", "Платеж"), "bank")),
            ("verify through the Signer",
             lambda: lumodez.Signer(silent=True).sign_xml(forged, "bank", Action.VERIFY)),
            ("verify through the Profile", lambda: _profile_verify(forged)),
        ]
        for case, call in cases:
            with self.subTest(case=case):
                with self.assertRaises(lumodez.InvalidSignature) as caught:
                    call()
                self.assertIsInstance(caught.exception, lumodez.ProviderError)
                self.assertTrue(caught.exception.reason)

    def assertClerk(self, signers):
        self.assertEqual(len(signers), 1)
        s = signers[0]
        self.assertEqual((s.common_name, s.organization, s.serial, s.issuer, s.certificate_found),
                         ("Clerk", "Test Bank", self.serial, "CN=Clerk, O=Test Bank", True))
        self.assertRegex(s.signing_time, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC$")

    def test_every_verdict_names_who_signed(self):
        with lumodez.Profile("bank", keyload=lumodez.Keyload.SILENT) as profile:
            signed = profile.sign(DOCUMENT, Action.ROOT)
            envelope = profile.sign(DOCUMENT, Action.ENVELOPE)
            profile.sign(envelope, Action.VERIFY)
            self.assertClerk(profile.verified_signers)
            profile.sign(DOCUMENT, Action.ROOT)
            self.assertIsNone(profile.verified_signers)
        report = lumodez.check_signature_xml(signed, "bank")
        self.assertClerk(report[0].signers)
        self.assertEqual(report[0].signer_error, "")
        # Refused: whom the signature names; a value that is no CMS: why not.
        with self.assertRaises(lumodez.InvalidSignature) as caught:
            lumodez.check_signature_xml(signed.replace("Платёж", "Платеж"), "bank")
        self.assertClerk(caught.exception.report[0].signers)
        forged = SIGVALUE.sub('<dsig:SigValue xmlns:dsig="urn:dez-ru:dsig:v1.1">Zm9yZ2Vk'
                              '</dsig:SigValue>', signed)
        with self.assertRaises(lumodez.InvalidSignature) as caught:
            lumodez.check_signature_xml(forged, "bank")
        self.assertEqual(caught.exception.report[0].signers, ())
        self.assertTrue(caught.exception.report[0].signer_error)
        # An envelope refused by the provider: whom its signature names.
        other = base64.b64encode(lumodez.canonical_text(DOCUMENT.replace("второй", "третий"))
                                 .encode("utf-8")).decode("ascii")
        signer = lumodez.Signer(silent=True)
        with self.assertRaises(lumodez.InvalidSignature):
            signer.sign_xml(re.sub(r"(<sen:Object[^>]*>)[^<]*", lambda m: m.group(1) + other,
                                   envelope), "bank", Action.VERIFY)
        self.assertClerk(signer.verified_signers)

    def test_unknown_profile_is_a_provider_error_with_its_entry_point(self):
        with self.assertRaises(lumodez.ProviderError) as caught:
            lumodez.Signer(silent=True).sign_xml(DOCUMENT, "no-such-profile", Action.ROOT)
        e = caught.exception
        self.assertEqual(e.function_name, "VCERT_Initialize")
        self.assertEqual(e.message[:8], "%08X" % e.provider_status)


if __name__ == "__main__":
    unittest.main()

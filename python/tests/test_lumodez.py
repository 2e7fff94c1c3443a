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
                "    print(repr((e.function_name, e.provider_status)), e.message)\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True).stdout
        self.assertTrue(out.startswith("('', None) /nonexistent-lumo-dir/libvendor.so"), out)


@unittest.skipUnless(os.environ.get("SPKI1_TOOL"), "SPKI1_TOOL names spki1-tool")
class ReferenceProvider(unittest.TestCase):
    """Real GOST signatures from the reference provider, checked by openssl."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        os.environ["SPKI1_HOME"] = os.path.join(cls.work, "home")
        subprocess.run([os.environ["SPKI1_TOOL"], "create", "bank"], check=True,
                       stdout=subprocess.DEVNULL)

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

    def test_unknown_profile_is_a_provider_error_with_its_entry_point(self):
        with self.assertRaises(lumodez.ProviderError) as caught:
            lumodez.Signer(silent=True).sign_xml(DOCUMENT, "no-such-profile", Action.ROOT)
        e = caught.exception
        self.assertEqual(e.function_name, "VCERT_Initialize")
        self.assertEqual(e.message[:8], "%08X" % e.provider_status)


if __name__ == "__main__":
    unittest.main()

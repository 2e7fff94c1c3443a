// Small helpers shared by the signing-core tests.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/types.h"
#include "canon/canonical.h"
#include "dom/dom.h"
#include "dom/xml_helpers.h"

namespace SignTest {

namespace fs = std::filesystem;
using Lumo::Base::ByteString;
using Lumo::Base::WideString;

// A fresh folder for one test, removed with everything in it afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "lumo_sign_XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    char* made = ::mkdtemp(buf.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  // Names of everything in the folder, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

inline std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// What a reader of the FIFO receives while write runs. A call that fails early never
// opens the FIFO and one that fails late opens it and writes nothing: either way the
// reader is let go by an empty writer of its own once write has returned.
inline std::string ReadFifoDuring(const std::string& fifo, const std::function<void()>& write) {
  std::string received;
  std::atomic<bool> read{false};
  std::thread reader([&] {
    received = ReadFile(fifo);
    read = true;
  });
  write();
  while (!read) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  reader.join();
  return received;
}

inline WideString W(std::string_view utf8) { return Lumo::Base::WideFromUtf8(utf8); }
inline std::string U(Lumo::Base::WideView wide) { return Lumo::Base::Utf8FromWide(wide); }

inline const std::string kHeader(Lumo::Base::XmlHeaderAnsi);

// The worked example of the exchange's canonical form: input file, fixed-prefix canonical
// text and the markup the document model gives for it parsed back.
inline const std::string kExampleFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- c --><ED101 xmlns=\"urn:dez-ru:ed:v2.0\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"urn:x a.xsd\" "
    "EDNo=\"1\" EDDate=\"2026-01-01\">\n"
    "  <Payer INN=\"77\"><Name>ООО \"Ромашка\"</Name></Payer><!--note-->\n"
    "  <Purpose>Оплата &amp; &lt;товар&gt;</Purpose><Empty/>\n"
    "</ED101>\n";
inline const std::string kExampleFixed =
    "<ed:ED101 xmlns:ed=\"urn:dez-ru:ed:v2.0\" EDDate=\"2026-01-01\" EDNo=\"1\"><ed:Payer "
    "INN=\"77\"><ed:Name>ООО \"Ромашка\"</ed:Name></ed:Payer><ed:Purpose>Оплата &amp; "
    "&lt;товар&gt;</ed:Purpose><ed:Empty></ed:Empty></ed:ED101>";
inline const std::string kExampleNumbered =
    "<n1:ED101 xmlns:n1=\"urn:dez-ru:ed:v2.0\" EDDate=\"2026-01-01\" EDNo=\"1\"><n1:Payer "
    "INN=\"77\"><n1:Name>ООО \"Ромашка\"</n1:Name></n1:Payer><n1:Purpose>Оплата &amp; "
    "&lt;товар&gt;</n1:Purpose><n1:Empty></n1:Empty></n1:ED101>";
// The fixed form as the document model writes it back (empty element in short form).
inline const std::string kExampleFixedXml =
    "<ed:ED101 xmlns:ed=\"urn:dez-ru:ed:v2.0\" EDDate=\"2026-01-01\" EDNo=\"1\"><ed:Payer "
    "INN=\"77\"><ed:Name>ООО \"Ромашка\"</ed:Name></ed:Payer><ed:Purpose>Оплата &amp; "
    "&lt;товар&gt;</ed:Purpose><ed:Empty/></ed:ED101>";
// The same document as wide text (the declaration's encoding does not matter there).
inline WideString ExampleText() { return W(kExampleFile); }

// Fixed-prefix canonical text (UTF-8) of a document given as wide text.
inline ByteString FixedForm(Lumo::Base::WideView text) {
  return Lumo::Canon::CanonicalText(Lumo::Dom::LoadXmlString(text),
                                    Lumo::Canon::PrefixScheme::Fixed);
}
// The bytes the Root action signs: numbered-prefix canonical text of the fixed form parsed
// back.
inline ByteString NumberedOfFixed(Lumo::Base::WideView text) {
  ByteString fixed = FixedForm(text);
  return Lumo::Canon::CanonicalText(Lumo::Dom::LoadXmlString(Lumo::Base::Utf8Decode(fixed)),
                                    Lumo::Canon::PrefixScheme::Numbered);
}

// The markup (as the document model writes it) of the fixed form of a document.
inline WideString FixedXml(Lumo::Base::WideView text) {
  return Lumo::Dom::LoadXmlString(Lumo::Base::Utf8Decode(FixedForm(text))).xml();
}

// Strips the XML declaration every profile result starts with (fails the test if absent).
inline WideString Body(const WideString& result) {
  EXPECT_EQ(result.substr(0, Lumo::Base::XmlHeader.size()), Lumo::Base::XmlHeader);
  return result.size() >= Lumo::Base::XmlHeader.size() ? result.substr(Lumo::Base::XmlHeader.size())
                                                       : WideString();
}

inline std::string Envelope(const std::string& signatureValue, const std::string& object) {
  return "<sen:SigEnvelope xmlns:sen=\"urn:dez-ru:dsig:env:v1.1\"><sen:SigContainer>"
         "<dsig:MACValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">" +
         signatureValue + "</dsig:MACValue></sen:SigContainer><sen:Object>" + object +
         "</sen:Object></sen:SigEnvelope>";
}

// The signature value element's bytes of a signed element (its first child element).
inline ByteString SignatureBytes(const Lumo::Dom::Node& element) {
  Lumo::Dom::Node sig = Lumo::Dom::FindChildElement(element, "");
  EXPECT_TRUE(sig);
  if (!sig) return {};
  EXPECT_EQ(U(sig.nodeName()), "dsig:SigValue");
  return Lumo::Base::DecodeBase64(Lumo::Base::WideToAnsi(sig.text()));
}

// Whether a child element's markup, taken out of its document, carries the namespace
// declarations its names rely on (as the platform document model writes it). The Childs
// action parses each child's markup on its own, so on namespaced documents it needs this.
inline bool ChildXmlCarriesNamespaces() {
  try {
    Lumo::Dom::Node root = Lumo::Dom::LoadXmlString(u"<p:a xmlns:p=\"urn:p\"><p:b/></p:a>");
    return static_cast<bool>(Lumo::Dom::LoadXmlString(Lumo::Dom::FindChildElement(root, "").xml()));
  } catch (...) {
    return false;
  }
}

#define SKIP_UNLESS_CHILD_XML_CARRIES_NAMESPACES()                                    \
  do {                                                                                \
    if (!SignTest::ChildXmlCarriesNamespaces())                                       \
      GTEST_SKIP() << "the document model does not yet write the in-scope namespace " \
                      "declarations into a child element's markup";                   \
  } while (0)

// Action codes to run in a loop: Childs (1) only when child markup carries namespaces.
inline std::vector<uint8_t> Actions(std::initializer_list<uint8_t> codes) {
  std::vector<uint8_t> out;
  for (uint8_t c : codes) {
    if (c == Lumo::Base::saChilds && !ChildXmlCarriesNamespaces()) continue;
    out.push_back(c);
  }
  return out;
}

}  // namespace SignTest

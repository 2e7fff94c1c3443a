// The signers of a CMS SignedData, read with the DER reader of base/; see cms_signer.h.
//
//   ContentInfo ::= SEQUENCE { contentType OID signedData, [0] EXPLICIT SignedData }
//   SignedData  ::= SEQUENCE { version, digestAlgorithms SET, encapContentInfo SEQUENCE,
//                              [0] IMPLICIT certificates OPTIONAL, [1] IMPLICIT crls OPTIONAL,
//                              signerInfos SET OF SignerInfo }
//   SignerInfo  ::= SEQUENCE { version, sid (IssuerAndSerialNumber | [0] keyIdentifier),
//                              digestAlgorithm, [0] IMPLICIT signedAttrs OPTIONAL, ... }
#include "sign/cms_signer.h"

#include <cstdint>

#include "base/der.h"
#include "base/encoding.h"

namespace Lumo::Sign {

using Lumo::Base::DerClass;
using Lumo::Base::DerElement;
using Lumo::Base::DerReader;
namespace DerTag = Lumo::Base::DerTag;

namespace {

// Content bytes of the object identifiers looked for.
constexpr std::string_view kSignedData = "\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02";
constexpr std::string_view kSigningTime = "\x2A\x86\x48\x86\xF7\x0D\x01\x09\x05";
constexpr std::string_view kCommonName = "\x55\x04\x03";
constexpr std::string_view kOrganization = "\x55\x04\x0A";
constexpr std::string_view kSubjectKeyId = "\x55\x1D\x0E";

// A malformed signature, with the reason.
struct Malformed {
  std::string why;
};

DerElement Expect(DerReader& r, DerClass cls, uint32_t number, const char* what) {
  DerElement e;
  if (!r.NextIf(cls, number, e))
    throw Malformed{r.Failed() ? r.Error() + " (" + what + ")" : std::string(what) + " missing"};
  return e;
}

DerElement ExpectUniversal(DerReader& r, uint32_t number, const char* what) {
  return Expect(r, DerClass::Universal, number, what);
}

// Where a certificate's identifying parts are.
struct CertificateView {
  std::string_view serial, issuer, subject, keyId;  // issuer, subject: whole Name
};

CertificateView ReadCertificate(const DerElement& certificate) {
  DerReader outer(certificate.content);
  DerElement tbs = ExpectUniversal(outer, DerTag::kSequence, "certificate body");
  DerReader r = outer.Inside(tbs);
  CertificateView view;
  DerElement e;
  r.NextIf(DerClass::Context, 0, e);  // version
  view.serial = ExpectUniversal(r, DerTag::kInteger, "serial number").content;
  ExpectUniversal(r, DerTag::kSequence, "signature algorithm");
  view.issuer = ExpectUniversal(r, DerTag::kSequence, "issuer").whole;
  ExpectUniversal(r, DerTag::kSequence, "validity");
  view.subject = ExpectUniversal(r, DerTag::kSequence, "subject").whole;
  while (r.Next(e)) {
    if (!e.IsContext(3)) continue;
    DerReader list = r.Inside(e);
    DerElement extensions = ExpectUniversal(list, DerTag::kSequence, "extensions");
    DerReader each = list.Inside(extensions);
    DerElement extension;
    while (each.Next(extension)) {
      DerReader parts = each.Inside(extension);
      DerElement oid = ExpectUniversal(parts, DerTag::kOid, "extension");
      if (oid.content != kSubjectKeyId) continue;
      parts.NextIf(DerClass::Universal, 1, e);  // critical
      DerElement wrapped = ExpectUniversal(parts, DerTag::kOctetString, "extension value");
      DerReader inner = parts.Inside(wrapped);
      view.keyId = ExpectUniversal(inner, DerTag::kOctetString, "key identifier").content;
    }
    if (each.Failed()) throw Malformed{each.Error() + " (extensions)"};
  }
  if (r.Failed()) throw Malformed{r.Error() + " (certificate)"};
  return view;
}

void AppendCodePoint(std::string& out, uint32_t c) {
  if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
    out += '?';  // a control character would break the one-line report
  } else if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A directory string as UTF-8 text on one line.
std::string StringText(const DerElement& value) {
  const std::string_view s = value.content;
  std::string out;
  auto at = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  switch (value.tagNumber) {
    case DerTag::kBmpString:
      for (size_t i = 0; i + 1 < s.size(); i += 2) {
        uint32_t c = (at(i) << 8) | at(i + 1);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < s.size()) {
          const uint32_t low = (at(i + 2) << 8) | at(i + 3);
          if (low >= 0xDC00 && low < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
          }
        }
        AppendCodePoint(out, c);
      }
      return out;
    case DerTag::kUniversalString:
      for (size_t i = 0; i + 3 < s.size(); i += 4)
        AppendCodePoint(out, (at(i) << 24) | (at(i + 1) << 16) | (at(i + 2) << 8) | at(i + 3));
      return out;
    case DerTag::kTeletexString:  // read as Latin-1
      for (size_t i = 0; i < s.size(); ++i) AppendCodePoint(out, at(i));
      return out;
    default:  // UTF8String, PrintableString, IA5String and the like
      if (Lumo::Base::InvalidUtf8Offset(s) != std::string_view::npos) {
        for (size_t i = 0; i < s.size(); ++i) out += at(i) < 0x80 ? s[i] : '?';
      } else {
        out.assign(s);
      }
      for (char& c : out)
        if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) c = '?';
      return out;
  }
}

// The first CN and O of a Name (its whole element).
void NameParts(std::string_view name, std::string& commonName, std::string& organization) {
  DerReader outer(name);
  DerElement sequence = ExpectUniversal(outer, DerTag::kSequence, "name");
  DerReader rdns = outer.Inside(sequence);
  DerElement rdn;
  while (rdns.Next(rdn)) {
    DerReader pairs = rdns.Inside(rdn);
    DerElement pair;
    while (pairs.Next(pair)) {
      DerReader parts = pairs.Inside(pair);
      DerElement type = ExpectUniversal(parts, DerTag::kOid, "name attribute");
      DerElement value;
      if (!parts.Next(value)) throw Malformed{"name attribute without value"};
      if (type.content == kCommonName && commonName.empty()) commonName = StringText(value);
      if (type.content == kOrganization && organization.empty()) organization = StringText(value);
    }
    if (pairs.Failed()) throw Malformed{pairs.Error() + " (name)"};
  }
  if (rdns.Failed()) throw Malformed{rdns.Error() + " (name)"};
}

std::string NameText(std::string_view name) {
  std::string cn, o;
  NameParts(name, cn, o);
  std::string text;
  if (!cn.empty()) text = "CN=" + cn;
  if (!o.empty()) text += (text.empty() ? "O=" : ", O=") + o;
  return text.empty() ? "(no CN or O)" : text;
}

std::string SerialText(std::string_view serial) {
  static const char* digits = "0123456789ABCDEF";
  if (serial.size() > 1 && serial[0] == 0) serial.remove_prefix(1);  // the sign byte
  std::string out;
  for (char c : serial) {
    out += digits[static_cast<uint8_t>(c) >> 4];
    out += digits[static_cast<uint8_t>(c) & 15];
  }
  return out;
}

// UTCTime YYMMDDHHMMSSZ or GeneralizedTime YYYYMMDDHHMMSS[.f...]Z, as
// "YYYY-MM-DD HH:MM:SS UTC".
std::string TimeText(const DerElement& time) {
  const std::string_view s = time.content;
  const Malformed unreadable{"signing time not readable"};
  std::string digits;  // YYYYMMDDHHMMSS
  if (time.IsUniversal(DerTag::kUtcTime)) {
    if (s.size() != 13 || s[12] != 'Z') throw unreadable;
    digits = (s[0] >= '5' ? "19" : "20") + std::string(s.substr(0, 12));
  } else if (time.IsUniversal(DerTag::kGeneralizedTime)) {
    if (s.size() < 15 || s.back() != 'Z') throw unreadable;
    const std::string_view fraction = s.substr(14, s.size() - 15);  // dropped
    if (!fraction.empty() && (fraction.size() < 2 || fraction[0] != '.')) throw unreadable;
    for (size_t i = 1; i < fraction.size(); ++i)
      if (fraction[i] < '0' || fraction[i] > '9') throw unreadable;
    digits = std::string(s.substr(0, 14));
  } else {
    throw unreadable;
  }
  for (char c : digits)
    if (c < '0' || c > '9') throw unreadable;
  auto two = [&](size_t i, int low, int high) {
    const int v = (digits[i] - '0') * 10 + (digits[i + 1] - '0');
    if (v < low || v > high) throw unreadable;
    return digits.substr(i, 2);
  };
  return digits.substr(0, 4) + '-' + two(4, 1, 12) + '-' + two(6, 1, 31) + ' ' + two(8, 0, 23) +
         ':' + two(10, 0, 59) + ':' + two(12, 0, 60) + " UTC";
}

std::string SigningTimeOf(DerReader& attributes) {
  DerElement attribute;
  while (attributes.Next(attribute)) {
    DerReader parts = attributes.Inside(attribute);
    DerElement type = ExpectUniversal(parts, DerTag::kOid, "attribute");
    if (type.content != kSigningTime) continue;
    DerElement values = ExpectUniversal(parts, DerTag::kSet, "attribute values");
    DerReader each = parts.Inside(values);
    DerElement time;
    if (!each.Next(time)) throw Malformed{"signing time without value"};
    return TimeText(time);
  }
  if (attributes.Failed()) throw Malformed{attributes.Error() + " (signed attributes)"};
  return {};
}

CmsSigner ReadSigner(DerReader& r, const DerElement& info,
                     const std::vector<CertificateView>& certificates) {
  DerReader parts = r.Inside(info);
  ExpectUniversal(parts, DerTag::kInteger, "signer version");
  CmsSigner signer;
  const CertificateView* found = nullptr;
  DerElement sid;
  if (parts.NextIf(DerClass::Universal, DerTag::kSequence, sid)) {
    DerReader issuerAndSerial = parts.Inside(sid);
    const std::string_view issuer =
        ExpectUniversal(issuerAndSerial, DerTag::kSequence, "signer's issuer").whole;
    const std::string_view serial =
        ExpectUniversal(issuerAndSerial, DerTag::kInteger, "signer's serial").content;
    signer.serial = SerialText(serial);
    signer.issuer = NameText(issuer);
    for (const CertificateView& c : certificates)
      if (c.serial == serial && c.issuer == issuer) found = &c;
  } else {
    const std::string_view keyId = Expect(parts, DerClass::Context, 0, "signer identifier").content;
    for (const CertificateView& c : certificates)
      if (!c.keyId.empty() && c.keyId == keyId) found = &c;
  }
  if (found) {
    signer.certificateFound = true;
    NameParts(found->subject, signer.commonName, signer.organization);
    signer.serial = SerialText(found->serial);
    signer.issuer = NameText(found->issuer);
  }
  ExpectUniversal(parts, DerTag::kSequence, "digest algorithm");
  DerElement attributes;
  if (parts.NextIf(DerClass::Context, 0, attributes)) {
    DerReader each = parts.Inside(attributes);
    signer.signingTime = SigningTimeOf(each);
  }
  if (parts.Failed()) throw Malformed{parts.Error() + " (signer)"};
  return signer;
}

}  // namespace

CmsSigners ReadCmsSigners(std::string_view cms) {
  CmsSigners read;
  try {
    DerReader top(cms);
    DerElement contentInfo = ExpectUniversal(top, DerTag::kSequence, "ContentInfo");
    if (!top.AtEnd()) throw Malformed{"bytes after the ContentInfo"};
    DerReader r = top.Inside(contentInfo);
    if (ExpectUniversal(r, DerTag::kOid, "content type").content != kSignedData)
      throw Malformed{"not SignedData"};
    DerElement explicitContent = Expect(r, DerClass::Context, 0, "SignedData");
    DerReader wrapper = r.Inside(explicitContent);
    DerElement signedData = ExpectUniversal(wrapper, DerTag::kSequence, "SignedData");
    DerReader s = wrapper.Inside(signedData);
    ExpectUniversal(s, DerTag::kInteger, "SignedData version");
    ExpectUniversal(s, DerTag::kSet, "digest algorithms");
    ExpectUniversal(s, DerTag::kSequence, "encapsulated content");
    std::vector<CertificateView> certificates;
    DerElement e;
    if (s.NextIf(DerClass::Context, 0, e)) {
      DerReader each = s.Inside(e);
      DerElement certificate;
      while (each.Next(certificate))
        if (certificate.IsUniversal(DerTag::kSequence))
          certificates.push_back(ReadCertificate(certificate));
      if (each.Failed()) throw Malformed{each.Error() + " (certificates)"};
    }
    s.NextIf(DerClass::Context, 1, e);  // revocation information
    DerElement infos = ExpectUniversal(s, DerTag::kSet, "signer infos");
    DerReader each = s.Inside(infos);
    DerElement info;
    while (each.Next(info)) {
      if (!info.IsUniversal(DerTag::kSequence)) throw Malformed{"signer info not a SEQUENCE"};
      read.signers.push_back(ReadSigner(each, info, certificates));
    }
    if (each.Failed()) throw Malformed{each.Error() + " (signer infos)"};
    if (read.signers.empty()) throw Malformed{"no signer"};
  } catch (const Malformed& m) {
    read.signers.clear();
    read.error = m.why;
  }
  return read;
}

std::string SignersText(const CmsSigners& read) {
  if (!read.error.empty()) return "unreadable signature (" + read.error + ")";
  std::string text;
  for (const CmsSigner& s : read.signers) {
    if (!text.empty()) text += "; ";
    std::string who;
    if (!s.commonName.empty()) who = "CN=" + s.commonName;
    if (!s.organization.empty()) who += (who.empty() ? "O=" : ", O=") + s.organization;
    if (who.empty()) who = s.certificateFound ? "(no CN or O)" : "(certificate not carried)";
    text += who;
    if (!s.serial.empty()) text += ", serial " + s.serial;
    if (!s.issuer.empty()) text += ", issuer " + s.issuer;
    if (!s.signingTime.empty()) text += ", " + s.signingTime;
  }
  return text;
}

}  // namespace Lumo::Sign

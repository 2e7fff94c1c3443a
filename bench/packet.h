// Deterministic bank-message packets for the benchmarks: many ED101-like payment orders
// in the "urn:dez-ru:ed:v2.0" namespace inside a PacketEPD root, with Cyrillic names and
// purposes, amounts, dates, attributes and tab indentation, as UTF-8 or windows-1251 bytes
// (the XML declaration names the encoding). The same arguments always give the same bytes.
//
//   std::string MakePacketUtf8(size_t targetBytes);   // about targetBytes (default 10 MB)
//   std::string MakePacket1251(size_t targetBytes);   // the same content as windows-1251
//                                                     // (fewer bytes: Cyrillic takes one)
//   std::string MakePrefixedPacketUtf8(size_t);       // another producer's packet: the same
//                                                     // messages with some attributes in
//                                                     // namespaces of their own (pay:Sum,
//                                                     // pay:Acc, bic:BIC)
//   std::string MakeMessageUtf8();                    // one ED101 document, about 3 KB
//   std::string MakeMessage1251();
//   std::string Utf8ToWindows1251(std::string_view);  // for texts made of the above
//
// Header-only; `bench_packet_gen OUT.xml [--1251] [--bytes N] [--message] [--prefixed]`
// writes them to a file for shell benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace lumo_packet_detail {

// splitmix64: small, fast and the same on every platform and standard library.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  template <size_t N>
  const char* Pick(const char* const (&list)[N]) {
    return list[Below(N)];
  }
};

inline void Digits(Rng& r, std::string& out, int count) {
  for (int i = 0; i < count; ++i) out += static_cast<char>('0' + r.Below(10));
}

inline std::string DigitString(Rng& r, int count) {
  std::string s;
  Digits(r, s, count);
  return s;
}

inline std::string Date(Rng& r) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "2026-%02u-%02u", 1 + r.Below(12), 1 + r.Below(28));
  return buf;
}

inline const char* const kOrgForms[] = {"ООО", "АО", "ПАО", "ИП", "ЗАО", "ГУП", "МУП"};
inline const char* const kOrgNames[] = {"Ромашка",
                                        "Северный ветер",
                                        "Уральские самоцветы",
                                        "ТрансНефтьСервис",
                                        "Лютик и партнёры",
                                        "Волжская строительная компания",
                                        "Технологии будущего",
                                        "Сибирский лес",
                                        "Альфа-Логистик",
                                        "Городская аптека № 7",
                                        "Агрохолдинг «Заря»",
                                        "Медведь & Ко",
                                        "Энергосбыт",
                                        "Пекарня у дома"};
inline const char* const kBankNames[] = {
    "ПАО СБЕРБАНК г. Москва",        "БАНК ВТБ (ПАО) г. Москва",
    "АО «АЛЬФА-БАНК» г. Москва",     "ФИЛИАЛ «ЕКАТЕРИНБУРГСКИЙ» АО «РАЙФФАЙЗЕНБАНК»",
    "ПАО «ПРОМСВЯЗЬБАНК» г. Москва", "СЕВЕРО-ЗАПАДНЫЙ БАНК ПАО СБЕРБАНК г. Санкт-Петербург"};
inline const char* const kPurposes[] = {
    "Оплата по договору поставки № %u от %s за товары (счёт № %u).",
    "Возврат излишне перечисленных средств по письму № %u от %s.",
    "Арендная плата за помещение по договору № %u от %s, за ноябрь 2026 г.",
    "Оплата услуг связи по счёту № %u от %s. Без налога (НДС).",
    "Заработная плата за ноябрь 2026 г. согласно реестру № %u от %s.",
    "Перечисление по исполнительному листу № %u от %s; удержание 20%%.",
    "Оплата за электроэнергию по счёт-фактуре № %u от %s <предоплата>."};

// Text content and attribute values are escaped the way a producer would write them.
inline void AppendEscaped(std::string& out, std::string_view s, bool attribute) {
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"':
        if (attribute) {
          out += "&quot;";
          break;
        }
        out += c;
        break;
      default: out += c;
    }
  }
}

inline std::string OrgName(Rng& r) {
  std::string s = r.Pick(kOrgForms);
  s += " \"";
  s += r.Pick(kOrgNames);
  s += '"';
  return s;
}

// prefixed: the attributes another producer puts into namespaces of their own, declared
// on the packet's root (pay: the account and sum, bic: the bank's code).
inline void Party(Rng& r, std::string& out, const char* tag, const std::string& ind,
                  bool prefixed) {
  out += ind + "<" + tag + " INN=\"" + DigitString(r, 10) + "\" KPP=\"" + DigitString(r, 9) +
         (prefixed ? "\" pay:Acc=\"40702810" : "\" PersonalAcc=\"40702810") + DigitString(r, 12) +
         "\">\n";
  out += ind + "\t<Name>";
  AppendEscaped(out, OrgName(r), false);
  out += "</Name>\n";
  std::string bic = "04" + DigitString(r, 7);
  out += ind + (prefixed ? "\t<Bank bic:BIC=\"" : "\t<Bank BIC=\"") + bic +
         "\" CorrespAcc=\"301018" + DigitString(r, 11) + bic.substr(6) + "\" Name=\"";
  AppendEscaped(out, r.Pick(kBankNames), true);
  out += "\"/>\n";
  out += ind + "</" + tag + ">\n";
}

// One ED101 payment order. extraLines > 0 adds a settlement annex of that many lines (used
// for the single ~3 KB message).
inline uint64_t Message(Rng& r, std::string& out, uint32_t edNo, const std::string& ind,
                        bool ownNamespace, int extraLines, bool prefixed = false) {
  uint64_t sum = 100 + r.Next() % 1000000000ull;
  std::string date = Date(r);
  out += ind + "<ED101";
  if (ownNamespace) out += " xmlns=\"urn:dez-ru:ed:v2.0\"";
  out += " EDNo=\"" + std::to_string(edNo) + "\" EDDate=\"" + date + "\" EDAuthor=\"45" +
         DigitString(r, 8) + "\" ChargeOffDate=\"" + date + "\" ReceiptDate=\"" + date +
         (prefixed ? "\" pay:Sum=\"" : "\" Sum=\"") + std::to_string(sum) + "\" PaytKind=\"" +
         std::to_string(1 + r.Below(4)) + "\" TransKind=\"01\" Priority=\"" +
         std::to_string(1 + r.Below(5)) + "\" SystemCode=\"02\">\n";
  std::string in = ind + "\t";
  out += in + "<AccDoc AccDocNo=\"" + std::to_string(1 + r.Below(999999)) + "\" AccDocDate=\"" +
         Date(r) + "\"/>\n";
  Party(r, out, "Payer", in, prefixed);
  Party(r, out, "Payee", in, prefixed);
  char purpose[512];
  std::snprintf(purpose, sizeof purpose, r.Pick(kPurposes), 1 + r.Below(99999), Date(r).c_str(),
                1 + r.Below(9999));
  std::string p = purpose;
  if (r.Below(2)) {
    char vat[96];
    std::snprintf(vat, sizeof vat, " Сумма %llu-%02llu, в т.ч. НДС (20%%) %llu-%02llu",
                  static_cast<unsigned long long>(sum / 100),
                  static_cast<unsigned long long>(sum % 100),
                  static_cast<unsigned long long>(sum / 600),
                  static_cast<unsigned long long>((sum / 6) % 100));
    p += vat;
  }
  out += in + "<Purpose>";
  AppendEscaped(out, p, false);
  out += "</Purpose>\n";
  if (r.Below(3) == 0) {
    out += in + "<DepartmentalInfo DrawerStatus=\"01\" CBC=\"182" + DigitString(r, 17) +
           "\" OKATO=\"45" + DigitString(r, 6) + "\" PaytReason=\"ТП\" TaxPeriod=\"МС.11.2026\"" +
           " DocNo=\"0\" DocDate=\"0\" TaxPaytKind=\"0\"/>\n";
  }
  if (extraLines > 0) {
    out += in + "<SettlementAnnex Currency=\"RUB\">\n";
    for (int i = 0; i < extraLines; ++i) {
      out += in + "\t<Line No=\"" + std::to_string(i + 1) + "\" Sum=\"" +
             std::to_string(r.Next() % 10000000ull) + "\">";
      AppendEscaped(out, std::string("Позиция: ") + r.Pick(kOrgNames) + " — услуги & работы",
                    false);
      out += "</Line>\n";
    }
    out += in + "</SettlementAnnex>\n";
  }
  out += ind + "</ED101>\n";
  return sum;
}

inline std::string Packet(size_t targetBytes, const char* encodingName, bool prefixed = false) {
  Rng r(20261207);
  std::string body;
  body.reserve(targetBytes + 4096);
  uint64_t total = 0;
  uint32_t count = 0;
  const size_t headerRoom = 400;
  while (body.size() + headerRoom < targetBytes || count == 0) {
    total += Message(r, body, 1000 + count, "\t", false, 0, prefixed);
    ++count;
  }
  std::string out;
  out.reserve(body.size() + headerRoom);
  out += "<?xml version=\"1.0\" encoding=\"";
  out += encodingName;
  out += "\"?>\n<PacketEPD xmlns=\"urn:dez-ru:ed:v2.0\"";
  if (prefixed) out += " xmlns:pay=\"urn:example:pay:v1\" xmlns:bic=\"urn:example:bic:v1\"";
  out += " EDNo=\"1\" EDDate=\"2026-12-07\"";
  out += " EDAuthor=\"4525000000\" EDQuantity=\"" + std::to_string(count) + "\" Sum=\"" +
         std::to_string(total) + "\" SystemCode=\"01\">\n";
  out += body;
  out += "</PacketEPD>\n";
  return out;
}

inline std::string SingleMessage(const char* encodingName) {
  Rng r(3072);
  std::string out = "<?xml version=\"1.0\" encoding=\"";
  out += encodingName;
  out += "\"?>\n";
  Message(r, out, 1, "", true, 14);
  return out;
}

// Windows-1251 for 0x80..0xFF (0x98 is unassigned).
inline constexpr char16_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};

}  // namespace lumo_packet_detail

// UTF-8 to windows-1251; a character the code page lacks becomes '?'.
inline std::string Utf8ToWindows1251(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    uint32_t cp = 0;
    int n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    for (int k = 1; k < n && i + k < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    char b = '?';
    if (cp >= 0x0410 && cp <= 0x044F) {
      b = static_cast<char>(0xC0 + (cp - 0x0410));
    } else {
      for (int k = 0; k < 64; ++k)
        if (lumo_packet_detail::kCp1251High[k] == cp) {
          b = static_cast<char>(0x80 + k);
          break;
        }
    }
    out += b;
  }
  return out;
}

inline std::string MakePacketUtf8(size_t targetBytes = 10u << 20) {
  return lumo_packet_detail::Packet(targetBytes, "UTF-8");
}

inline std::string MakePrefixedPacketUtf8(size_t targetBytes = 10u << 20) {
  return lumo_packet_detail::Packet(targetBytes, "UTF-8", true);
}

inline std::string MakePacket1251(size_t targetBytes = 10u << 20) {
  return Utf8ToWindows1251(lumo_packet_detail::Packet(targetBytes, "windows-1251"));
}

inline std::string MakeMessageUtf8() { return lumo_packet_detail::SingleMessage("UTF-8"); }

inline std::string MakeMessage1251() {
  return Utf8ToWindows1251(lumo_packet_detail::SingleMessage("windows-1251"));
}

/* Guide texts for people and for XMLTV: decoding of the stored description
 * bytes, XML escaping and language tags. */
#include "epgdb_text.h"

#include <stdint.h>
#include <string.h>

/* The length of the valid UTF-8 sequence at "p" ("left" bytes remain), with
 * its code point in "*cp"; 0 when no valid sequence starts there (overlong
 * forms, surrogates and values above U+10FFFF are invalid). */
static size_t EpgdbTextUtf8Sequence(const unsigned char *p, size_t left, uint32_t *cp) {
  unsigned char b = p[0];
  size_t len;
  uint32_t value;
  uint32_t min;
  if (b < 0x80) {
    *cp = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    len = 2, value = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3, value = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4, value = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (len > left) return 0;
  for (size_t i = 1; i < len; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = value << 6 | (p[i] & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return len;
}

/* Appends the UTF-8 form of "cp" to "out". */
static void EpgdbTextPutUtf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out += (char)cp;
  } else if (cp < 0x800) {
    out += (char)(0xC0 | cp >> 6);
    out += (char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += (char)(0xE0 | cp >> 12);
    out += (char)(0x80 | (cp >> 6 & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  } else {
    out += (char)(0xF0 | cp >> 18);
    out += (char)(0x80 | (cp >> 12 & 0x3F));
    out += (char)(0x80 | (cp >> 6 & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  }
}

std::string EpgdbTextDecode(const unsigned char *bytes, size_t size, int is_utf8,
                            EpgdbTextLines lines) {
  std::string out;
  out.reserve(size);
  size_t i = 0;
  while (i < size) {
    uint32_t cp = bytes[i];
    size_t len = 1;
    if (is_utf8) {
      len = EpgdbTextUtf8Sequence(bytes + i, size - i, &cp);
      if (len == 0) cp = bytes[i], len = 1;
    }
    i += len;
    if (cp == '\n' && lines == EPGDB_TEXT_KEEP_LINES) out += '\n';
    else if (cp == '\n' || cp == '\t') out += ' ';
    else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xFFFE || cp == 0xFFFF) continue;
    else EpgdbTextPutUtf8(out, cp);
  }
  size_t first = out.find_first_not_of(" \n");
  if (first == std::string::npos) return "";
  size_t last = out.find_last_not_of(" \n");
  return out.substr(first, last - first + 1);
}

std::string EpgdbTextXmlEscape(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string EpgdbTextLanguageTag(const std::string &code) {
  /* ISO 639-2 codes (bibliographic and terminology forms) of the languages
   * a satellite guide is likely to carry, with their ISO 639-1 codes. */
  static const char *const table[][2] = {
      {"spa", "es"}, {"cat", "ca"}, {"glg", "gl"}, {"baq", "eu"}, {"eus", "eu"}, {"por", "pt"},
      {"eng", "en"}, {"fre", "fr"}, {"fra", "fr"}, {"ger", "de"}, {"deu", "de"}, {"ita", "it"},
      {"dut", "nl"}, {"nld", "nl"}, {"pol", "pl"}, {"rus", "ru"}, {"ara", "ar"}, {"tur", "tr"},
      {"gre", "el"}, {"ell", "el"}, {"chi", "zh"}, {"zho", "zh"}, {"jpn", "ja"}, {"rum", "ro"},
      {"ron", "ro"}, {"swe", "sv"}, {"dan", "da"}, {"nor", "no"}, {"fin", "fi"}, {"cze", "cs"},
      {"ces", "cs"}, {"hun", "hu"},
  };
  if (code.size() != 3) return "";
  std::string lower;
  for (char c : code) {
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c < 'a' || c > 'z') return "";
    lower += c;
  }
  for (const auto &entry : table) {
    if (lower == entry[0]) return entry[1];
  }
  return lower;
}

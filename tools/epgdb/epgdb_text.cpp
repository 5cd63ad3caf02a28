/* Guide texts for people and for XMLTV: decoding of the stored description
 * bytes, XML escaping and language tags. */
#include "epgdb_text.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "epgdb.h"

/* The code point of the UTF-8 sequence at "p", which the library has
 * checked to be valid, and its length in "*len". */
static uint32_t EpgdbTextCodePointUnchecked(const unsigned char *p, size_t *len) {
  unsigned char b = p[0];
  if (b < 0x80) return *len = 1, b;
  *len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
  uint32_t value = b & (0x7F >> *len);
  for (size_t i = 1; i < *len; i++) value = value << 6 | (p[i] & 0x3F);
  return value;
}

/* True for the code points that show as empty space: the white space of
 * Unicode (line feed and space among them) and the zero-width spaces. */
static bool EpgdbTextIsSpace(uint32_t cp) {
  return cp == ' ' || cp == '\n' || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200B) ||
         cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000 ||
         cp == 0xFEFF;
}

std::string EpgdbTextDecode(const unsigned char *bytes, size_t size, int is_utf8,
                            EpgdbTextLines lines) {
  size_t n = 0;
  char *utf8 = epgdb_text_utf8((const char *)bytes, size, is_utf8 ? 1 : 0, &n);
  if (!utf8) return "";
  const unsigned char *text = (const unsigned char *)utf8;
  std::string out;
  out.reserve(n);
  for (size_t i = 0, len = 0; i < n; i += len) {
    uint32_t cp = EpgdbTextCodePointUnchecked(text + i, &len);
    if (cp == '\n' && lines == EPGDB_TEXT_KEEP_LINES) out += '\n';
    else if (cp == '\n' || cp == '\t') out += ' ';
    else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xFFFE || cp == 0xFFFF) continue;
    else out.append(utf8 + i, len);
  }
  free(utf8);
  /* White space at both ends goes, Unicode spaces included, so that a text
   * of nothing but (non-breaking) spaces is empty. */
  size_t first = 0, last = out.size(), len = 0;
  while (first < last && EpgdbTextIsSpace(EpgdbTextCodePointUnchecked(
                             (const unsigned char *)out.data() + first, &len)))
    first += len;
  while (last > first) {
    size_t start = last - 1;
    while (start > first && ((unsigned char)out[start] & 0xC0) == 0x80) start--;
    if (!EpgdbTextIsSpace(EpgdbTextCodePointUnchecked((const unsigned char *)out.data() + start, &len)))
      break;
    last = start;
  }
  return out.substr(first, last - first);
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

void EpgdbTextTitles(std::string *title, std::string *summary_title) {
  if (title->empty()) title->swap(*summary_title);
  if (summary_title->compare(0, title->size(), *title) == 0) title->swap(*summary_title);
  else if (title->compare(0, summary_title->size(), *summary_title) != 0) return;
  summary_title->clear();
}

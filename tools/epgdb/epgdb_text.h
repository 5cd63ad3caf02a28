/* Guide texts for people and for XMLTV: the stored bytes of a description
 * decoded to clean UTF-8, escaped for XML, and language codes shortened. */
#ifndef EPGDB_TEXT_H
#define EPGDB_TEXT_H

#include <stddef.h>

#include <string>

/* How line breaks of a text are kept by EpgdbTextDecode. */
enum EpgdbTextLines {
  EPGDB_TEXT_ONE_LINE,   /* line feeds and tabs become spaces */
  EPGDB_TEXT_KEEP_LINES, /* line feeds stay, tabs become spaces */
};

/* Decodes "size" stored bytes at "bytes" into UTF-8: as UTF-8 when
 * "is_utf8" is non-zero (a byte that starts no valid sequence is taken as
 * ISO-8859-1), as ISO-8859-1 otherwise. Control characters (C0 except line
 * feed and tab, DEL, C1) and the non-characters U+FFFE and U+FFFF are
 * removed, carriage returns too; the result is trimmed of white space at both
 * ends (Unicode spaces such as U+00A0 included, so a text of spaces only is
 * empty). Every character of the result is allowed in XML 1.0. */
std::string EpgdbTextDecode(const unsigned char *bytes, size_t size, int is_utf8,
                            EpgdbTextLines lines);

/* Chooses the title and sub-title of a programme from its decoded "title"
 * (the event title, which the broadcast cuts at 63 bytes) and "summary_title".
 * A summary title that begins with the title is the whole title and takes
 * its place; one that the title begins with adds nothing. Either way, and
 * when "title" is empty (it borrows the summary title), "summary_title" ends
 * empty: it stays, as sub-title, only when it is something else. */
void EpgdbTextTitles(std::string *title, std::string *summary_title);

/* "text" with &, <, >, " and ' written as XML character entities. */
std::string EpgdbTextXmlEscape(const std::string &text);

/* The language tag for the stored three-letter code "code" (ISO 639-2, any
 * case): its two-letter ISO 639-1 code where the table knows one, else the
 * three letters in lower case; "" when "code" is not three ASCII letters. */
std::string EpgdbTextLanguageTag(const std::string &code);

#endif

/* The guide database read back for tests, only through the library's read
 * interface: whole dumps to compare guides, title rows, counts and overlaps. */
#ifndef MHW2_TEST_GUIDE_DUMP_H
#define MHW2_TEST_GUIDE_DUMP_H

#include <string>

/* Every channel and every title of the guide at "root" (a database root or
 * the file), one line each, titles by channel and start with every field and
 * both texts in hex: "nid:tsid:sid|start|length|event_id|mjd|flags|language|
 * description|long description". A failure gives "error: <reason>". */
std::string GuideDump(const std::string &root);
/* The titles only, as "nid:tsid:sid|start|length|description" lines with the
 * description as stored. */
std::string GuideTitleRows(const std::string &root);
/* The titles with their fields and texts as stored, one line each:
 * "nid:tsid:sid|start|length|event_id|mjd|flags|language|description|long
 * description" (texts as stored, each line feed written as the two characters \n). */
std::string GuideTitleTexts(const std::string &root);
/* The number of stored titles, or -1 when the guide cannot be read. */
long GuideTitleCount(const std::string &root);
/* The number of titles that overlap the next title of their channel, or -1
 * when the guide cannot be read. */
long GuideOverlaps(const std::string &root);

#endif

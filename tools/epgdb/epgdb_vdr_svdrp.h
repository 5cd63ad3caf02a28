/* The SVDRP side of epgdb's vdr command: a connection to a running VDR,
 * its answers read line by line, commands sent, texts in VDR's character set. */
#ifndef EPGDB_VDR_SVDRP_H
#define EPGDB_VDR_SVDRP_H

#include <iconv.h>

#include <string>
#include <vector>

/* Seconds VDR has for each answer unless --timeout says otherwise. */
#define EPGDB_VDR_TIMEOUT_S 30

/* An SVDRP connection; its socket and conversion are closed when it goes. */
struct EpgdbVdrLink {
  int fd = -1;
  std::string where; /* HOST:PORT, for messages */
  std::string input; /* received bytes not yet read as lines */
  int timeout_s = EPGDB_VDR_TIMEOUT_S;
  iconv_t charset = (iconv_t)-1; /* UTF-8 to VDR's character set, when not UTF-8 */
  EpgdbVdrLink() = default;
  EpgdbVdrLink(const EpgdbVdrLink &) = delete;
  EpgdbVdrLink &operator=(const EpgdbVdrLink &) = delete;
  ~EpgdbVdrLink();
};

/* Connects "link" to "host" port "port" within the link's timeout; the
 * socket stays non-blocking. Returns 1, or 0 after the reason on stderr. */
int EpgdbVdrConnect(EpgdbVdrLink *link, const std::string &host, int port);

/* Reads one answer of VDR: its lines up to the one with a blank after the
 * three-digit code ("250-..." lines go before a "250 ..." line). Puts the
 * code into "*code" and the texts after the codes into "texts"; a line that
 * carries no code ends the answer with code 0 and the line as its text.
 * Returns 1, or 0 after the reason on stderr: VDR closed the connection,
 * did not end the answer within the link's timeout, or sent a line longer
 * than EPGDB_VDR_MAX_LINE or an answer larger than EPGDB_VDR_MAX_ANSWER
 * bytes or EPGDB_VDR_MAX_ANSWER_LINES lines. */
int EpgdbVdrAnswer(EpgdbVdrLink *link, const std::string &what, int *code,
                   std::vector<std::string> *texts);

/* Sends "bytes" to VDR; the link's timeout applies while no byte can be
 * sent. Returns 1, or 0 after the reason on stderr ("what" names the data). */
int EpgdbVdrSend(EpgdbVdrLink *link, const std::string &bytes, const std::string &what);

/* Reports that VDR refused "what" with the answer "code" "texts". Returns 0. */
int EpgdbVdrRefused(const EpgdbVdrLink *link, const std::string &what, int code,
                    const std::vector<std::string> &texts);

/* Sends the line "command" (which may be several lines of data) and reads
 * VDR's answer, which must carry the code "want". Returns 1, or 0 after the
 * reason on stderr ("what" names the command). */
int EpgdbVdrCommandAnswer(EpgdbVdrLink *link, const std::string &command, int want,
                          const std::string &what, std::vector<std::string> *texts);

/* Clears VDR's schedule of the channel "id" (CLRE); 550, nothing to clear,
 * is fine too. Returns 1, or 0 after the reason on stderr. */
int EpgdbVdrClear(EpgdbVdrLink *link, const std::string &id);

/* The UTF-8 "text" in the link's character set: as it is when VDR takes
 * UTF-8, else converted, with characters the set lacks transliterated or
 * written as '?'. */
std::string EpgdbVdrConvert(const EpgdbVdrLink *link, const std::string &text);

/* Reads VDR's greeting and prepares the conversion of texts into the
 * character set it names (the last field, e.g. "UTF-8"). Returns 1, or 0
 * after the reason on stderr: a refused connection, or a set that does not
 * write ASCII as ASCII (UTF-16, UTF-7), in which the protocol's own lines
 * would change. */
int EpgdbVdrGreeting(EpgdbVdrLink *link);

#endif

/* The vdr command of epgdb: reads the guide through the library's read
 * interface and writes it in VDR's EPG data format, either on standard
 * output (for epg.data or a PUTE by hand) or into a running VDR over SVDRP
 * (the connection itself: epgdb_vdr_svdrp.cpp).
 *
 * Event ids: VDR keys the events of a channel by a 32-bit id. A title's id
 * is its start time in seconds since 1970 (UTC). The guide database holds at
 * most one title per channel and start, so the id is unique within the
 * channel for the whole stored guide; a programme grabbed again at the same
 * start keeps its id; and, being far above 65535, it never meets the 16-bit
 * ids of events that VDR takes from the broadcast. The stored event_id (the
 * minute of the month of the local start) repeats every month and twice in
 * the hour the clocks go back, so it is not used. */
#include "epgdb_vdr.h"

#include <errno.h>
#include <iconv.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "epgdb.h"
#include "epgdb_text.h"
#include "epgdb_vdr_svdrp.h"

#define EPGDB_VDR_EXIT_OK 0
#define EPGDB_VDR_EXIT_FAILED 1
#define EPGDB_VDR_EXIT_USAGE 2
#define EPGDB_VDR_PORT 6419
/* Table id 0 marks the data of an external source, which VDR does not let
 * broadcast data overwrite; VDR ignores the version. */
#define EPGDB_VDR_TABLE_ID "0"
#define EPGDB_VDR_VERSION "FF"

const char EPGDB_VDR_USAGE[] =
    "\n"
    "Guide for VDR:\n"
    "  vdr ROOT [--source SOURCE] [--days N] [--svdrp HOST[:PORT] [--timeout SECONDS]]\n"
    "               the guide in VDR's EPG data format (as in its epg.data, or\n"
    "               for SVDRP PUTE) on standard output; channel ids are\n"
    "               SOURCE-NID-TSID-SID, SOURCE the code of the satellite in VDR's\n"
    "               sources.conf (default S19.2E), which the guide does not carry;\n"
    "               --days N keeps the titles that start within N days from now.\n"
    "               --svdrp pushes the guide into the VDR at HOST:PORT (port 6419\n"
    "               when left out) instead: every stored channel that VDR's\n"
    "               channel list holds with the same NID, TSID and SID (and\n"
    "               SOURCE, when --source is given) gets its schedule in VDR\n"
    "               replaced; channels VDR does not know are reported. VDR has\n"
    "               SECONDS (30) for each answer. Exit code 1 when VDR refuses a\n"
    "               command, closes the connection or does not answer in time.\n";

/* What the command line asks for. */
struct EpgdbVdrOptions {
  const char *root = nullptr;
  std::string source = "S19.2E";
  int source_given = 0;
  std::string host; /* empty: print instead of pushing */
  int port = EPGDB_VDR_PORT;
  int has_days = 0;
  long days = 0;
  int timeout_s = EPGDB_VDR_TIMEOUT_S;
};

/* A stored channel and, when pushing, the ids of the VDR channels that
 * show it. */
struct EpgdbVdrChannel {
  uint16_t nid, tsid, sid;
  std::string triple; /* "NID:TSID:SID" */
  std::string name;   /* one line of UTF-8, "" when none is stored */
  long long titles;
  std::vector<std::string> vdr_ids;
};

/* Reports a usage error on standard error. Returns the usage exit code. */
static int EpgdbVdrUsageError(const std::string &message) {
  fprintf(stderr, "epgdb: %s\nTry 'epgdb --help'.\n", message.c_str());
  return EPGDB_VDR_EXIT_USAGE;
}

/* "text" as a decimal number from "min" to "max" into "*value". Returns 1,
 * or 0 when it is not one. */
static int EpgdbVdrParseNumber(const std::string &text, long min, long max, long *value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  long v = strtol(text.c_str(), nullptr, 10);
  if (v < min || v > max) return 0;
  *value = v;
  return 1;
}

/* True when "source" is a source code of VDR's sources.conf: a capital
 * letter, for satellites followed by the orbital position (S19.2E, S30W). */
static int EpgdbVdrSourceValid(const std::string &source) {
  if (source.empty() || source[0] < 'A' || source[0] > 'Z') return 0;
  if (source.size() == 1) return 1;
  size_t digits = source.find_first_not_of("0123456789", 1);
  if (digits == 1 || digits == std::string::npos) return 0;
  if (source[digits] == '.') {
    size_t more = source.find_first_not_of("0123456789", digits + 1);
    if (more == digits + 1 || more == std::string::npos) return 0;
    digits = more;
  }
  return digits + 1 == source.size() && (source[digits] == 'E' || source[digits] == 'W');
}

/* Splits "HOST[:PORT]" (an IPv6 address in brackets) into "o". Returns 1,
 * or 0 when malformed. */
static int EpgdbVdrParseTarget(const std::string &target, EpgdbVdrOptions *o) {
  std::string host = target, port;
  if (!target.empty() && target[0] == '[') {
    size_t close = target.find(']');
    if (close == std::string::npos) return 0;
    host = target.substr(1, close - 1);
    if (close + 1 < target.size()) {
      if (target[close + 1] != ':') return 0;
      port = target.substr(close + 2);
      if (port.empty()) return 0;
    }
  } else if (target.find(':') != std::string::npos) {
    size_t colon = target.find(':');
    if (target.find(':', colon + 1) != std::string::npos) return 0;
    host = target.substr(0, colon);
    port = target.substr(colon + 1);
    if (port.empty()) return 0;
  }
  long value = EPGDB_VDR_PORT;
  if (host.empty() || (!port.empty() && !EpgdbVdrParseNumber(port, 1, 65535, &value))) return 0;
  o->host = host;
  o->port = (int)value;
  return 1;
}

/* Reads the options from "argv[3..argc)" into "o". Returns 0, or the usage
 * exit code after the message. */
static int EpgdbVdrOptionsRead(int argc, char **argv, EpgdbVdrOptions *o) {
  int timeout_given = 0;
  for (int i = 3; i < argc; i++) {
    std::string option = argv[i];
    if (option != "--source" && option != "--days" && option != "--svdrp" && option != "--timeout")
      return EpgdbVdrUsageError("unexpected argument '" + option + "' of vdr");
    if (i + 1 >= argc) return EpgdbVdrUsageError(option + " needs a value");
    std::string value = argv[++i];
    long number = 0;
    if (option == "--source") {
      if (!EpgdbVdrSourceValid(value))
        return EpgdbVdrUsageError("bad source '" + value + "' (want a code of VDR's sources.conf, e.g. S19.2E)");
      o->source = value;
      o->source_given = 1;
    } else if (option == "--days") {
      if (!EpgdbVdrParseNumber(value, 1, 366, &number))
        return EpgdbVdrUsageError("bad number of days '" + value + "' (1 to 366)");
      o->has_days = 1;
      o->days = number;
    } else if (option == "--svdrp") {
      if (!EpgdbVdrParseTarget(value, o))
        return EpgdbVdrUsageError("bad VDR address '" + value + "' (want HOST:PORT)");
    } else {
      if (!EpgdbVdrParseNumber(value, 1, 3600, &number))
        return EpgdbVdrUsageError("bad timeout '" + value + "' (1 to 3600 seconds)");
      o->timeout_s = (int)number;
      timeout_given = 1;
    }
  }
  if (timeout_given && o->host.empty()) return EpgdbVdrUsageError("--timeout needs --svdrp");
  return 0;
}

/* The VDR channel id "SOURCE-NID-TID-SID", with "-RID" when "rid" is not 0. */
static std::string EpgdbVdrChannelId(const std::string &source, unsigned nid, unsigned tid,
                                     unsigned sid, unsigned rid) {
  std::string id = source + "-" + std::to_string(nid) + "-" + std::to_string(tid) + "-" +
                   std::to_string(sid);
  return rid ? id + "-" + std::to_string(rid) : id;
}

/* Appends the line "TAG text" ending in "eol" to "out"; nothing when "text"
 * is empty. */
static void EpgdbVdrTextLine(std::string *out, char tag, const std::string &text, const char *eol) {
  if (text.empty()) return;
  *out += tag;
  *out += ' ';
  *out += text;
  *out += eol;
}

/* Appends the "E ... e" block of the stored title "t" to "out", every line
 * ending in "eol". The long description is split at its first empty line
 * into the summary title and the summary text (the D line, its line breaks
 * written as '|'). T and S are the title and sub-title EpgdbTextTitles
 * chooses: a summary title that is the whole of a cut title is the T line,
 * and S is left out unless the summary title is something else. Texts are
 * UTF-8 whatever their flags say, one line each, without control
 * characters. */
static void EpgdbVdrEventBlock(const epgdb_title_row_t &t, const char *eol, std::string *out) {
  const unsigned char *summary = (const unsigned char *)t.long_description;
  size_t size = t.long_description_size, split = size, rest = size;
  for (size_t i = 0; i + 1 < size; i++) {
    if (summary[i] == '\n' && summary[i + 1] == '\n') {
      split = i;
      rest = i + 2;
      break;
    }
  }
  int utf8 = t.flags & 1;
  std::string title = EpgdbTextDecode((const unsigned char *)t.description, t.description_size, utf8,
                                      EPGDB_TEXT_ONE_LINE);
  std::string short_text = EpgdbTextDecode(summary, split, utf8, EPGDB_TEXT_ONE_LINE);
  std::string description = EpgdbTextDecode(summary + rest, size - rest, utf8, EPGDB_TEXT_KEEP_LINES);
  EpgdbTextTitles(&title, &short_text);
  for (char &c : description)
    if (c == '\n') c = '|';
  char head[96];
  snprintf(head, sizeof head, "E %u %lld %lld " EPGDB_VDR_TABLE_ID " " EPGDB_VDR_VERSION,
           (unsigned)(uint32_t)t.start_time, (long long)t.start_time, (long long)t.length);
  *out += head;
  *out += eol;
  EpgdbVdrTextLine(out, 'T', title, eol);
  EpgdbVdrTextLine(out, 'S', short_text, eol);
  EpgdbVdrTextLine(out, 'D', description, eol);
  *out += 'e';
  *out += eol;
}

/* Appends the event blocks of the titles of "channel" that "range" keeps to
 * "out". Returns their number, or -1 after the reader's error on stderr. */
static long EpgdbVdrEvents(epgdb_reader_t *r, const EpgdbVdrChannel &channel,
                           epgdb_title_filter_t range, const char *eol, std::string *out) {
  range.by_channel = 1;
  range.nid = channel.nid;
  range.tsid = channel.tsid;
  range.sid = channel.sid;
  long count = 0;
  int row = epgdb_reader_titles(r, &range) ? 1 : -1;
  epgdb_title_row_t t;
  while (row == 1 && (row = epgdb_reader_next_title(r, &t)) == 1) {
    EpgdbVdrEventBlock(t, eol, out);
    count++;
  }
  if (row == 0) return count;
  fprintf(stderr, "epgdb: %s\n", epgdb_reader_error(r));
  return -1;
}

/* Reads every stored channel that holds titles into "channels". Returns 1,
 * or 0 after the reader's error on stderr. */
static int EpgdbVdrReadChannels(epgdb_reader_t *r, std::vector<EpgdbVdrChannel> *channels) {
  epgdb_channel_row_t c;
  int row = epgdb_reader_channels(r, 1) ? 1 : -1;
  while (row == 1 && (row = epgdb_reader_next_channel(r, &c)) == 1) {
    EpgdbVdrChannel channel;
    channel.nid = c.nid;
    channel.tsid = c.tsid;
    channel.sid = c.sid;
    channel.triple = std::to_string(c.nid) + ":" + std::to_string(c.tsid) + ":" + std::to_string(c.sid);
    channel.name = EpgdbTextDecode((const unsigned char *)c.name, strlen(c.name), 1, EPGDB_TEXT_ONE_LINE);
    channel.titles = c.titles;
    channels->push_back(channel);
  }
  if (row == 0) return 1;
  fprintf(stderr, "epgdb: %s\n", epgdb_reader_error(r));
  return 0;
}

/* Writes the guide in VDR's EPG data format on standard output: one
 * "C ... c" block per channel with titles in "range". Returns the exit code. */
static int EpgdbVdrPrint(epgdb_reader_t *r, const std::vector<EpgdbVdrChannel> &channels,
                         const EpgdbVdrOptions &o, const epgdb_title_filter_t &range) {
  for (const EpgdbVdrChannel &c : channels) {
    std::string events;
    long count = EpgdbVdrEvents(r, c, range, "\n", &events);
    if (count < 0) return EPGDB_VDR_EXIT_FAILED;
    if (count == 0) continue;
    printf("C %s %s\n", EpgdbVdrChannelId(o.source, c.nid, c.tsid, c.sid, 0).c_str(),
           (c.name.empty() ? c.triple : c.name).c_str());
    fwrite(events.data(), 1, events.size(), stdout);
    printf("c\n");
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "epgdb: writing the output: %s\n", strerror(errno));
    return EPGDB_VDR_EXIT_FAILED;
  }
  return EPGDB_VDR_EXIT_OK;
}

/* A channel of VDR's channel list. */
struct EpgdbVdrKnown {
  std::string source;
  unsigned nid, tid, sid, rid;
};

/* Parses one line of LSTC ("NUMBER NAME:FREQ:PARAMETERS:SOURCE:SRATE:VPID:
 * APID:TPID:CAID:SID:NID:TID:RID") into "known". Returns 1, or 0 when it is
 * not such a line. */
static int EpgdbVdrParseKnown(const std::string &text, EpgdbVdrKnown *known) {
  size_t blank = text.find(' ');
  if (blank == std::string::npos) return 0;
  std::vector<std::string> fields;
  size_t from = blank + 1;
  for (;;) {
    size_t colon = text.find(':', from);
    fields.push_back(text.substr(from, colon == std::string::npos ? colon : colon - from));
    if (colon == std::string::npos) break;
    from = colon + 1;
  }
  long ids[4];
  if (fields.size() != 13 || fields[3].empty()) return 0;
  for (int i = 0; i < 4; i++)
    if (!EpgdbVdrParseNumber(fields[9 + i], 0, 65535, &ids[i])) return 0;
  known->source = fields[3];
  known->sid = (unsigned)ids[0];
  known->nid = (unsigned)ids[1];
  known->tid = (unsigned)ids[2];
  known->rid = (unsigned)ids[3];
  return 1;
}

/* Reads VDR's channel list and gives every stored channel the ids of the
 * VDR channels with its NID, TSID and SID (and the source of "o" when one
 * was given); reports on stderr the channels that get none. Returns 1, or
 * 0 after the reason on stderr. */
static int EpgdbVdrMatch(EpgdbVdrLink *link, const EpgdbVdrOptions &o,
                         std::vector<EpgdbVdrChannel> *channels) {
  int code = 0;
  std::vector<std::string> texts;
  if (!EpgdbVdrSend(link, "LSTC\r\n", "LSTC") || !EpgdbVdrAnswer(link, "the channel list (LSTC)", &code, &texts))
    return 0;
  /* 550: VDR has no channels, so none of the guide's can be matched. */
  if (code != 250 && code != 550) return EpgdbVdrRefused(link, "LSTC", code, texts);
  std::vector<EpgdbVdrKnown> known;
  EpgdbVdrKnown k;
  for (const std::string &text : texts)
    if (code == 250 && EpgdbVdrParseKnown(text, &k)) known.push_back(k);
  for (EpgdbVdrChannel &c : *channels) {
    for (const EpgdbVdrKnown &v : known) {
      if (v.nid != c.nid || v.tid != c.tsid || v.sid != c.sid) continue;
      if (o.source_given && v.source != o.source) continue;
      c.vdr_ids.push_back(EpgdbVdrChannelId(v.source, v.nid, v.tid, v.sid, v.rid));
    }
    if (c.vdr_ids.empty()) {
      std::string name = c.name.empty() ? "" : " (" + c.name + ")";
      fprintf(stderr, "epgdb: channel %s%s is not in the channel list of VDR at %s; its %lld titles are not sent\n",
              c.triple.c_str(), name.c_str(), link->where.c_str(), c.titles);
    }
  }
  return 1;
}

/* Replaces the schedule of every matched channel in VDR with the titles of
 * "range": per VDR channel a CLRE (so that programmes a later grab moved
 * do not stay beside their replacements) and a PUTE of the channel's
 * events, then QUIT. Prints what was sent on standard output. Returns the
 * exit code. */
static int EpgdbVdrPushLinked(epgdb_reader_t *r, EpgdbVdrLink *link, const EpgdbVdrOptions &o,
                              std::vector<EpgdbVdrChannel> *channels,
                              const epgdb_title_filter_t &range) {
  std::vector<std::string> texts;
  if (!EpgdbVdrGreeting(link) || !EpgdbVdrMatch(link, o, channels)) return EPGDB_VDR_EXIT_FAILED;
  long titles = 0, sent_channels = 0, unknown = 0;
  for (const EpgdbVdrChannel &c : *channels) {
    if (c.vdr_ids.empty()) {
      unknown++;
      continue;
    }
    std::string events;
    long count = EpgdbVdrEvents(r, c, range, "\r\n", &events);
    if (count < 0) return EPGDB_VDR_EXIT_FAILED;
    if (count == 0) continue;
    events = EpgdbVdrConvert(link, events);
    std::string name = EpgdbVdrConvert(link, c.name.empty() ? c.triple : c.name);
    for (const std::string &id : c.vdr_ids) {
      std::string data = "C " + id + " " + name + "\r\n" + events + "c\r\n.";
      if (!EpgdbVdrClear(link, id) ||
          !EpgdbVdrCommandAnswer(link, "PUTE", 354, "PUTE for " + id, &texts) ||
          !EpgdbVdrCommandAnswer(link, data, 250, "the EPG data of " + id, &texts))
        return EPGDB_VDR_EXIT_FAILED;
      titles += count;
      sent_channels++;
    }
  }
  if (!EpgdbVdrCommandAnswer(link, "QUIT", 221, "QUIT", &texts)) return EPGDB_VDR_EXIT_FAILED;
  printf("Sent %ld titles of %ld channels to VDR at %s", titles, sent_channels, link->where.c_str());
  if (unknown) printf("; channels of the guide not in VDR's channel list: %ld", unknown);
  printf("\n");
  return fflush(stdout) == 0 ? EPGDB_VDR_EXIT_OK : EPGDB_VDR_EXIT_FAILED;
}

/* Pushes the guide into the VDR that "o" names (see EpgdbVdrPushLinked).
 * Returns the exit code. */
static int EpgdbVdrPush(epgdb_reader_t *r, const EpgdbVdrOptions &o,
                        std::vector<EpgdbVdrChannel> *channels, const epgdb_title_filter_t &range) {
  EpgdbVdrLink link;
  link.timeout_s = o.timeout_s;
  link.where = (o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host) + ":" +
               std::to_string(o.port);
  if (!EpgdbVdrConnect(&link, o.host, o.port)) return EPGDB_VDR_EXIT_FAILED;
  int code = EpgdbVdrPushLinked(r, &link, o, channels, range);
  close(link.fd);
  if (link.charset != (iconv_t)-1) iconv_close(link.charset);
  return code;
}

int EpgdbVdrCommand(int argc, char **argv) {
  EpgdbVdrOptions o;
  if (argc < 3) return EpgdbVdrUsageError("vdr needs the database ROOT");
  o.root = argv[2];
  int bad = EpgdbVdrOptionsRead(argc, argv, &o);
  if (bad) return bad;
  epgdb_title_filter_t range = {};
  if (o.has_days) {
    range.has_to = 1;
    range.to = (int64_t)time(nullptr) + (int64_t)o.days * 86400;
  }

  char why[512];
  epgdb_reader_t *r = epgdb_reader_open(o.root, why, sizeof why);
  if (!r) {
    fprintf(stderr, "epgdb: %s\n", why);
    return EPGDB_VDR_EXIT_USAGE;
  }
  std::vector<EpgdbVdrChannel> channels;
  int code = !EpgdbVdrReadChannels(r, &channels) ? EPGDB_VDR_EXIT_FAILED
             : o.host.empty()                    ? EpgdbVdrPrint(r, channels, o, range)
                                                 : EpgdbVdrPush(r, o, &channels, range);
  epgdb_reader_close(r);
  return code;
}

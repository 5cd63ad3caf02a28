/* Hostile guides: valid MHW2 tables shaped to make a grabber's cost grow
 * faster than the stream, for benchmarks and regression tests. */
#include "hostile.h"

#include <stdio.h>

namespace {

const uint32_t kSharedId = 0x0A5A5A; /* the summary id every event of a shape shares */
const int kChannels = 100;

/* "n" bytes of ISO-8859-1 text, a Spanish sentence over and over. */
std::string HostileFill(size_t n) {
  static const char kSentence[] =
      "La noche del estreno, Bego\xF1" "a descubre en el desv\xE1n una carta de su abuelo. ";
  std::string out;
  while (out.size() < n) out += kSentence;
  out.resize(n);
  return out;
}

/* Event "i" of "n": channel i % kChannels, one start per minute and channel,
 * an empty title (a 3-day entry of 22 bytes, a 7-day entry of 20). */
SimEvent HostileEvent(int i, uint32_t start_day) {
  SimEvent e;
  e.channel = i % kChannels;
  e.start = start_day + (uint32_t)(i / kChannels) * 60u;
  e.duration = 1;
  e.event_id = 0x10000000u + (uint32_t)i;
  e.summary_id = kSharedId;
  e.summary_id_3d = 0xFFFF;
  e.summary_id2 = 0xFFFF;
  return e;
}

/* The shared 7-day summary: a short text, or with "whole_section" one that
 * fills a 4096-byte section. */
SimSummary HostileSummary(bool whole_section) {
  SimSummary s;
  s.key = "shared";
  s.has_id7 = true;
  s.id7 = kSharedId;
  s.title = "Resumen compartido";
  s.text7 = HostileFill(whole_section ? SIM_SECTION_MAX - 22 - s.title.size() - 4 : 40);
  return s;
}

}  // namespace

int HostileGenerate(const std::string &shape, int events, uint32_t start_day, SimGuide *guide,
                    SimStreamOptions *opt) {
  if (events < 1 || events > 2000000) {
    fprintf(stderr, "hostile guide: between 1 and 2000000 events\n");
    return 0;
  }
  for (int c = 0; c < kChannels; c++) {
    SimChannel ch;
    ch.nid = 1;
    ch.tsid = 0x400;
    ch.sid = (uint16_t)(0x1000 + c);
    ch.name = "Canal " + std::to_string(c);
    guide->channels.push_back(ch);
  }
  opt->section_size = SIM_SECTION_MAX;
  if (shape == "shared-summary") {
    /* Every 3-day entry refers to one 7-day summary that fills a whole
     * 4096-byte section. */
    for (int i = 0; i < events; i++) {
      SimEvent e = HostileEvent(i, start_day);
      e.in7 = false;
      guide->events.push_back(e);
    }
    guide->summaries.push_back(HostileSummary(true));
  } else if (shape == "reverse-merge") {
    /* Every 3-day entry has a summary id of its own; the 7-day entry of the
     * same event (same event id) moves it to the shared summary id, the
     * 7-day table running backwards in time. */
    for (int i = 0; i < events; i++) {
      SimEvent three = HostileEvent(i, start_day);
      three.summary_id = 0x100000u + (uint32_t)i;
      three.in7 = false;
      guide->events.push_back(three);
    }
    for (int i = 0; i < events; i++) {
      SimEvent seven = HostileEvent(i, start_day);
      seven.in3 = false;
      guide->events.push_back(seven);
    }
    guide->summaries.push_back(HostileSummary(false));
    opt->events7_descending = true;
  } else if (shape == "repeated-summary") {
    /* Every 3-day entry shares one summary id, and the 7-day summary table
     * sends that summary once per event, each section a little different. */
    for (int i = 0; i < events; i++) {
      SimEvent e = HostileEvent(i, start_day);
      e.in7 = false;
      guide->events.push_back(e);
      guide->summaries.push_back(HostileSummary(false));
    }
  } else {
    fprintf(stderr, "hostile guide: shape is shared-summary, reverse-merge or repeated-summary\n");
    return 0;
  }
  return GuideCheck(*guide);
}

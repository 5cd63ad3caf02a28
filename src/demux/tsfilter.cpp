/* Transport stream section filter: packet sync, section reassembly per PID
 * and the demux filter/mask match, as a kernel demux applies them. */
#include "demux/tsfilter.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "demux/wire.h"

void TsFilterReset(TsFilter *f) {
  f->running = 0;
  f->pid = 0;
  memset(f->filter, 0, sizeof(f->filter));
  memset(f->mask, 0, sizeof(f->mask));
  memset(f->mode, 0, sizeof(f->mode));
  f->packet_fill = 0;
  f->section_fill = 0;
  f->assembling = 0;
  f->last_cc = -1;
  f->ready.clear();
  f->lost = 0;
  f->bytes_since_match = 0;
}

int TsFilterSet(TsFilter *f, uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                const uint8_t *mode, int length) {
  if (length < 0 || length > TS_FILTER_SIZE) return 0;
  TsFilterStop(f);
  memset(f->filter, 0, sizeof(f->filter));
  memset(f->mask, 0, sizeof(f->mask));
  memset(f->mode, 0, sizeof(f->mode));
  if (length > 0) {
    memcpy(f->filter, filter, (size_t)length);
    memcpy(f->mask, mask, (size_t)length);
    if (mode) memcpy(f->mode, mode, (size_t)length);
  }
  f->pid = pid;
  f->running = 1;
  f->section_fill = 0;
  f->assembling = 0;
  f->last_cc = -1;
  f->lost = 0;
  f->bytes_since_match = 0;
  return 1;
}

void TsFilterStop(TsFilter *f) {
  f->running = 0;
  f->ready.clear();
  f->lost = 0;
  f->section_fill = 0;
  f->assembling = 0;
}

void TsFilterDiscontinuity(TsFilter *f) {
  f->packet_fill = 0;
  f->section_fill = 0;
  f->assembling = 0;
  f->last_cc = -1;
}

int TsFilterMatch(const TsFilter *f, const uint8_t *section, int length) {
  int negative_wanted = 0, negative_seen = 0;
  for (int i = 0; i < TS_FILTER_SIZE; i++) {
    if (f->mask[i] == 0) continue;
    int pos = i == 0 ? 0 : i + 2;
    if (pos >= length) return 0;
    uint8_t differ = (uint8_t)(f->filter[i] ^ section[pos]);
    uint8_t positive = (uint8_t)(f->mask[i] & ~f->mode[i]);
    uint8_t negative = (uint8_t)(f->mask[i] & f->mode[i]);
    if (differ & positive) return 0;
    if (negative) negative_wanted = 1;
    if (differ & negative) negative_seen = 1;
  }
  return !negative_wanted || negative_seen;
}

/* The section_length field announces how many bytes follow the 3-byte header. */
static int TsSectionTotal(const uint8_t *section) { return WireSectionTotal(section); }

/* Queues the whole section being assembled. Returns 1, or 0 when no memory
 * could be had for it: the section is then lost and counted. */
static int TsFilterQueue(TsFilter *f) {
  try {
    f->ready.emplace_back(f->section, f->section + f->section_fill);
  } catch (const std::bad_alloc &) {
    f->lost++;
    return 0;
  }
  return 1;
}

/* Appends up to "length" bytes to the section being assembled. Returns the
 * bytes taken; queues the section when it is whole and passes the filter,
 * and ends the assembly then. */
static int TsFilterAppend(TsFilter *f, const uint8_t *data, int length, int *queued) {
  int taken = 0;
  while (taken < length && f->assembling) {
    int want = f->section_fill < 3 ? 3 : TsSectionTotal(f->section);
    int n = want - f->section_fill;
    if (n > length - taken) n = length - taken;
    memcpy(f->section + f->section_fill, data + taken, (size_t)n);
    f->section_fill += n;
    taken += n;
    if (f->section_fill < 3 || f->section_fill < TsSectionTotal(f->section)) continue;
    if (f->section_fill == TsSectionTotal(f->section)) {
      f->assembling = 0;
      if (TsFilterMatch(f, f->section, f->section_fill) && TsFilterQueue(f)) (*queued)++;
      f->section_fill = 0;
    }
  }
  return taken;
}

/* Drops the section being assembled (a lost packet or a corrupt one). */
static void TsFilterDropSection(TsFilter *f) {
  f->assembling = 0;
  f->section_fill = 0;
}

/* Handles one whole 188-byte packet starting with the sync byte. Returns the
 * number of sections queued. */
static int TsFilterPacket(TsFilter *f, const uint8_t *p) {
  if (p[1] & 0x80) return 0; /* transport_error_indicator: the packet is damaged */
  uint16_t pid = (uint16_t)(((p[1] & 0x1F) << 8) | p[2]);
  if (!f->running || pid != f->pid) return 0;
  int pusi = (p[1] & 0x40) != 0;
  int afc = (p[3] >> 4) & 0x03;
  int cc = p[3] & 0x0F;
  int pos = 4;
  int discontinuity_flag = 0;
  if (afc & 0x02) {
    int af_length = p[4];
    if (5 + af_length > TS_PACKET_SIZE) {
      TsFilterDropSection(f);
      return 0;
    }
    if (af_length > 0) discontinuity_flag = (p[5] & 0x80) != 0;
    pos = 5 + af_length;
  }
  if (!(afc & 0x01)) return 0; /* no payload: the counter does not advance */
  if (f->last_cc >= 0 && !discontinuity_flag) {
    if (cc == f->last_cc) return 0; /* a repeated packet */
    if (cc != ((f->last_cc + 1) & 0x0F)) TsFilterDropSection(f);
  }
  f->last_cc = cc;

  const uint8_t *payload = p + pos;
  int length = TS_PACKET_SIZE - pos;
  int queued = 0;
  if (!pusi) {
    if (f->assembling) TsFilterAppend(f, payload, length, &queued);
    return queued;
  }
  if (length < 1) {
    TsFilterDropSection(f);
    return 0;
  }
  int pointer = payload[0];
  if (1 + pointer > length) {
    TsFilterDropSection(f);
    return 0;
  }
  /* The bytes before the pointer end the previous section; a section still
   * unfinished where the next one starts was damaged and goes. */
  if (f->assembling) TsFilterAppend(f, payload + 1, pointer, &queued);
  TsFilterDropSection(f);
  int at = 1 + pointer;
  while (at < length && payload[at] != 0xFF) { /* 0xFF: stuffing up to the packet end */
    f->assembling = 1;
    f->section_fill = 0;
    at += TsFilterAppend(f, payload + at, length - at, &queued);
    if (f->assembling) break; /* continues in the next packet */
  }
  return queued;
}

int TsFilterFeed(TsFilter *f, const uint8_t *data, size_t length) {
  int queued = 0;
  uint32_t lost = f->lost;
  size_t at = 0;
  while (at < length) {
    if (f->packet_fill == 0) {
      /* Resynchronise: a packet starts only at a sync byte. */
      const void *sync = memchr(data + at, TS_SYNC_BYTE, length - at);
      if (!sync) break;
      at = (size_t)((const uint8_t *)sync - data);
    }
    size_t n = (size_t)(TS_PACKET_SIZE - f->packet_fill);
    if (n > length - at) n = length - at;
    memcpy(f->packet + f->packet_fill, data + at, n);
    f->packet_fill += (int)n;
    at += n;
    if (f->packet_fill == TS_PACKET_SIZE) {
      queued += TsFilterPacket(f, f->packet);
      f->packet_fill = 0;
    }
  }
  /* A lost section passed the filter all the same. */
  if (queued > 0 || f->lost != lost) f->bytes_since_match = 0;
  else f->bytes_since_match += length;
  return queued;
}

int TsFilterTake(TsFilter *f, uint8_t *out, int size) {
  if (f->ready.empty() || size <= 0) return 0;
  std::vector<uint8_t> &section = f->ready.front();
  int n = (int)section.size();
  if (n > size) n = size;
  memcpy(out, section.data(), (size_t)n);
  f->ready.pop_front();
  return n;
}

uint32_t TsFilterTakeLost(TsFilter *f) {
  uint32_t lost = f->lost;
  f->lost = 0;
  return lost;
}

int TsFilterPlayFile(TsFilter *f, int fd, uint64_t budget, uint64_t *fed) {
  uint8_t chunk[TS_PLAY_CHUNK];
  uint64_t total = 0;
  int result = TS_PLAY_NONE;
  for (;;) {
    if (f->lost) {
      result = TS_PLAY_LOST;
      break;
    }
    if (!f->ready.empty()) {
      result = TS_PLAY_SECTION;
      break;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      result = TS_PLAY_ERROR;
      break;
    }
    /* Counted from the last section that passed, a whole lap of the file
     * has visited every section it holds. */
    if (f->bytes_since_match >= (uint64_t)st.st_size) {
      result = TS_PLAY_NONE;
      break;
    }
    if (budget > 0 && total >= budget) {
      result = TS_PLAY_BUDGET;
      break;
    }
    size_t want = sizeof(chunk);
    if (budget > 0 && budget - total < want) want = (size_t)(budget - total);
    ssize_t n = read(fd, chunk, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      result = TS_PLAY_ERROR;
      break;
    }
    if (n == 0) {
      /* End of the recording: the carousel starts again. */
      if (lseek(fd, 0, SEEK_SET) != 0) {
        result = TS_PLAY_ERROR;
        break;
      }
      TsFilterDiscontinuity(f);
      continue;
    }
    TsFilterFeed(f, chunk, (size_t)n);
    total += (uint64_t)n;
  }
  if (fed) *fed = total;
  return result;
}

/* Transport stream writer, shared by the broadcast simulator and the tests:
 * writes sections as an MPEG-2 transport stream (188-byte packets, PAT
 * included).
 *
 * Use:
 *   TsWriter w;                                  // options as below
 *   w.Section(0x0000, TsMakePat(1, {{1, 0x100}}));
 *   w.Section(0x231, channel_section);           // bytes from table id to last byte
 *   w.Save("/tmp/x.ts");                         // or w.Take() for a FIFO writer
 *
 * Every section starts in a new packet with pointer_field 0 unless "pack" is
 * set, in which case the sections of one PID follow each other without gaps
 * until Flush (several sections per packet, sections starting mid-packet).
 * The last packet of a run is filled with 0xFF stuffing. */
#ifndef MHW2_TOOLS_TSWRITER_H
#define MHW2_TOOLS_TSWRITER_H

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

struct TsWriterOptions {
  bool pack = false;     /* sections of one PID share packets until Flush */
  int adaptation = 0;    /* 0: none; n (1..183): an adaptation field of n bytes in every packet */
  int start_offset = 0;  /* filler bytes before each section that opens a run
                            (pointer_field skips them, as a receiver joining late sees) */
};

class TsWriter {
 public:
  TsWriterOptions options;

  /* Queues "section" on "pid"; without "pack" it is packetised at once. */
  void Section(uint16_t pid, const std::vector<uint8_t> &section);
  /* Packetises what "pack" held back on every PID, in PID order. */
  void Flush();
  /* "n" bytes of noise that hold no sync byte (0x47). */
  void Garbage(size_t n);
  /* The next packet on "pid" skips one continuity counter value. */
  void Gap(uint16_t pid);
  /* One raw 188-byte packet, unchanged (e.g. one with the error bit set). */
  void Packet(const std::vector<uint8_t> &packet);

  /* Flushes and returns the whole stream so far. */
  const std::vector<uint8_t> &Bytes();
  /* Flushes, returns the stream so far and forgets it (for writers that
   * send a stream in pieces); continuity counters go on. */
  std::vector<uint8_t> Take();
  /* Flushes and writes the stream to "path". Returns true on success. */
  bool Save(const std::string &path);

 private:
  struct Pid {
    int cc = 0;
    std::vector<uint8_t> pending;
    std::vector<size_t> starts; /* where sections start in "pending" */
  };
  void FlushPid(uint16_t pid, Pid &p);
  std::map<uint16_t, Pid> pids_;
  std::vector<uint8_t> out_;
  uint32_t noise_ = 0x2545F491u;
};

/* A section from "table_id" and "body": the 3-byte header with
 * section_syntax_indicator "syntax" and section_length = body size (+4 with
 * "crc"), the body, and with "crc" the MPEG CRC-32 at the end. */
std::vector<uint8_t> TsMakeSection(uint8_t table_id, const std::vector<uint8_t> &body, bool syntax,
                                   bool crc);
/* The program association section of transport stream "tsid" listing
 * (program_number, PMT PID) pairs, version 0, with its CRC. */
std::vector<uint8_t> TsMakePat(uint16_t tsid,
                               const std::vector<std::pair<uint16_t, uint16_t>> &programs);
/* The MPEG-2 section CRC-32 (polynomial 0x04C11DB7, not reflected). */
uint32_t TsMpegCrc32(const uint8_t *data, size_t length);

#endif

/* Test support: sections to MPEG-2 transport stream packets. */
#include "tswriter.h"

#include <stdio.h>

namespace {
constexpr size_t kPacket = 188;
}

void TsWriter::Section(uint16_t pid, const std::vector<uint8_t> &section) {
  Pid &p = pids_[pid];
  if (p.pending.empty()) p.pending.assign((size_t)options.start_offset, 0xFF);
  p.starts.push_back(p.pending.size());
  p.pending.insert(p.pending.end(), section.begin(), section.end());
  if (!options.pack) FlushPid(pid, p);
}

void TsWriter::Flush() {
  for (auto &entry : pids_) FlushPid(entry.first, entry.second);
}

void TsWriter::FlushPid(uint16_t pid, Pid &p) {
  size_t at = 0, next_start = 0;
  size_t af = (size_t)options.adaptation;
  while (at < p.pending.size()) {
    uint8_t packet[kPacket];
    size_t capacity = kPacket - 4 - af;
    /* A section starting in this packet needs the pointer_field, which takes
     * one payload byte. */
    while (next_start < p.starts.size() && p.starts[next_start] < at) next_start++;
    bool pusi = next_start < p.starts.size() && p.starts[next_start] < at + capacity - 1;
    packet[0] = 0x47;
    packet[1] = (uint8_t)((pusi ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
    packet[2] = (uint8_t)(pid & 0xFF);
    packet[3] = (uint8_t)((af ? 0x30 : 0x10) | (p.cc & 0x0F));
    p.cc = (p.cc + 1) & 0x0F;
    size_t pos = 4;
    if (af) {
      packet[pos++] = (uint8_t)(af - 1);
      if (af > 1) packet[pos++] = 0x00; /* no adaptation flags */
      while (pos < 4 + af) packet[pos++] = 0xFF;
    }
    if (pusi) {
      packet[pos++] = (uint8_t)(p.starts[next_start] - at);
      capacity--;
    }
    /* A section that would start on the very last payload byte cannot get
     * its pointer_field in this packet: stuff that byte and start the
     * section in the next packet instead. */
    bool starts_on_last_byte = !pusi && next_start < p.starts.size() &&
                               p.starts[next_start] == at + capacity - 1;
    size_t n = p.pending.size() - at;
    if (n > capacity) n = capacity;
    if (starts_on_last_byte) n = capacity - 1;
    for (size_t i = 0; i < n; i++) packet[pos++] = p.pending[at + i];
    at += n;
    while (pos < kPacket) packet[pos++] = 0xFF;
    out_.insert(out_.end(), packet, packet + kPacket);
  }
  p.pending.clear();
  p.starts.clear();
}

void TsWriter::Garbage(size_t n) {
  for (size_t i = 0; i < n; i++) {
    noise_ ^= noise_ << 13;
    noise_ ^= noise_ >> 17;
    noise_ ^= noise_ << 5;
    uint8_t b = (uint8_t)noise_;
    out_.push_back(b == 0x47 ? 0x48 : b);
  }
}

void TsWriter::Gap(uint16_t pid) {
  Pid &p = pids_[pid];
  p.cc = (p.cc + 1) & 0x0F;
}

void TsWriter::Packet(const std::vector<uint8_t> &packet) {
  out_.insert(out_.end(), packet.begin(), packet.end());
}

const std::vector<uint8_t> &TsWriter::Bytes() {
  Flush();
  return out_;
}

std::vector<uint8_t> TsWriter::Take() {
  Flush();
  std::vector<uint8_t> taken;
  taken.swap(out_);
  return taken;
}

bool TsWriter::Save(const std::string &path) {
  Flush();
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(out_.data(), 1, out_.size(), f) == out_.size();
  return fclose(f) == 0 && ok;
}

uint32_t TsMpegCrc32(const uint8_t *data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; i++) {
    crc ^= (uint32_t)data[i] << 24;
    for (int k = 0; k < 8; k++) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

std::vector<uint8_t> TsMakeSection(uint8_t table_id, const std::vector<uint8_t> &body, bool syntax,
                                   bool crc) {
  size_t length = body.size() + (crc ? 4 : 0);
  std::vector<uint8_t> s;
  s.push_back(table_id);
  s.push_back((uint8_t)((syntax ? 0xB0 : 0x70) | ((length >> 8) & 0x0F)));
  s.push_back((uint8_t)(length & 0xFF));
  s.insert(s.end(), body.begin(), body.end());
  if (crc) {
    uint32_t c = TsMpegCrc32(s.data(), s.size());
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back((uint8_t)(c >> shift));
  }
  return s;
}

std::vector<uint8_t> TsMakePat(uint16_t tsid,
                               const std::vector<std::pair<uint16_t, uint16_t>> &programs) {
  std::vector<uint8_t> body = {(uint8_t)(tsid >> 8), (uint8_t)tsid, 0xC1, 0x00, 0x00};
  for (const auto &prog : programs) {
    body.push_back((uint8_t)(prog.first >> 8));
    body.push_back((uint8_t)prog.first);
    body.push_back((uint8_t)(0xE0 | ((prog.second >> 8) & 0x1F)));
    body.push_back((uint8_t)prog.second);
  }
  return TsMakeSection(0x00, body, true, true);
}

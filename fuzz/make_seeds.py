#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz entry point: valid, real-shaped
MHW2 sections (so the fuzzer starts past the first checks), configuration
files and transport stream packets. Run from anywhere; writes fuzz/corpus/."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes(data))


def header(tid, body_len):
    n = body_len  # section_length counts the bytes after the 3-byte header
    return [tid, 0xF0 | ((n >> 8) & 0x0F), n & 0xFF]


def section(tid, body):
    return header(tid, len(body)) + body


def channels(n):
    s = [0xC8, 0, 0] + [0] * 117 + [n]
    for i in range(n):
        s += [0, 1, 0, 2, 0, i, 0, 0]
    for i in range(n):
        name = ("Canal %d" % i).encode("latin-1")
        s += [len(name)] + list(name)
    body = s[3:]
    return header(0xC8, len(body)) + body


def bcd(v):
    return ((v // 10) << 4) | (v % 10)


def event3(ch, sid, eid, mjd, h, m, dur, title, sid3):
    t = list(title.encode("latin-1"))[:63]
    e = [ch, 0, 0, 0, (sid >> 16) & 0xFF, (sid >> 8) & 0xFF, sid & 0xFF]
    e += [(eid >> 24) & 0xFF, (eid >> 16) & 0xFF, (eid >> 8) & 0xFF, eid & 0xFF]
    e += [mjd >> 8, mjd & 0xFF, bcd(h), bcd(m), 0, (dur << 4) >> 8, (dur << 4) & 0xFF]
    e += [len(t)] + t + [0, (sid3 >> 8) & 0xFF, sid3 & 0xFF]
    return e


def events3(entries):
    s = [0xE6] + [0] * 16 + [len(entries)]
    for e in entries:
        s += e
    return s


def event7(sid, eid, mjd, h, m, dur, title, sid2):
    t = list(title.encode("latin-1"))
    e = [0, (sid >> 16) & 0xFF, (sid >> 8) & 0xFF, sid & 0xFF]
    e += [(eid >> 24) & 0xFF, (eid >> 16) & 0xFF, (eid >> 8) & 0xFF, eid & 0xFF]
    e += [mjd >> 8, mjd & 0xFF, bcd(h), bcd(m), 0, (dur << 4) >> 8, (dur << 4) & 0xFF]
    e += [len(t)] + t + [0, (sid2 >> 8) & 0xFF, sid2 & 0xFF, 0x5A]
    return e


def events7(ch, entries):
    s = [0xDC] + [0] * 6 + [ch, 0, 0, len(entries)]
    for e in entries:
        s += e
    return s


def summary3(sid, title, lines, cont=0):
    t = list(title.encode("latin-1"))
    s = [0x96, 0, 0, sid >> 8, sid & 0xFF, 0, cont] + [0] * 7 + [len(t)] + t + [0xF0 | len(lines)]
    for line in lines:
        b = list(line.encode("latin-1"))
        s += [len(b)] + b
    return s + [0, 0, 0, 0]


def summary7(sid, title, text):
    t = list(title.encode("latin-1"))
    x = list(text.encode("latin-1"))
    s = [0x96, 0, 0, 0, 0, 0, (sid >> 16) & 0xFF, (sid >> 8) & 0xFF, sid & 0xFF] + [0] * 10
    s += [len(t)] + t + [0xF0 | (len(x) >> 8), len(x) & 0xFF] + x
    return s + [0, 0, 0, 0]


def packets(pid, sec, cc=0):
    out = []
    payload = [0] + sec  # pointer_field 0
    first = True
    while payload:
        chunk, payload = payload[:184], payload[184:]
        chunk += [0xFF] * (184 - len(chunk))
        out += [0x47, (0x40 if first else 0) | (pid >> 8), pid & 0xFF, 0x10 | (cc & 0x0F)] + chunk
        cc += 1
        first = False
    return out


MJD = 60000
put("channels", "ten", channels(10))
put("channels", "one", channels(1))
put("events3days", "two", events3([event3(1, 5, 100, MJD, 12, 30, 90, "Telediario", 7),
                                   event3(2, 6, 101, MJD, 21, 0, 45, "Película: El sueño", 8)]))
put("events3days", "long_title", events3([event3(3, 2, 102, MJD, 8, 15, 30, "A" * 63, 3)]))
put("events7days", "two", events7(1, [event7(5, 100, MJD, 12, 30, 90, "Telediario", 7),
                                      event7(9, 200, MJD + 3, 6, 0, 120, "Documental" * 8, 9)]))
put("summaries3days", "lines", summary3(7, "Telediario", ["Noticias de la mañana", "con el tiempo", "y deportes"]))
put("summaries3days", "continuation", summary3(8, "x", ["y"], cont=1))
put("summaries7days", "text", summary7(5, "Telediario", "Información y actualidad en España."))
put("summaries7days", "nomatch", summary7(0x123456, "", "Sin evento"))
put("config", "full", b"# grabber\ndebug=0\ndemux=/nonexistent/demux\nDownload_3_Days=1\n"
    b"Download_7_Days=0\nConvertToUTF8=1\nalias=1A:2B:3C,4D:5E:6F\n")
put("config", "crlf", b"demux = /nonexistent/demux \r\nalias=1:2:3,4:5:6\r\nbad line\r\n")
put("utf8", "latin1", b"\x00\x40" + "Película española ñ".encode("latin-1"))
put("utf8", "tight", b"\x00\x03\xE9\xE9a")
put("tsfilter", "channels", [0x01, 0xC8, 0xFF, 0x02, 0x31] + packets(0x231, channels(10)))
put("tsfilter", "summary", [0x00, 0x96, 0xFF, 0x02, 0x36] +
    packets(0x236, summary3(7, "T", ["uno", "dos"])) + [0x12, 0x34] +
    packets(0x236, summary3(9, "U", ["tres"]), cc=1))

#include "simcore.h"

#include <arpa/inet.h>
#include <string.h>

#include <sstream>

namespace {

const int64_t kNsPerSec = 1000000000;
const int64_t kNtpEpochOffset = 2208988800LL;      // 1900-01-01 to 1970-01-01 in seconds
const int64_t kMaxOffsetSec = 200LL * 366 * 86400;  // keeps every server clock inside int64 ns

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

uint32_t GetBe32(const uint8_t* p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool ParseOffset(const std::string& text, int64_t* ns) {
  std::string s = text;
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.erase(0, 1);
  }
  std::string whole = s, frac;
  size_t dot = s.find('.');
  if (dot != std::string::npos) {
    whole = s.substr(0, dot);
    frac = s.substr(dot + 1);
    if (whole.empty()) whole = "0";
    if (frac.empty() || frac.size() > 9 || !AllDigits(frac)) return false;
  }
  if (!AllDigits(whole) || whole.size() > 12) return false;
  int64_t sec = std::stoll(whole);
  if (sec > kMaxOffsetSec) return false;
  int64_t sub = 0;
  if (!frac.empty()) {
    sub = std::stoll(frac);
    for (size_t i = frac.size(); i < 9; ++i) sub *= 10;
  }
  int64_t v = sec * kNsPerSec + sub;
  *ns = negative ? -v : v;
  return true;
}

bool ParseUnsigned(const std::string& text, uint64_t lo, uint64_t hi, uint64_t* value) {
  uint64_t v = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    std::string hex = text.substr(2);
    if (hex.size() > 16) return false;
    for (char c : hex) {
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return false;
      v = v * 16 + (uint64_t)d;
    }
  } else {
    if (!AllDigits(text) || text.size() > 19) return false;
    for (char c : text) v = v * 10 + (uint64_t)(c - '0');
  }
  if (v < lo || v > hi) return false;
  *value = v;
  return true;
}

bool ParseBehaviour(const std::string& options, Behaviour* out, std::string* why) {
  Behaviour b;
  std::istringstream in(options);
  std::string item;
  while (in >> item) {
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq);
    std::string val = eq == std::string::npos ? "" : item.substr(eq + 1);
    uint64_t n = 0;
    bool ok = true;
    sockaddr_storage sa;
    socklen_t salen;
    if (key == "offset") {
      ok = ParseOffset(val, &b.offsetNs);
    } else if (key == "decoyoffset") {
      ok = ParseOffset(val, &b.decoyOffsetNs);
    } else if (key == "delay") {
      ok = ParseUnsigned(val, 0, 600000, &n);
      b.delayMs = (int)n;
    } else if (key == "decoydelay") {
      ok = ParseUnsigned(val, 0, 60000, &n);
      b.decoyDelayMs = (int)n;
    } else if (key == "silent") {
      ok = val.empty() || val == "1" || val == "0";
      b.silent = val != "0";
    } else if (key == "every") {
      ok = ParseUnsigned(val, 1, 1000000000, &n);
      b.every = (unsigned)n;
    } else if (key == "stratum") {
      ok = ParseUnsigned(val, 0, 255, &n);
      b.stratum = (int)n;
    } else if (key == "leap") {
      ok = ParseUnsigned(val, 0, 3, &n);
      b.leap = (int)n;
    } else if (key == "mode") {
      ok = ParseUnsigned(val, 0, 7, &n);
      b.mode = (int)n;
    } else if (key == "version") {
      ok = ParseUnsigned(val, 0, 7, &n);
      b.version = (int)n;
    } else if (key == "rootdelay") {
      ok = ParseUnsigned(val, 0, 0xFFFFFFFFu, &n);
      b.rootDelay = (uint32_t)n;
    } else if (key == "len") {
      ok = ParseUnsigned(val, 0, kMaxReplyLen, &n);
      b.len = (int)n;
    } else if (key == "origin") {
      ok = val == "wrong";
      b.wrongOrigin = ok;
    } else if (key == "transmit") {
      ok = val == "zero";
      b.zeroTransmit = ok;
    } else if (key == "from") {
      ok = ParseLoopback(val, &b.from, &sa, &salen);
    } else if (key == "decoy") {
      if (val == "origin") {
        b.decoy = kDecoyOrigin;
      } else if (val.compare(0, 5, "from:") == 0) {
        b.decoy = kDecoyFrom;
        ok = ParseLoopback(val.substr(5), &b.decoyFrom, &sa, &salen);
      } else {
        ok = false;
      }
    } else {
      *why = "unknown option " + item;
      return false;
    }
    if (!ok) {
      *why = "bad value in " + item;
      return false;
    }
  }
  *out = b;
  return true;
}

bool ParseLoopback(const std::string& text, std::string* canon, sockaddr_storage* sa, socklen_t* len) {
  char buf[INET6_ADDRSTRLEN];
  memset(sa, 0, sizeof *sa);
  in_addr a4;
  in6_addr a6;
  if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
    if ((ntohl(a4.s_addr) >> 24) != 127) return false;
    sockaddr_in* sin = (sockaddr_in*)sa;
    sin->sin_family = AF_INET;
    sin->sin_addr = a4;
    sin->sin_port = htons(123);
    *len = sizeof *sin;
    inet_ntop(AF_INET, &a4, buf, sizeof buf);
  } else if (inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
    if (!IN6_IS_ADDR_LOOPBACK(&a6)) return false;
    sockaddr_in6* sin6 = (sockaddr_in6*)sa;
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = a6;
    sin6->sin6_port = htons(123);
    *len = sizeof *sin6;
    inet_ntop(AF_INET6, &a6, buf, sizeof buf);
  } else {
    return false;
  }
  *canon = buf;
  return true;
}

bool ParseHostPort(const std::string& text, sockaddr_storage* sa, socklen_t* len) {
  std::string host, port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  uint64_t p;
  std::string canon;
  if (!ParseUnsigned(port, 1, 65535, &p) || !ParseLoopback(host, &canon, sa, len)) return false;
  if (sa->ss_family == AF_INET) ((sockaddr_in*)sa)->sin_port = htons((uint16_t)p);
  else ((sockaddr_in6*)sa)->sin6_port = htons((uint16_t)p);
  return true;
}

std::string FormatSockaddr(const sockaddr_storage& sa) {
  char buf[INET6_ADDRSTRLEN] = "?";
  if (sa.ss_family == AF_INET) {
    const sockaddr_in* sin = (const sockaddr_in*)&sa;
    inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(sin->sin_port));
  }
  if (sa.ss_family == AF_INET6) {
    const sockaddr_in6* sin6 = (const sockaddr_in6*)&sa;
    inet_ntop(AF_INET6, &sin6->sin6_addr, buf, sizeof buf);
    return "[" + std::string(buf) + "]:" + std::to_string(ntohs(sin6->sin6_port));
  }
  return "?";
}

void PutNtpTime(int64_t unixNs, uint8_t out[8]) {
  int64_t sec = unixNs / kNsPerSec, sub = unixNs % kNsPerSec;
  if (sub < 0) {
    sub += kNsPerSec;
    sec -= 1;
  }
  // sub < 1e9, so sub << 32 stays below 2^62.
  uint64_t frac = (((uint64_t)sub << 32) + (uint64_t)kNsPerSec / 2) / (uint64_t)kNsPerSec;
  if (frac >> 32) {  // rounded up to a whole second
    frac = 0;
    sec += 1;
  }
  PutBe32(out, (uint32_t)(uint64_t)(sec + kNtpEpochOffset));
  PutBe32(out + 4, (uint32_t)frac);
}

int64_t NtpTimeToUnixNs(const uint8_t in[8]) {
  int64_t sec = (int64_t)GetBe32(in) - kNtpEpochOffset;
  uint64_t frac = GetBe32(in + 4);
  return sec * kNsPerSec + (int64_t)((frac * (uint64_t)kNsPerSec + (1ULL << 31)) >> 32);
}

void WrongOrigin(const uint8_t reqTransmit[8], uint8_t out[8]) {
  static const uint8_t kFlip[8] = {0x5A, 0x5A, 0x5A, 0x5A, 0xA5, 0xA5, 0xA5, 0xA5};
  for (int i = 0; i < 8; ++i) out[i] = reqTransmit[i] ^ kFlip[i];
}

void BuildReply(const Behaviour& b, const uint8_t reqTransmit[8], int64_t rxServerNs, int64_t txServerNs,
                uint8_t out[kNtpPacket]) {
  memset(out, 0, kNtpPacket);
  out[0] = (uint8_t)(((b.leap & 3) << 6) | ((b.version & 7) << 3) | (b.mode & 7));
  out[1] = (uint8_t)b.stratum;
  out[2] = 4;                  // poll
  out[3] = (uint8_t)(int8_t)-20;  // precision, about a microsecond
  PutBe32(out + 4, b.rootDelay);
  PutBe32(out + 8, 0x00000010);  // root dispersion: 0.24 ms
  memcpy(out + 12, "SIM", 4);    // reference id "SIM\0"
  PutNtpTime(txServerNs, out + 16);
  if (b.wrongOrigin) WrongOrigin(reqTransmit, out + 24);
  else memcpy(out + 24, reqTransmit, 8);
  PutNtpTime(rxServerNs, out + 32);
  if (!b.zeroTransmit) PutNtpTime(txServerNs, out + 40);
}

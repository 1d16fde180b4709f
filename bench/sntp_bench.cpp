// sntp_bench: accuracy and speed of the SNTP engine, for bench/run.
//   sntp_bench offset HOST CONFIGURED_OFFSET_SECONDS N
//       N exchanges with HOST; error = |measured offset - configured offset|
//   sntp_bench round HOST0 ... HOST9
//       wall time of a probe round of two passes over the ten hosts
//   sntp_bench raw ADDR CONFIGURED_OFFSET_SECONDS N
//       the same exchange in plain Winsock with T1 read before and after send(),
//       to show what the placement of the clock readings costs under this system
// Prints figures only; judging them is left to the reader.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

#include "ntp/clock.h"
#include "ntp/probe.h"
#include "ntp/serverrow.h"
#include "ntp/sntp.h"
#include "ntp/sntp_codec.h"

namespace {

const int kRounds = 7;

// Nearest-rank percentile of an unsorted sample (p in 0..1).
double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t rank = (size_t)ceil(p * (double)v.size());
  return v[rank ? rank - 1 : 0];
}

int Usage() {
  fwprintf(stderr,
           L"usage: sntp_bench offset HOST CONFIGURED_OFFSET_SECONDS N\n"
           L"       sntp_bench round HOST0 ... HOST9\n"
           L"       sntp_bench raw ADDR CONFIGURED_OFFSET_SECONDS N\n");
  return 2;
}

// CONFIGURED_OFFSET_SECONDS and N of the offset and raw modes.
bool ParseOffsetAndCount(const wchar_t* configuredText, const wchar_t* countText, int64_t* configured100ns, long* n) {
  wchar_t* end = nullptr;
  const double configured = wcstod(configuredText, &end);
  if (*end) return false;
  *n = wcstol(countText, &end, 10);
  if (*end || *n < 1 || *n > 1000000) return false;
  *configured100ns = llround(configured * 1e7);
  return true;
}

int BenchOffset(const wchar_t* host, const wchar_t* configuredText, const wchar_t* countText) {
  long n;
  int64_t configured100ns;
  if (!ParseOffsetAndCount(configuredText, countText, &configured100ns, &n)) return Usage();

  std::vector<double> errorUs, delayMs;
  double signedSum = 0;
  long failures = 0;
  for (long i = 0; i < n; ++i) {
    SERVERROW row = {};
    if (!QueryServerTime(host, &row)) {
      ++failures;
      continue;
    }
    double e = (double)(row.offset - configured100ns) / 10.0;
    errorUs.push_back(fabs(e));
    signedSum += e;
    delayMs.push_back(row.delayMs);
  }
  size_t ok = errorUs.size();
  wprintf(L"offset host=%ls configured=%ls exchanges=%ld failures=%ld median_us=%.1f p95_us=%.1f max_us=%.1f "
          L"mean_signed_us=%.1f median_delay_ms=%.0f\n",
          host, configuredText, n, failures, Percentile(errorUs, 0.5), Percentile(errorUs, 0.95),
          Percentile(errorUs, 1.0), ok ? signedSum / (double)ok : NAN, Percentile(delayMs, 0.5));
  return ok ? 0 : 1;
}

int BenchRound(wchar_t** hosts) {
  for (int i = 0; i < SERVER_COUNT; ++i) {
    WCopy(g_workTable[i].host, HOST_CHARS, hosts[i]);
    _snwprintf(g_workTable[i].name, HOST_CHARS, L"#%d", i);
  }
  InitTableLock();
  ResetServerTable();
  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);
  const unsigned passes = 2;
  std::vector<double> ms;
  for (int r = 0; r < kRounds; ++r) {
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    ProbeServers(&passes);
    QueryPerformanceCounter(&b);
    ms.push_back((double)(b.QuadPart - a.QuadPart) * 1000.0 / (double)freq.QuadPart);
  }
  int answered = 0;
  for (int i = 0; i < SERVER_COUNT; ++i)
    if (g_workTable[i].delayMs != DELAY_NONE) ++answered;
  wprintf(L"round servers=%d answered=%d rounds=%d median_ms=%.2f min_ms=%.2f max_ms=%.2f\n", SERVER_COUNT, answered,
          kRounds, Percentile(ms, 0.5), Percentile(ms, 0.0), Percentile(ms, 1.0));
  DeleteTableLock();
  return answered == SERVER_COUNT ? 0 : 1;
}

// A packet timestamp as FILETIME, through the program's own conversion.
int64_t PacketTime(const unsigned char* p) {
  uint32_t seconds, fraction;
  memcpy(&seconds, p, 4);
  memcpy(&fraction, p + 4, 4);
  return (int64_t)NtpToFileTime(seconds, fraction);
}

int BenchRaw(const wchar_t* addr, const wchar_t* configuredText, const wchar_t* countText) {
  long n;
  int64_t configured100ns;
  if (!ParseOffsetAndCount(configuredText, countText, &configured100ns, &n)) return Usage();
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(123);
  if (InetPtonW(AF_INET, addr, &to.sin_addr) != 1) {
    WSACleanup();
    return Usage();
  }
  std::vector<double> before, after, sendUs;
  for (long i = 0; i < n; ++i) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) break;
    DWORD timeout = 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof timeout);
    unsigned char buf[1024] = {0x23};
    uint64_t t1a = GetPreciseFileTime();
    int sent = sendto(s, (const char*)buf, 48, 0, (const sockaddr*)&to, sizeof to);
    uint64_t t1b = GetPreciseFileTime();
    int got = sent == 48 ? recv(s, (char*)buf, sizeof buf, 0) : -1;
    uint64_t t4 = GetPreciseFileTime();
    closesocket(s);
    if (got < 48) continue;
    int64_t t2 = PacketTime(buf + 32), t3 = PacketTime(buf + 40);
    before.push_back(fabs((double)((t2 - (int64_t)t1a) + (t3 - (int64_t)t4)) / 2.0 - (double)configured100ns) / 10.0);
    after.push_back(fabs((double)((t2 - (int64_t)t1b) + (t3 - (int64_t)t4)) / 2.0 - (double)configured100ns) / 10.0);
    sendUs.push_back((double)(t1b - t1a) / 10.0);
  }
  WSACleanup();
  wprintf(L"raw host=%ls exchanges=%ld answered=%u t1_before_send_median_us=%.1f t1_after_send_median_us=%.1f "
          L"send_median_us=%.1f\n",
          addr, n, (unsigned)before.size(), Percentile(before, 0.5), Percentile(after, 0.5), Percentile(sendUs, 0.5));
  return before.empty() ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  HMODULE kernel = BindPreciseClock();
  int rc;
  if (!wcscmp(argv[1], L"offset") && argc == 5) rc = BenchOffset(argv[2], argv[3], argv[4]);
  else if (!wcscmp(argv[1], L"round") && argc == 2 + SERVER_COUNT) rc = BenchRound(argv + 2);
  else if (!wcscmp(argv[1], L"raw") && argc == 5) rc = BenchRaw(argv[2], argv[3], argv[4]);
  else rc = Usage();
  if (kernel) FreeLibrary(kernel);
  fflush(stdout);
  return rc;
}

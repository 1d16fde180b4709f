// sntp_bench: accuracy and speed of the SNTP engine, for bench/run.
//   sntp_bench offset HOST CONFIGURED_OFFSET_SECONDS N
//       N exchanges with HOST; error = |measured offset - configured offset|
//   sntp_bench round HOST0 ... HOST9 [ROUNDS]
//       wall time of a probe round of two passes over the ten hosts (ROUNDS
//       rounds, default 7)
//   sntp_bench raw ADDR CONFIGURED_OFFSET_SECONDS N
//       the same exchange in plain Winsock with T1 read before and after send(),
//       to show what the placement of the clock readings costs under this system
//   sntp_bench compare HOST CONFIGURED_OFFSET_SECONDS N CLIENT...
//       N rounds in which every CLIENT makes one exchange with HOST, in turn:
//       engine (QueryServerTime), pass (a probe pass of ProbeServers over ten
//       rows that all name HOST: ten errors a round), floor (bare:block), bare:PATH (socket, sendto,
//       T1, wait, T4 and nothing else) or copy:PATH (the engine's exchange with
//       its wait along PATH); PATH is block, select, poll, event, autoevent (an
//       auto-reset event) or overlapped, and select+t4, poll+t4, event+t4,
//       autoevent+t4 read T4 before the recv (the engine waits as copy:event+t4)
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
           L"       sntp_bench round HOST0 ... HOST9 [ROUNDS]\n"
           L"       sntp_bench raw ADDR CONFIGURED_OFFSET_SECONDS N\n"
           L"       sntp_bench compare ADDR CONFIGURED_OFFSET_SECONDS N CLIENT...\n");
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

int BenchRound(wchar_t** hosts, const wchar_t* roundsText) {
  int rounds = kRounds;
  if (roundsText) {
    wchar_t* end = nullptr;
    rounds = (int)wcstol(roundsText, &end, 10);
    if (*end || rounds < 1 || rounds > 1000) return Usage();
  }
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
  for (int r = 0; r < rounds; ++r) {
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
          rounds, Percentile(ms, 0.5), Percentile(ms, 0.0), Percentile(ms, 1.0));
  DeleteTableLock();
  // Silent servers are the point of some runs: the answered count says enough.
  return 0;
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


// How an exchange waits for its reply. Every path blocks in the system without
// spinning, so none costs CPU while the server takes its time.
enum WaitPath {
  WAIT_BLOCK,        // recv with SO_RCVTIMEO, as the engine did at first
  WAIT_SELECT,       // select, then recv
  WAIT_POLL,         // WSAPoll, then recv
  WAIT_EVENT,        // WSAEventSelect(FD_READ) and an event wait, then recv
  WAIT_AUTOEVENT,    // the same with an auto-reset event: no WSAResetEvent
  WAIT_OVERLAPPED,   // WSARecv with an event in its WSAOVERLAPPED
};

struct PathName {
  const wchar_t* name;
  WaitPath path;
};
const PathName kPaths[] = {{L"block", WAIT_BLOCK},
                           {L"select", WAIT_SELECT},
                           {L"poll", WAIT_POLL},
                           {L"event", WAIT_EVENT},
                           {L"autoevent", WAIT_AUTOEVENT},
                           {L"overlapped", WAIT_OVERLAPPED}};

// The last failed wait of a copy:PATH exchange: Winsock's error and the time
// since T1 (about a second for a time-out).
struct WaitFailure {
  int error;
  double afterMs;
};
WaitFailure g_waitFailure;

// One client of the comparison:
//   engine           QueryServerTime itself
//   floor            bare:block
//   bare:PATH        socket, sendto, T1, wait and receive, T4; nothing else
//   copy:PATH        the engine's exchange step for step, waiting along PATH
// A "+t4" suffix on a select, poll or event path reads T4 as soon as the wait
// reports the reply, before the recv that fetches it.
struct Client {
  const wchar_t* label;
  bool engine;
  bool pass;
  bool copy;
  WaitPath path;
  bool t4BeforeRecv;
  std::vector<double> errorUs;
  std::vector<double> callUs;   // each exchange from call to return, answered or not
  double signedSum;
  long failures;
  long failedWait, failedCheck, failedStep;   // copy:PATH failures by cause
  WaitFailure lastWaitFailure;
};

// Why an exchange failed; zero for an answer.
enum Failure { FAILED_NOT = 0, FAILED_SETUP, FAILED_WAIT, FAILED_CHECK, FAILED_STEP };

bool ParseClient(const wchar_t* text, Client* c) {
  *c = Client();
  c->label = text;
  if (!wcscmp(text, L"engine")) {
    c->engine = true;
    return true;
  }
  if (!wcscmp(text, L"pass")) {
    c->pass = true;
    return true;
  }
  if (!wcscmp(text, L"floor")) return true;
  const wchar_t* rest;
  if (!wcsncmp(text, L"bare:", 5)) rest = text + 5;
  else if (!wcsncmp(text, L"copy:", 5)) {
    c->copy = true;
    rest = text + 5;
  } else
    return false;
  for (const PathName& p : kPaths) {
    size_t len = wcslen(p.name);
    if (wcsncmp(rest, p.name, len)) continue;
    if (!rest[len]) {
      c->path = p.path;
      return true;
    }
    if (!wcscmp(rest + len, L"+t4") && (p.path == WAIT_SELECT || p.path == WAIT_POLL || p.path == WAIT_EVENT ||
                                              p.path == WAIT_AUTOEVENT)) {
      c->path = p.path;
      c->t4BeforeRecv = true;
      return true;
    }
  }
  return false;
}

// One wait-and-receive along `path`, giving up after timeoutMs. For WAIT_BLOCK
// the caller has set SO_RCVTIMEO unless setTimeout asks for it here. `event` is
// the socket's event for WAIT_EVENT (already selected for FD_READ) and
// WAIT_OVERLAPPED. Returns the bytes received or -1; T4 in *t4.
int WaitAndReceive(WaitPath path, bool t4BeforeRecv, SOCKET s, WSAEVENT event, uint8_t* buffer, int size,
                   DWORD timeoutMs, bool setTimeout, uint64_t* t4) {
  char* const data = reinterpret_cast<char*>(buffer);
  switch (path) {
    case WAIT_BLOCK: {
      if (setTimeout &&
          setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs) != 0)
        return -1;
      const int got = recv(s, data, size, 0);
      *t4 = GetPreciseFileTime();
      return got == SOCKET_ERROR ? -1 : got;
    }
    case WAIT_SELECT:
    case WAIT_POLL: {
      int ready;
      if (path == WAIT_SELECT) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tv = {(long)(timeoutMs / 1000), (long)(timeoutMs % 1000 * 1000)};
        ready = select(0, &readable, nullptr, nullptr, &tv);
      } else {
        WSAPOLLFD fd = {s, POLLRDNORM, 0};
        ready = WSAPoll(&fd, 1, (INT)timeoutMs);
      }
      if (t4BeforeRecv) *t4 = GetPreciseFileTime();
      if (ready != 1) return -1;
      const int got = recv(s, data, size, 0);
      if (!t4BeforeRecv) *t4 = GetPreciseFileTime();
      return got == SOCKET_ERROR ? -1 : got;
    }
    case WAIT_EVENT:
    case WAIT_AUTOEVENT: {
      // The socket is non-blocking once selected for events; a recv that finds
      // nothing (a stale signal) waits again within the same limit.
      const int64_t start = GetCounterTime();
      for (;;) {
        const int64_t waitedMs = (GetCounterTime() - start) / 10000;
        if (waitedMs >= (int64_t)timeoutMs) return -1;
        const DWORD w = WSAWaitForMultipleEvents(1, &event, FALSE, timeoutMs - (DWORD)waitedMs, FALSE);
        if (t4BeforeRecv) *t4 = GetPreciseFileTime();
        if (w != WSA_WAIT_EVENT_0) return -1;
        if (path == WAIT_EVENT) WSAResetEvent(event);
        const int got = recv(s, data, size, 0);
        if (!t4BeforeRecv) *t4 = GetPreciseFileTime();
        if (got != SOCKET_ERROR) return got;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
      }
    }
    case WAIT_OVERLAPPED: {
      WSAOVERLAPPED ov = {};
      ov.hEvent = event;
      WSAResetEvent(event);
      WSABUF wb = {(ULONG)size, data};
      DWORD got = 0, flags = 0;
      if (WSARecv(s, &wb, 1, &got, &flags, &ov, nullptr) == 0) {
        *t4 = GetPreciseFileTime();
        return (int)got;
      }
      if (WSAGetLastError() != WSA_IO_PENDING) return -1;
      const DWORD w = WaitForSingleObject(event, timeoutMs);
      *t4 = GetPreciseFileTime();
      if (w != WAIT_OBJECT_0) {
        // The buffer must outlive the receive: cancel it and wait for the end.
        CancelIoEx(reinterpret_cast<HANDLE>(s), &ov);
        WSAGetOverlappedResult(s, &ov, &got, TRUE, &flags);
        return -1;
      }
      if (!WSAGetOverlappedResult(s, &ov, &got, FALSE, &flags)) return -1;
      return (int)got;
    }
  }
  return -1;
}

// The floor: the least an exchange can do with T1 after the send. Returns 1 and
// the offset, or 0.
int BareExchange(const sockaddr_in& to, WaitPath path, bool t4BeforeRecv, int64_t* offset) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return 0;
  WSAEVENT event = WSA_INVALID_EVENT;
  if (path == WAIT_EVENT || path == WAIT_AUTOEVENT || path == WAIT_OVERLAPPED) {
    event = path == WAIT_AUTOEVENT ? CreateEventW(nullptr, FALSE, FALSE, nullptr) : WSACreateEvent();
    if (path != WAIT_OVERLAPPED) WSAEventSelect(s, event, FD_READ);
  }
  DWORD timeoutMs = SNTP_TIMEOUT_MS;
  if (path == WAIT_BLOCK)
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  uint8_t buffer[1024] = {SNTP_REQUEST_FLAGS};
  int got = -1;
  uint64_t t1 = 0, t4 = 0;
  if (sendto(s, reinterpret_cast<const char*>(buffer), SNTP_PACKET_BYTES, 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to) == SNTP_PACKET_BYTES) {
    t1 = GetPreciseFileTime();
    got = WaitAndReceive(path, t4BeforeRecv, s, event, buffer, sizeof buffer, timeoutMs, false, &t4);
  }
  closesocket(s);
  if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
  if (got < SNTP_PACKET_BYTES) return 0;
  *offset = ClockOffset(t1, PacketTime(buffer + 32), PacketTime(buffer + 40), t4);
  return 1;
}

// QueryServerTime's exchange with its wait along `path`: the same calls in the
// same order, the same checks and the same one-second limit from T1. copy:block
// is the exchange as it was with a blocking recv, copy:event+t4 the engine's.
Failure CopyExchange(const wchar_t* host, WaitPath path, bool t4BeforeRecv, int64_t* offset) {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return FAILED_SETUP;
  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  ADDRINFOW* addresses = nullptr;
  if (GetAddrInfoW(host, L"NTP", &hints, &addresses) != 0 && GetAddrInfoW(host, L"123", &hints, &addresses) != 0) {
    WSACleanup();
    return FAILED_SETUP;
  }
  Failure result = FAILED_SETUP;
  SOCKET s = socket(addresses->ai_family, SOCK_DGRAM, IPPROTO_UDP);
  if (s != INVALID_SOCKET) {
    WSAEVENT event = WSA_INVALID_EVENT;
    if (path == WAIT_EVENT || path == WAIT_AUTOEVENT || path == WAIT_OVERLAPPED) {
      event = path == WAIT_AUTOEVENT ? CreateEventW(nullptr, FALSE, FALSE, nullptr) : WSACreateEvent();
      if (path != WAIT_OVERLAPPED) WSAEventSelect(s, event, FD_READ);
    }
    uint8_t buffer[1024];
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const uint64_t nonce = ((uint64_t)c.QuadPart * 6364136223846793005ull) | 1;
    BuildRequest(buffer, nonce);
    if (connect(s, addresses->ai_addr, (int)addresses->ai_addrlen) == 0 &&
        send(s, reinterpret_cast<const char*>(buffer), SNTP_PACKET_BYTES, 0) == SNTP_PACKET_BYTES) {
      const uint64_t t1 = GetPreciseFileTime();
      const int64_t c1 = GetCounterTime();
      SNTPREPLY reply = {};
      uint64_t t4 = 0;
      int64_t c4 = 0;
      int got = -1;
      for (;;) {
        const int64_t elapsedMs = (GetCounterTime() - c1) / 10000;
        if (elapsedMs >= SNTP_TIMEOUT_MS) break;
        got = WaitAndReceive(path, t4BeforeRecv, s, event, buffer, sizeof buffer,
                             (DWORD)(SNTP_TIMEOUT_MS - elapsedMs), true, &t4);
        c4 = GetCounterTime();
        result = FAILED_WAIT;
        if (got < 0) {
          g_waitFailure.error = WSAGetLastError();
          g_waitFailure.afterMs = (double)(c4 - c1) / 1e4;
          break;
        }
        const SNTPCHECK check = DecodeReply(buffer, (size_t)got, nonce, &reply);
        if (check == SNTP_OK) break;
        got = -1;
        result = FAILED_CHECK;
        if (check != SNTP_IGNORE_ORIGIN) break;
        result = FAILED_WAIT;
      }
      if (got >= 0) {
        result = FAILED_STEP;
        if (!WallClockStepped(t1, t4, c1, c4, ClockStepAllowance())) {
          *offset = ClockOffset(t1, reply.receiveTime, reply.transmitTime, t4);
          result = FAILED_NOT;
        }
      }
    }
    closesocket(s);
    if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
  }
  FreeAddrInfoW(addresses);
  WSACleanup();
  return result;
}

// Runs the clients in turn, N rounds, each round starting one client further on,
// so that a busy spell of the machine falls on every client alike.
int BenchCompare(const wchar_t* host, const wchar_t* configuredText, const wchar_t* countText, int clientCount,
                 wchar_t** clientTexts) {
  long n;
  int64_t configured100ns;
  if (!ParseOffsetAndCount(configuredText, countText, &configured100ns, &n) || clientCount < 1) return Usage();
  std::vector<Client> clients((size_t)clientCount);
  for (int i = 0; i < clientCount; ++i)
    if (!ParseClient(clientTexts[i], &clients[(size_t)i])) return Usage();
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(123);
  if (InetPtonW(AF_INET, host, &to.sin_addr) != 1) {
    WSACleanup();
    return Usage();
  }
  bool anyPass = false;
  for (const Client& c : clients) anyPass = anyPass || c.pass;
  if (anyPass) {
    for (int i = 0; i < SERVER_COUNT; ++i) WCopy(g_workTable[i].host, HOST_CHARS, host);
    InitTableLock();
    ResetServerTable();
  }
  const unsigned onePass = 1;
  for (long r = 0; r < n; ++r) {
    for (int k = 0; k < clientCount; ++k) {
      Client& c = clients[(size_t)((r + k) % clientCount)];
      int64_t offset = 0;
      int ok;
      const int64_t called = GetCounterTime();
      if (c.pass) {
        ProbeServers(&onePass);
        c.callUs.push_back((double)(GetCounterTime() - called) / 10.0);
        for (int i = 0; i < SERVER_COUNT; ++i) {
          if (!g_workTable[i].result) {
            ++c.failures;
            continue;
          }
          const double e = (double)(g_workTable[i].offset - configured100ns) / 10.0;
          c.errorUs.push_back(fabs(e));
          c.signedSum += e;
        }
        continue;
      }
      if (c.engine) {
        SERVERROW row = {};
        ok = QueryServerTime(host, &row) != 0;
        offset = row.offset;
      } else if (c.copy) {
        const Failure f = CopyExchange(host, c.path, c.t4BeforeRecv, &offset);
        ok = f == FAILED_NOT;
        if (f == FAILED_WAIT) {
          ++c.failedWait;
          c.lastWaitFailure = g_waitFailure;
        }
        c.failedCheck += f == FAILED_CHECK;
        c.failedStep += f == FAILED_STEP;
      } else
        ok = BareExchange(to, c.path, c.t4BeforeRecv, &offset);
      c.callUs.push_back((double)(GetCounterTime() - called) / 10.0);
      if (!ok) {
        ++c.failures;
        continue;
      }
      const double e = (double)(offset - configured100ns) / 10.0;
      c.errorUs.push_back(fabs(e));
      c.signedSum += e;
    }
  }
  WSACleanup();
  if (anyPass) DeleteTableLock();
  bool allAnswered = true;
  for (const Client& c : clients) {
    wprintf(L"client %ls exchanges=%ld failures=%ld median_us=%.1f p95_us=%.1f mean_signed_us=%.1f median_call_us=%.0f",
            c.label, c.pass ? n * SERVER_COUNT : n, c.failures, Percentile(c.errorUs, 0.5), Percentile(c.errorUs, 0.95),
            c.errorUs.empty() ? NAN : c.signedSum / (double)c.errorUs.size(), Percentile(c.callUs, 0.5));
    if (c.copy) wprintf(L" failed_wait=%ld failed_check=%ld failed_step=%ld", c.failedWait, c.failedCheck, c.failedStep);
    if (c.failedWait)
      wprintf(L" last_wait_failure_error=%d last_wait_failure_ms=%.1f", c.lastWaitFailure.error,
              c.lastWaitFailure.afterMs);
    wprintf(L"\n");
    if (c.errorUs.empty()) allAnswered = false;
  }
  return allAnswered ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  HMODULE kernel = BindPreciseClock();
  int rc;
  if (!wcscmp(argv[1], L"offset") && argc == 5) rc = BenchOffset(argv[2], argv[3], argv[4]);
  else if (!wcscmp(argv[1], L"round") && (argc == 2 + SERVER_COUNT || argc == 3 + SERVER_COUNT))
    rc = BenchRound(argv + 2, argc == 3 + SERVER_COUNT ? argv[2 + SERVER_COUNT] : nullptr);
  else if (!wcscmp(argv[1], L"raw") && argc == 5) rc = BenchRaw(argv[2], argv[3], argv[4]);
  else if (!wcscmp(argv[1], L"compare") && argc >= 6) rc = BenchCompare(argv[2], argv[3], argv[4], argc - 5, argv + 5);
  else rc = Usage();
  if (kernel) FreeLibrary(kernel);
  fflush(stdout);
  return rc;
}

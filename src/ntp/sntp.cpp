#include "ntp/sntp.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <bcrypt.h>
#include <wchar.h>

#include "ntp/clock.h"
#include "ntp/sntp_codec.h"

// Room for replies that carry extension fields or a MAC: a 48-byte buffer would
// make Winsock fail such a datagram with WSAEMSGSIZE.
#define RECEIVE_BYTES 1024
// An authenticated reply carries up to eight cookies of up to 256 bytes.
#define AUTH_RECEIVE_BYTES 4096

static_assert(SNTP_PASS_MAX <= WSA_MAXIMUM_WAIT_EVENTS, "one wait covers a whole pass");

// The request's nonce; the system's generator, or the counter where it fails.
static uint64_t RequestNonce() {
  uint64_t nonce = 0;
  if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&nonce), sizeof nonce, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    nonce = (uint64_t)GetCounterTime() * 6364136223846793005ull + GetCurrentThreadId();
  return nonce ? nonce : 1;   // a zero transmit timestamp would mean "none"
}

enum SLOTSTATE {
  SLOT_READY,   // socket connected, request built
  SLOT_SENT,    // waiting for the reply
  SLOT_SEEN,    // the wait saw a datagram, T4 read; not fetched yet
  SLOT_DONE,    // decided and released
};

// One query's exchange.
struct SLOT {
  SOCKET socket;
  WSAEVENT readable;   // the socket's FD_READ event
  SLOTSTATE state;
  uint64_t nonce;
  uint64_t t1, t4;
  int64_t c1, c4;      // counter times read right after T1 and T4
  uint8_t request[SNTP_PACKET_BYTES];
  const uint8_t* sent; // the datagram to send: request, or an authenticated query's own
  int sentLength;
};

struct PASS {
  SNTPQUERY* queries;
  const CUTSIGNAL* cut;
  SLOT slots[SNTP_PASS_MAX];
  int count;
  SNTPDONE done;
  void* context;
};

static void Finish(PASS* pass, int i) {
  SLOT& slot = pass->slots[i];
  if (slot.socket != INVALID_SOCKET) closesocket(slot.socket);
  if (slot.readable != WSA_INVALID_EVENT) WSACloseEvent(slot.readable);
  slot.socket = INVALID_SOCKET;
  slot.readable = WSA_INVALID_EVENT;
  slot.state = SLOT_DONE;
  if (pass->done) pass->done(&pass->queries[i], pass->context);
}

// Resolves the host under the service "NTP", or the numeric "123" where that
// fails. Once the system has said that it does not know the service (Wine
// matches service names case-sensitively, and a failed lookup costs it a few
// hundred microseconds), *serviceUnknown lets the later hosts of the pass go to
// "123" at once: the answer would be the same.
// A port other than 123 (from a key exchange) is asked for as a number.
static ADDRINFOW* Resolve(const wchar_t* host, bool* serviceUnknown, uint16_t port) {
  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  ADDRINFOW* addresses = nullptr;
  if (port && port != 123) {
    wchar_t number[8];
    swprintf(number, 8, L"%u", (unsigned)port);
    return GetAddrInfoW(host, number, &hints, &addresses) == 0 ? addresses : nullptr;
  }
  if (!*serviceUnknown) {
    const int error = GetAddrInfoW(host, L"NTP", &hints, &addresses);
    if (error == 0) return addresses;
    if (error == WSATYPE_NOT_FOUND) *serviceUnknown = true;
    addresses = nullptr;
  }
  return GetAddrInfoW(host, L"123", &hints, &addresses) == 0 ? addresses : nullptr;
}

// Resolves the host and connects a socket to its first address, so that the
// socket takes datagrams from that address only. Everything but the send is
// done here, so that nothing but the clock readings stands between a send and
// the wait.
static bool OpenSlot(const wchar_t* host, const SNTPAUTH* auth, SLOT* slot, bool* serviceUnknown, bool* refused) {
  if (!host || !host[0]) return false;
  if (auth && (!auth->request || auth->length < SNTP_PACKET_BYTES || !auth->judge)) return false;
  ADDRINFOW* addresses = Resolve(host, serviceUnknown, auth ? auth->port : 0);
  if (!addresses) return false;
  // Checked as resolved now: a name may point elsewhere from one lookup to the next.
  if (auth && auth->checkAddress && !NtsServerClassAllowed(SocketAddressClass(addresses->ai_addr), auth->peerClass)) {
    FreeAddrInfoW(addresses);
    *refused = true;
    return false;
  }
  bool ok = false;
  slot->socket = socket(addresses->ai_family, SOCK_DGRAM, IPPROTO_UDP);
  if (slot->socket != INVALID_SOCKET) {
    if (addresses->ai_family == AF_INET6) {
      DWORD off = 0;
      setsockopt(slot->socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
    }
    slot->readable = WSACreateEvent();
    ok = slot->readable != WSA_INVALID_EVENT && WSAEventSelect(slot->socket, slot->readable, FD_READ) == 0 &&
         connect(slot->socket, addresses->ai_addr, (int)addresses->ai_addrlen) == 0;
  }
  FreeAddrInfoW(addresses);
  if (!ok) return false;
  if (auth) {
    slot->nonce = auth->nonce;
    slot->sent = auth->request;
    slot->sentLength = auth->length;
  } else {
    slot->nonce = RequestNonce();
    BuildRequest(slot->request, slot->nonce);
    slot->sent = slot->request;
    slot->sentLength = SNTP_PACKET_BYTES;
  }
  slot->state = SLOT_READY;
  return true;
}

bool OpenCutSignal(CUTSIGNAL* cut) {
  cut->set = 0;
  cut->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return cut->event != nullptr;
}

void CloseCutSignal(CUTSIGNAL* cut) {
  if (cut->event) CloseHandle(cut->event);
  cut->event = nullptr;
}

void SetCut(CUTSIGNAL* cut) {
  InterlockedExchange(&cut->set, 1);
  if (cut->event) SetEvent(cut->event);
}

bool IsCut(const CUTSIGNAL* cut) { return cut && cut->set != 0; }

// Waits up to timeoutMs for a reply on any socket still waiting, then takes in
// without waiting every other one already there. T4 of each is read the moment
// the wait reports it, before the datagram is fetched: under Wine a recv costs
// trips through the wineserver after the datagram is in. Returns the number
// seen, or -1 when the wait itself fails.
static int Look(PASS* pass, DWORD timeoutMs) {
  int seen = 0;
  for (;;) {
    WSAEVENT events[SNTP_PASS_MAX + 1];
    int which[SNTP_PASS_MAX];
    DWORD n = 0;
    for (int i = 0; i < pass->count; ++i) {
      if (pass->slots[i].state != SLOT_SENT) continue;
      events[n] = pass->slots[i].readable;
      which[n++] = i;
    }
    if (n == 0) return seen;
    // Last in the list: a reply already in is still taken first.
    DWORD waited = n;
    if (pass->cut && pass->cut->event) events[waited++] = pass->cut->event;
    const DWORD w = WSAWaitForMultipleEvents(waited, events, FALSE, seen ? 0 : timeoutMs, FALSE);
    if (w == WSA_WAIT_TIMEOUT) return seen;
    if (w >= WSA_WAIT_EVENT_0 + n) return seen ? seen : -1;
    SLOT& slot = pass->slots[which[w - WSA_WAIT_EVENT_0]];
    slot.t4 = GetPreciseFileTime();
    slot.c4 = GetCounterTime();
    slot.state = SLOT_SEEN;
    ++seen;
  }
}

// Fetches and judges the datagram a seen slot holds: the sample of a genuine
// answer goes into the query's row; a datagram that is not the answer to this
// request (a late reply to an earlier one, or a forgery) leaves the slot
// waiting within the same second; anything else fails the query.
static void Decide(PASS* pass, int i, int64_t stepAllowance) {
  SLOT& slot = pass->slots[i];
  SNTPQUERY& query = pass->queries[i];
  // Reset before the recv: a datagram still queued behind this one signals again.
  if (!WSAResetEvent(slot.readable)) {
    Finish(pass, i);
    return;
  }
  const SNTPAUTH* auth = query.auth;
  uint8_t buffer[AUTH_RECEIVE_BYTES];
  static_assert(RECEIVE_BYTES >= SNTP_PACKET_BYTES && AUTH_RECEIVE_BYTES >= RECEIVE_BYTES, "reply buffer");
  const int got = recv(slot.socket, reinterpret_cast<char*>(buffer), auth ? AUTH_RECEIVE_BYTES : RECEIVE_BYTES, 0);
  if (got == SOCKET_ERROR) {
    // WSAEWOULDBLOCK: a stale signal, nothing queued. A datagram too long for
    // any genuine authenticated reply is a forgery, which does not end the wait.
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || (auth && error == WSAEMSGSIZE)) slot.state = SLOT_SENT;
    else Finish(pass, i);
    return;
  }
  SNTPREPLY reply;
  const SNTPCHECK check = auth ? auth->judge(auth->context, buffer, (size_t)got, &reply)
                               : DecodeReply(buffer, (size_t)got, slot.nonce, &reply);
  if (check == SNTP_IGNORE_ORIGIN) {
    slot.state = SLOT_SENT;
    return;
  }
  if (check == SNTP_OK && !WallClockStepped(slot.t1, slot.t4, slot.c1, slot.c4, stepAllowance)) {
    SERVERROW* row = query.row;
    row->receiveTime = slot.t4;
    row->receiveCounter = slot.c4;
    row->delayMs = DelayMs(slot.t1, slot.t4);
    row->offset = ClockOffset(slot.t1, reply.receiveTime, reply.transmitTime, slot.t4);
    row->rootDelayMs = RootDelayToMs(reply.rootDelayRaw);
    row->stratum = reply.stratum;
    row->fresh = reply.stratum;
    query.result = reply.stratum;
  }
  if (check == SNTP_KISS) query.kissCode = reply.kissCode;
  Finish(pass, i);
}

static bool AnyInState(const PASS* pass, SLOTSTATE state) {
  for (int i = 0; i < pass->count; ++i)
    if (pass->slots[i].state == state) return true;
  return false;
}

void QueryServersTime(SNTPQUERY* queries, int count, SNTPDONE done, void* context) {
  QueryServersTimeCut(queries, count, done, context, nullptr);
}

void QueryServersTimeCut(SNTPQUERY* queries, int count, SNTPDONE done, void* context, const CUTSIGNAL* cut) {
  if (count <= 0) return;
  for (int i = 0; i < count; ++i) {
    queries[i].result = 0;
    queries[i].kissCode = 0;
    queries[i].refused = false;
  }
  PASS pass;
  pass.queries = queries;
  pass.cut = cut;
  pass.count = count < SNTP_PASS_MAX ? count : SNTP_PASS_MAX;
  pass.done = done;
  pass.context = context;
  for (SLOT& slot : pass.slots) {
    slot.socket = INVALID_SOCKET;
    slot.readable = WSA_INVALID_EVENT;
    slot.state = SLOT_DONE;
  }
  WSADATA wsa;
  const bool started = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  for (int i = pass.count; i < count; ++i)
    if (done) done(&queries[i], context);
  bool serviceUnknown = false;
  for (int i = 0; i < pass.count; ++i)
    if (!started || !OpenSlot(queries[i].host, queries[i].auth, &pass.slots[i], &serviceUnknown, &queries[i].refused))
      Finish(&pass, i);
  if (!started) return;

  // The sends, each followed by a look at the replies already in, so that a
  // reply's T4 does not wait for the sends behind it.
  int64_t lastSend = 0;
  for (int i = 0; i < pass.count; ++i) {
    SLOT& slot = pass.slots[i];
    if (slot.state != SLOT_READY) continue;
    if (send(slot.socket, reinterpret_cast<const char*>(slot.sent), slot.sentLength, 0) != slot.sentLength) {
      Finish(&pass, i);
      continue;
    }
    slot.t1 = GetPreciseFileTime();
    slot.c1 = GetCounterTime();
    slot.state = SLOT_SENT;
    lastSend = slot.c1;
    Look(&pass, 0);
  }

  const int64_t stepAllowance = ClockStepAllowance();
  const int64_t deadline = lastSend + (int64_t)SNTP_TIMEOUT_MS * 10000;
  for (;;) {
    // Replies seen in time are still decided once the second is over, but no
    // more are looked for: a stream of foreign datagrams cannot stretch the pass.
    const bool late = GetCounterTime() >= deadline;
    // Before each further fetch another look, for the same reason as above.
    bool first = true;
    for (int i = 0; i < pass.count; ++i) {
      if (pass.slots[i].state != SLOT_SEEN) continue;
      if (!first && !late) Look(&pass, 0);
      first = false;
      Decide(&pass, i, stepAllowance);
    }
    if (late || IsCut(cut)) break;
    if (AnyInState(&pass, SLOT_SEEN)) continue;   // seen by a look among the fetches
    if (!AnyInState(&pass, SLOT_SENT)) break;
    const int64_t left = deadline - GetCounterTime();
    if (left <= 0) break;
    if (Look(&pass, (DWORD)((left + 9999) / 10000)) < 0) break;
  }
  for (int i = 0; i < pass.count; ++i)
    if (pass.slots[i].state != SLOT_DONE) Finish(&pass, i);
  WSACleanup();
}

ADDRCLASS SocketAddressClass(const void* address) {
  const sockaddr* a = static_cast<const sockaddr*>(address);
  if (a->sa_family == AF_INET)
    return ClassifyAddress(reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(a)->sin_addr), 4);
  if (a->sa_family == AF_INET6)
    return ClassifyAddress(reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr), 16);
  return ADDR_INVALID;
}

void PrepareNetwork() {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICHOST;
  ADDRINFOW* addresses = nullptr;
  if (GetAddrInfoW(L"127.0.0.1", L"NTP", &hints, &addresses) == 0) FreeAddrInfoW(addresses);
  const int families[2] = {AF_INET, AF_INET6};
  for (int family : families) {
    SOCKET s = socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (s != INVALID_SOCKET) closesocket(s);
  }
  WSACleanup();
}

int QueryServerTime(const wchar_t* host, SERVERROW* row) { return QueryServerTimeKiss(host, row, nullptr); }

int QueryServerTimeKiss(const wchar_t* host, SERVERROW* row, uint32_t* kissCode) {
  SNTPQUERY query = {host, row, 0, 0, nullptr};
  QueryServersTime(&query, 1, nullptr, nullptr);
  if (kissCode) *kissCode = query.kissCode;
  return query.result;
}

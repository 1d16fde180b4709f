#include "ntp/sntp.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <bcrypt.h>

#include "ntp/clock.h"
#include "ntp/sntp_codec.h"

// Room for replies that carry extension fields or a MAC: a 48-byte buffer would
// make Winsock fail such a datagram with WSAEMSGSIZE.
#define RECEIVE_BYTES 1024

// The request's nonce; the system's generator, or the counter where it fails.
static uint64_t RequestNonce() {
  uint64_t nonce = 0;
  if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&nonce), sizeof nonce, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    nonce = (uint64_t)GetCounterTime() * 6364136223846793005ull + GetCurrentThreadId();
  return nonce ? nonce : 1;   // a zero transmit timestamp would mean "none"
}

// Waits for the genuine reply on the connected socket until one second after T1.
// Returns its length, or -1 on time-out, receive error or a rejected reply (a
// genuine kiss-of-death among them, its code left in reply->kissCode).
// `readable` is the socket's FD_READ event. Under Wine a blocking recv (or any
// setsockopt before it) costs trips through the wineserver after the datagram
// is in, so T4 is read as soon as the event wakes the thread, before the recv
// that fetches the datagram; waiting on the event costs no CPU.
static int ReceiveReply(SOCKET s, WSAEVENT readable, uint8_t* buffer, uint64_t nonce, int64_t sentCounter,
                        SNTPREPLY* reply, uint64_t* t4, int64_t* c4) {
  reply->kissCode = 0;
  for (;;) {
    const int64_t elapsedMs = (GetCounterTime() - sentCounter) / 10000;
    if (elapsedMs >= SNTP_TIMEOUT_MS) return -1;
    const DWORD timeoutMs = (DWORD)(SNTP_TIMEOUT_MS - elapsedMs);
    if (WSAWaitForMultipleEvents(1, &readable, FALSE, timeoutMs, FALSE) != WSA_WAIT_EVENT_0) return -1;
    *t4 = GetPreciseFileTime();
    *c4 = GetCounterTime();
    // Reset before the recv: a datagram still queued behind this one signals again.
    if (!WSAResetEvent(readable)) return -1;
    const int got = recv(s, reinterpret_cast<char*>(buffer), RECEIVE_BYTES, 0);
    if (got == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) continue;   // a stale signal: nothing queued
      return -1;
    }
    const SNTPCHECK check = DecodeReply(buffer, (size_t)got, nonce, reply);
    if (check == SNTP_OK) return got;
    if (check != SNTP_IGNORE_ORIGIN) return -1;
    // Not the answer to this request (a late reply to an earlier one, or a
    // forgery): keep waiting within the same second.
  }
}

int QueryServerTime(const wchar_t* host, SERVERROW* row) { return QueryServerTimeKiss(host, row, nullptr); }

int QueryServerTimeKiss(const wchar_t* host, SERVERROW* row, uint32_t* kissCode) {
  if (kissCode) *kissCode = 0;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 0;

  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  ADDRINFOW* addresses = nullptr;
  if (!host || !host[0] ||
      (GetAddrInfoW(host, L"NTP", &hints, &addresses) != 0 && GetAddrInfoW(host, L"123", &hints, &addresses) != 0)) {
    WSACleanup();
    return 0;
  }

  int result = 0;
  SOCKET s = socket(addresses->ai_family, SOCK_DGRAM, IPPROTO_UDP);
  if (s != INVALID_SOCKET) {
    if (addresses->ai_family == AF_INET6) {
      DWORD off = 0;
      setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
    }
    static_assert(RECEIVE_BYTES >= SNTP_PACKET_BYTES, "reply buffer");
    uint8_t buffer[RECEIVE_BYTES];
    const uint64_t nonce = RequestNonce();
    BuildRequest(buffer, nonce);
    // Set up before the send, so that nothing but the clock readings stands
    // between the send and the wait.
    const WSAEVENT readable = WSACreateEvent();
    // Connected, the socket takes datagrams only from the address asked.
    if (readable != WSA_INVALID_EVENT && WSAEventSelect(s, readable, FD_READ) == 0 &&
        connect(s, addresses->ai_addr, (int)addresses->ai_addrlen) == 0 &&
        send(s, reinterpret_cast<const char*>(buffer), SNTP_PACKET_BYTES, 0) == SNTP_PACKET_BYTES) {
      const uint64_t t1 = GetPreciseFileTime();
      const int64_t c1 = GetCounterTime();
      SNTPREPLY reply;
      uint64_t t4 = 0;
      int64_t c4 = 0;
      const int got = ReceiveReply(s, readable, buffer, nonce, c1, &reply, &t4, &c4);
      if (got < 0 && kissCode) *kissCode = reply.kissCode;
      if (got >= 0 && !WallClockStepped(t1, t4, c1, c4, ClockStepAllowance())) {
        row->receiveTime = t4;
        row->receiveCounter = c4;
        row->delayMs = DelayMs(t1, t4);
        row->offset = ClockOffset(t1, reply.receiveTime, reply.transmitTime, t4);
        row->rootDelayMs = RootDelayToMs(reply.rootDelayRaw);
        row->stratum = reply.stratum;
        row->fresh = reply.stratum;
        result = reply.stratum;
      }
    }
    closesocket(s);
    if (readable != WSA_INVALID_EVENT) WSACloseEvent(readable);
  }
  FreeAddrInfoW(addresses);
  WSACleanup();
  return result;
}

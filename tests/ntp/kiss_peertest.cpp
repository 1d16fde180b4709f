// Kiss-of-death etiquette over probe rounds, against servers in this test that
// answer with a kiss code (leap indicator 3, stratum 0), forge one, or answer
// well. The back-off runs on a clock the test moves.
//
// Wine binds a socket to the wildcard address unless the address belongs to an
// interface, so a server inside this test can own port 123 only on 127.0.0.1
// and ::1 (the simulator and chronyd hold other addresses of the network).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdio.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "ntp/kiss.h"
#include "ntp/probe.h"
#include "ntp/sntp_codec.h"
#include "peerfixture.h"

namespace {

enum Answer { kGood, kKiss, kKissWrongOrigin, kKissFromElsewhere };

// One UDP server on ADDR:123, counting the requests it receives.
class KissServer {
 public:
  // A forged reply from elsewhere leaves from another port of the same address.
  explicit KissServer(const std::string& addr) : addr_(addr) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    socket_ = Bound(addr, 123);
    other_ = Bound(addr, 0);
    if (socket_ != INVALID_SOCKET) thread_ = std::thread([this] { Run(); });
  }
  ~KissServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    if (other_ != INVALID_SOCKET) closesocket(other_);
    WSACleanup();
  }
  bool Ready() const { return socket_ != INVALID_SOCKET && other_ != INVALID_SOCKET; }
  void Set(Answer answer, const char* code = "DENY") {
    memcpy(code_, code, 4);
    answer_ = answer;
  }
  int Count() const { return count_; }
  std::wstring Host() const { return WideHost(addr_); }

 private:
  static SOCKET Bound(const std::string& addr, int port) {
    sockaddr_storage sa = {};
    int length;
    const bool v6 = addr.find(':') != std::string::npos;
    if (v6) {
      sockaddr_in6* a = reinterpret_cast<sockaddr_in6*>(&sa);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons((u_short)port);
      inet_pton(AF_INET6, addr.c_str(), &a->sin6_addr);
      length = sizeof *a;
    } else {
      sockaddr_in* a = reinterpret_cast<sockaddr_in*>(&sa);
      a->sin_family = AF_INET;
      a->sin_port = htons((u_short)port);
      inet_pton(AF_INET, addr.c_str(), &a->sin_addr);
      length = sizeof *a;
    }
    SOCKET s = socket(sa.ss_family, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return s;
    DWORD timeoutMs = 50;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), length) != 0) {
      printf("kiss server: cannot bind %s port %d (error %d)\n", addr.c_str(), port, WSAGetLastError());
      closesocket(s);
      s = INVALID_SOCKET;
    }
    return s;
  }
  static void PutTime(uint8_t* p, uint64_t fileTime) {
    const uint64_t t = fileTime - FILETIME_1900;
    const uint32_t seconds = (uint32_t)(t / FILETIME_PER_SECOND);
    const uint32_t fraction = (uint32_t)(((t % FILETIME_PER_SECOND) << 32) / FILETIME_PER_SECOND);
    for (int i = 0; i < 4; ++i) {
      p[i] = (uint8_t)(seconds >> (24 - 8 * i));
      p[4 + i] = (uint8_t)(fraction >> (24 - 8 * i));
    }
  }
  void Run() {
    while (!stop_) {
      uint8_t b[SNTP_PACKET_BYTES * 2];
      sockaddr_storage from;
      int fromLen = sizeof from;
      const int got = recvfrom(socket_, reinterpret_cast<char*>(b), sizeof b, 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLen);
      if (got < SNTP_PACKET_BYTES || (b[0] & 7) != 3) continue;
      ++count_;
      const Answer answer = answer_;
      uint8_t reply[SNTP_PACKET_BYTES] = {};
      const bool kiss = answer != kGood;
      reply[0] = kiss ? 0xE4 : 0x24;   // leap indicator 3 for a kiss, version 4, mode 4
      reply[1] = kiss ? 0 : 2;
      if (kiss) memcpy(reply + 12, code_, 4);
      memcpy(reply + 24, b + 40, 8);
      if (answer == kKissWrongOrigin) reply[31] ^= 0x5A;
      FILETIME ft;
      GetSystemTimePreciseAsFileTime(&ft);
      const uint64_t now = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
      PutTime(reply + 32, now);
      PutTime(reply + 40, now);
      const SOCKET out = answer == kKissFromElsewhere ? other_ : socket_;
      sendto(out, reinterpret_cast<const char*>(reply), sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), fromLen);
    }
  }

  std::string addr_;
  SOCKET socket_ = INVALID_SOCKET, other_ = INVALID_SOCKET;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::atomic<Answer> answer_{kGood};
  char code_[4] = {'D', 'E', 'N', 'Y'};
};

uint64_t g_nowMs;
uint64_t TestNow() { return g_nowMs; }

class Kiss : public PeerTables {
 protected:
  void SetUp() override {
    PeerTables::SetUp();
    g_nowMs = 5000000;
    SetKissClock(TestNow);
  }
  void TearDown() override {
    SetKissClock(nullptr);
    KissReset();
    PeerTables::TearDown();
  }
  // The test's servers: "127.0.0.1" and "::1".
  static std::unique_ptr<KissServer> Server(const char* addr) {
    return std::unique_ptr<KissServer>(new KissServer(addr));
  }
  static void Name(int row, const KissServer& server) { WCopy(g_workTable[row].host, HOST_CHARS, server.Host().c_str()); }
  static void Round() {
    const unsigned passes = 2;
    ProbeServers(&passes);
  }
};

TEST_F(Kiss, ARefusingHostIsAskedOnceForTheRestOfTheRun) {
  auto deny = Server("127.0.0.1"), rstr = Server("::1");
  ASSERT_TRUE(deny->Ready() && rstr->Ready());
  deny->Set(kKiss, "DENY");
  rstr->Set(kKiss, "RSTR");
  Name(0, *deny);
  Name(1, *rstr);
  Serve(2);
  Round();
  EXPECT_EQ(1, deny->Count());
  EXPECT_EQ(1, rstr->Count());
  const double laterRounds = TimedMs([] {
    for (int i = 0; i < 3; ++i) Round();
  });
  EXPECT_EQ(1, deny->Count());
  EXPECT_EQ(1, rstr->Count());
  EXPECT_LT(laterRounds, 500.0);   // no one-second waits for the refused hosts
  for (int row : {0, 1}) {
    EXPECT_EQ(0, g_workTable[row].result) << row;
    EXPECT_EQ(DELAY_NONE, g_workTable[row].delayMs) << row;
    EXPECT_EQ(DELAY_NONE, g_publishedTable[row].delayMs) << row;
    EXPECT_EQ(SCORE_NONE, g_workTable[row].zScore) << row;
  }
  EXPECT_EQ(1, g_workTable[2].result);   // the others are asked as usual
  EXPECT_EQ(4, SimCount(Addr(2)));
}

TEST_F(Kiss, ARateLimitingHostIsLeftOutSixtySecondsDoublingUntilAGoodAnswer) {
  auto rate = Server("127.0.0.1");
  ASSERT_TRUE(rate->Ready());
  rate->Set(kKiss, "RATE");
  Name(0, *rate);
  Round();
  EXPECT_EQ(1, rate->Count());   // the second pass does not ask again
  g_nowMs += 59999;
  Round();
  EXPECT_EQ(1, rate->Count());
  g_nowMs += 1;
  Round();
  EXPECT_EQ(2, rate->Count());   // a second "RATE": 120 s now
  g_nowMs += 119999;
  Round();
  EXPECT_EQ(2, rate->Count());
  g_nowMs += 1;
  Round();
  EXPECT_EQ(3, rate->Count());   // 240 s
  rate->Set(kGood);
  g_nowMs += 240000;
  Round();
  EXPECT_EQ(4, rate->Count());
  EXPECT_EQ(2, g_workTable[0].result);
  EXPECT_NE(DELAY_NONE, g_workTable[0].delayMs);
  Round();
  EXPECT_EQ(5, rate->Count());   // asked in every round again
  // The good answer ended the back-off: the next "RATE" starts at 60 s.
  rate->Set(kKiss, "RATE");
  Round();
  EXPECT_EQ(6, rate->Count());
  g_nowMs += 60000;
  Round();
  EXPECT_EQ(7, rate->Count());
}

// The shipped lists name one host in two rows (row 4's and row 9's first extra
// host); a typed host may carry blanks. Each pass asks such a host once, and its
// one answer or kiss goes to every row naming it.
TEST_F(Kiss, AHostInSeveralRowsIsAskedOncePerPassAndItsRateKissCountsOnce) {
  auto rate = Server("127.0.0.1");
  ASSERT_TRUE(rate->Ready());
  Name(0, *rate);
  Name(4, *rate);
  WCopy(g_workTable[9].host, HOST_CHARS, (L" " + rate->Host() + L"\t").c_str());
  Serve(1, "offset=1");
  Round();
  EXPECT_EQ(1, rate->Count());
  for (int row : {0, 4, 9}) {
    EXPECT_EQ(2, g_workTable[row].result) << row;
    EXPECT_NE(DELAY_NONE, g_publishedTable[row].delayMs) << row;
    EXPECT_EQ(g_workTable[0].offset, g_workTable[row].offset) << row;
    EXPECT_EQ(row, g_publishedTable[row].index) << row;
  }
  // The statistics count each row: offsets 0, 0, 0 and 1 s give Z 0.5 and 1.5
  // (with the host once, 0 and 1 s would give 0.7071 each).
  EXPECT_NEAR(0.5, g_workTable[4].zScore, 0.01);
  EXPECT_NEAR(1.5, g_workTable[1].zScore, 0.01);

  rate->Set(kKiss, "RATE");
  Round();
  EXPECT_EQ(2, rate->Count());   // one request, one kiss: 60 s
  for (int row : {0, 4, 9}) {
    EXPECT_EQ(0, g_workTable[row].result) << row;
    EXPECT_EQ(DELAY_NONE, g_publishedTable[row].delayMs) << row;
  }
  g_nowMs += 59999;
  Round();
  EXPECT_EQ(2, rate->Count());
  g_nowMs += 1;
  Round();
  EXPECT_EQ(3, rate->Count());   // the second kiss: 120 s
  g_nowMs += 119999;
  Round();
  EXPECT_EQ(3, rate->Count());
  g_nowMs += 1;
  Round();
  EXPECT_EQ(4, rate->Count());
}

TEST_F(Kiss, AnyOtherCodeIsAFailureAsAnyOther) {
  auto other = Server("127.0.0.1");
  ASSERT_TRUE(other->Ready());
  other->Set(kKiss, "INIT");
  Name(0, *other);
  Round();
  EXPECT_EQ(2, other->Count());   // both passes ask
  Round();
  EXPECT_EQ(4, other->Count());
  EXPECT_EQ(DELAY_NONE, g_workTable[0].delayMs);
}

TEST_F(Kiss, AForgedRefusalChangesNothing) {
  auto wrongOrigin = Server("127.0.0.1"), elsewhere = Server("::1");
  ASSERT_TRUE(wrongOrigin->Ready() && elsewhere->Ready());
  wrongOrigin->Set(kKissWrongOrigin, "DENY");
  elsewhere->Set(kKissFromElsewhere, "DENY");
  Name(0, *wrongOrigin);
  Name(1, *elsewhere);
  Round();   // each forged reply is ignored, and the wait runs out: two passes each
  EXPECT_EQ(2, wrongOrigin->Count());
  EXPECT_EQ(2, elsewhere->Count());
  wrongOrigin->Set(kGood);
  elsewhere->Set(kGood);
  Round();
  EXPECT_EQ(3, wrongOrigin->Count());
  EXPECT_EQ(3, elsewhere->Count());
  EXPECT_EQ(2, g_workTable[0].result);
  EXPECT_EQ(2, g_workTable[1].result);
}

TEST_F(Kiss, AnotherHostInRowNineIsAskedAtOnceAndARefusedHostStaysRefusedInAnyRow) {
  auto deny = Server("127.0.0.1"), good = Server("::1");
  ASSERT_TRUE(deny->Ready() && good->Ready());
  deny->Set(kKiss, "DENY");
  Name(9, *deny);
  const double ms = TimedMs([] { ProbeOtherServer(4); });
  EXPECT_EQ(1, deny->Count());
  EXPECT_LT(ms, 500.0);
  EXPECT_EQ(DELAY_NONE, g_workTable[9].delayMs);

  Name(9, *good);
  ProbeOtherServer(4);
  EXPECT_EQ(1, good->Count());
  EXPECT_EQ(2, g_workTable[9].result);
  EXPECT_NE(DELAY_NONE, g_workTable[9].delayMs);

  Name(0, *deny);
  Round();
  EXPECT_EQ(1, deny->Count());
  EXPECT_EQ(0, g_workTable[0].result);
}

}  // namespace

// End-to-end check of the test network itself, seen from a Windows program: the
// simulated servers and chronyd answer as configured. Uses raw Winsock only, so a
// fault here points at the harness, not at the SNTP engine.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "emulation_win.h"
#include "simctl.h"

namespace {
const unsigned kSlack = TimingSlack();
}  // namespace

namespace {

const uint64_t kNtpEpochFileTime = 94354848000000000ULL;  // 1900-01-01 as FILETIME

uint64_t NowFileTime() {
  // The precise clock (Windows 8 and later) is looked up: the build targets Windows 7.
  typedef void(WINAPI * ClockFn)(FILETIME*);
  static ClockFn clock = [] {
    FARPROC f = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime");
    return f ? (ClockFn)(void*)f : (ClockFn)GetSystemTimeAsFileTime;
  }();
  FILETIME ft;
  clock(&ft);
  return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

uint32_t Be32(const unsigned char* p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

uint64_t NtpToFileTime(const unsigned char* p) {
  return Be32(p) * 10000000ULL + ((Be32(p + 4) * 10000000ULL) >> 32) + kNtpEpochFileTime;
}

struct Reply {
  int len = -1;
  unsigned char data[1024];
  std::string from;
  uint64_t t1 = 0, t4 = 0;
  int Stratum() const { return data[1]; }
  int Leap() const { return data[0] >> 6; }
  // theta in seconds: ((T2 - T1) + (T3 - T4)) / 2
  double Offset() const {
    double t2 = (double)(int64_t)(NtpToFileTime(data + 32) - t1);
    double t3 = (double)(int64_t)(NtpToFileTime(data + 40) - t4);
    return (t2 + t3) / 2e7;
  }
};

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa_));
    sock_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, sock_);
    ASSERT_TRUE(SimReset()) << "no simulator on " << PeerAddr(1) << ":12300";
  }
  void TearDown() override {
    if (sock_ != INVALID_SOCKET) closesocket(sock_);
    WSACleanup();
  }

  // One client request with our transmit time in it.
  void Send(const std::string& addr) {
    unsigned char req[48] = {0x23};
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(123);
    inet_pton(AF_INET, addr.c_str(), &to.sin_addr);
    t1_ = NowFileTime();
    uint64_t sinceNtp = t1_ - kNtpEpochFileTime;
    uint32_t sec = (uint32_t)(sinceNtp / 10000000), frac = (uint32_t)(((sinceNtp % 10000000) << 32) / 10000000);
    for (int i = 0; i < 4; ++i) {
      req[40 + i] = (unsigned char)(sec >> (24 - 8 * i));
      req[44 + i] = (unsigned char)(frac >> (24 - 8 * i));
    }
    ASSERT_EQ(48, sendto(sock_, (const char*)req, 48, 0, (const sockaddr*)&to, sizeof to));
  }

  bool Receive(Reply* r, int timeoutMs = 1000) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock_, &set);
    timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(0, &set, nullptr, nullptr, &tv) != 1) return false;
    sockaddr_in from = {};
    int fromLen = sizeof from;
    r->len = recvfrom(sock_, (char*)r->data, sizeof r->data, 0, (sockaddr*)&from, &fromLen);
    r->t4 = NowFileTime();
    r->t1 = t1_;
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    r->from = text;
    return r->len >= 0;
  }

  WSADATA wsa_;
  SOCKET sock_ = INVALID_SOCKET;
  uint64_t t1_ = 0;
};

// Under Wine on a loaded machine one exchange may cost milliseconds of wake-ups;
// a wrong offset is off by far more.
TEST_F(SimulatorTest, ServesConfiguredOffsetsWithinTwentyMilliseconds) {
  ASSERT_TRUE(SimServe(PeerAddr(10), "offset=2.5"));
  ASSERT_TRUE(SimServe(PeerAddr(11), "offset=-86400"));
  Reply r;
  Send(PeerAddr(10));
  ASSERT_TRUE(Receive(&r));
  EXPECT_EQ(48, r.len);
  EXPECT_EQ(PeerAddr(10), r.from);
  EXPECT_NEAR(2.5, r.Offset(), 0.02 * kSlack);
  Send(PeerAddr(11));
  ASSERT_TRUE(Receive(&r));
  EXPECT_NEAR(-86400.0, r.Offset(), 0.02 * kSlack);
}

TEST_F(SimulatorTest, ShapesAndSkipsReplies) {
  ASSERT_TRUE(SimServe(PeerAddr(12), "every=2"));
  Reply r;
  for (int i = 1; i <= 3; ++i) {
    Send(PeerAddr(12));
    EXPECT_EQ(i == 2, Receive(&r, 300)) << "request " << i;
  }
  ASSERT_TRUE(SimServe(PeerAddr(12), "len=20"));
  Send(PeerAddr(12));
  ASSERT_TRUE(Receive(&r));
  EXPECT_EQ(20, r.len);

  ASSERT_TRUE(SimServe(PeerAddr(13), "decoy=from:" + PeerAddr(14)));
  Send(PeerAddr(13));
  ASSERT_TRUE(Receive(&r));
  EXPECT_EQ(PeerAddr(14), r.from);
  ASSERT_TRUE(Receive(&r));
  EXPECT_EQ(PeerAddr(13), r.from);
  // T4 here comes after the decoy was taken in, some milliseconds on a busy machine.
  EXPECT_NEAR(0.0, r.Offset(), 0.02 * kSlack);
}

TEST_F(SimulatorTest, CountsAndOrdersRequestsUntilReset) {
  ASSERT_TRUE(SimServe(PeerAddr(15)));
  ASSERT_TRUE(SimServe(PeerAddr(16), "silent=1"));
  Reply r;
  for (int host : {16, 15, 16}) {
    Send(PeerAddr(host));
    Receive(&r, host == 15 ? 1000 : 200);
  }
  EXPECT_EQ(2, SimCount(PeerAddr(16)));
  EXPECT_EQ(1, SimCount(PeerAddr(15)));
  EXPECT_EQ(PeerAddr(16) + "," + PeerAddr(15) + "," + PeerAddr(16), SimOrder());
  EXPECT_FALSE(SimServe(PeerAddr(15), "nonsense=1"));
  ASSERT_TRUE(SimReset());
  EXPECT_EQ(0, SimCount(PeerAddr(16)));
  EXPECT_EQ("", SimOrder());
}

TEST_F(SimulatorTest, ChronydServesAsLocalStratumThree) {
  if (getenv("QL_CHRONY_MISSING")) GTEST_SKIP() << "chronyd is not installed";
  // The sample with the shortest round trip, as any client would take: the
  // first ones may be slowed by a cold emulator (the i386 build runs under qemu).
  Reply best;
  for (int i = 0; i < 5; ++i) {
    Reply r;
    Send(ChronyAddr());
    ASSERT_TRUE(Receive(&r));
    EXPECT_EQ(ChronyAddr(), r.from);
    EXPECT_EQ(kChronyStratum, r.Stratum());
    EXPECT_NE(3, r.Leap());
    if (best.len < 0 || r.t4 - r.t1 < best.t4 - best.t1) best = r;
  }
  EXPECT_NEAR(0.0, best.Offset(), 0.005 * kSlack);
}

}  // namespace

// The simulator's packet and option code, and the running simulator itself
// (started by with-peers, which names the network in QL_PEER_NET).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "simcore.h"

namespace {

const int64_t kSec = 1000000000;

uint32_t Be32(const uint8_t* p) { return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3]; }

TEST(NtpTime, ConvertsUnixNanosecondsToRoundedNtpTimestamps) {
  uint8_t t[8];
  PutNtpTime(0, t);
  EXPECT_EQ(2208988800u, Be32(t));
  EXPECT_EQ(0u, Be32(t + 4));
  PutNtpTime(1735689600LL * kSec + kSec / 2, t);  // 2025-01-01 00:00:00.5 UTC
  EXPECT_EQ(3944678400u, Be32(t));
  EXPECT_EQ(0x80000000u, Be32(t + 4));
  PutNtpTime(1, t);  // 4.29 fraction units round down
  EXPECT_EQ(4u, Be32(t + 4));
  PutNtpTime(kSec - 1, t);  // 4294967291.7 rounds up, without spilling into the seconds
  EXPECT_EQ(2208988800u, Be32(t));
  EXPECT_EQ(4294967292u, Be32(t + 4));
  PutNtpTime(-1, t);  // before 1970 still counts from 1900
  EXPECT_EQ(2208988799u, Be32(t));
  EXPECT_EQ(4294967292u, Be32(t + 4));
}

TEST(NtpTime, RoundTripsWithinOneNanosecond) {
  const int64_t samples[] = {0, 1, 123456789, 1735689600LL * kSec + 987654321, 2085978495LL * kSec + 999999999};
  for (int64_t ns : samples) {
    uint8_t t[8];
    PutNtpTime(ns, t);
    EXPECT_LE(llabs(NtpTimeToUnixNs(t) - ns), 1) << ns;
  }
}

TEST(Options, ParsesOffsetsExactly) {
  int64_t ns = 0;
  EXPECT_TRUE(ParseOffset("2.5", &ns));
  EXPECT_EQ(2500000000LL, ns);
  EXPECT_TRUE(ParseOffset("-86400", &ns));
  EXPECT_EQ(-86400 * kSec, ns);
  EXPECT_TRUE(ParseOffset("+0.000000001", &ns));
  EXPECT_EQ(1, ns);
  EXPECT_TRUE(ParseOffset("-.25", &ns));
  EXPECT_EQ(-250000000LL, ns);
  for (const char* bad : {"", "-", "1.", "1.2345678901", "abc", "1e3", "--1", "1.5x", "9999999999999"})
    EXPECT_FALSE(ParseOffset(bad, &ns)) << bad;
}

TEST(Options, ParsesEveryOption) {
  Behaviour b;
  std::string why;
  ASSERT_TRUE(ParseBehaviour(
      " offset=-1.5 delay=20 silent=1 every=3 stratum=16 leap=3 mode=5 version=3 rootdelay=0x00010000 len=20 "
      "origin=wrong transmit=zero from=127.3.1.9 decoy=from:127.3.1.10 decoydelay=5 decoyoffset=7",
      &b, &why))
      << why;
  EXPECT_EQ(-1500000000LL, b.offsetNs);
  EXPECT_EQ(20, b.delayMs);
  EXPECT_TRUE(b.silent);
  EXPECT_EQ(3u, b.every);
  EXPECT_EQ(16, b.stratum);
  EXPECT_EQ(3, b.leap);
  EXPECT_EQ(5, b.mode);
  EXPECT_EQ(3, b.version);
  EXPECT_EQ(0x10000u, b.rootDelay);
  EXPECT_EQ(20, b.len);
  EXPECT_TRUE(b.wrongOrigin);
  EXPECT_TRUE(b.zeroTransmit);
  EXPECT_EQ("127.3.1.9", b.from);
  EXPECT_EQ(kDecoyFrom, b.decoy);
  EXPECT_EQ("127.3.1.10", b.decoyFrom);
  EXPECT_EQ(5, b.decoyDelayMs);
  EXPECT_EQ(7 * kSec, b.decoyOffsetNs);
  ASSERT_TRUE(ParseBehaviour("decoy=origin", &b, &why));
  EXPECT_EQ(kDecoyOrigin, b.decoy);
  EXPECT_EQ(0, b.offsetNs);  // every serve starts from the defaults
  EXPECT_EQ(48, b.len);
}

TEST(Options, RejectsBadOptionsAndKeepsTheBehaviour) {
  Behaviour b;
  b.offsetNs = 42;
  std::string why;
  for (const char* bad : {"bogus=1", "leap=4", "len=513", "every=0", "stratum=256", "rootdelay=4294967296",
                          "delay=-1", "from=8.8.8.8", "from=localhost", "decoy=from:10.0.0.1", "decoy=x",
                          "origin=right", "offset=1 mode=8"}) {
    EXPECT_FALSE(ParseBehaviour(bad, &b, &why)) << bad;
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(42, b.offsetNs);
  }
}

TEST(Addresses, AcceptsLoopbackOnly) {
  std::string canon;
  sockaddr_storage sa;
  socklen_t len;
  ASSERT_TRUE(ParseLoopback("127.1.2.3", &canon, &sa, &len));
  EXPECT_EQ("127.1.2.3", canon);
  EXPECT_EQ(AF_INET, sa.ss_family);
  EXPECT_EQ(123, ntohs(((sockaddr_in*)&sa)->sin_port));
  ASSERT_TRUE(ParseLoopback("0:0:0:0:0:0:0:1", &canon, &sa, &len));
  EXPECT_EQ("::1", canon);
  for (const char* bad : {"10.0.0.1", "::2", "localhost", "127.1", "", "127.0.0.1:123"})
    EXPECT_FALSE(ParseLoopback(bad, &canon, &sa, &len)) << bad;
  EXPECT_TRUE(ParseHostPort("127.3.1.1:12300", &sa, &len));
  EXPECT_EQ("127.3.1.1:12300", FormatSockaddr(sa));
  EXPECT_TRUE(ParseHostPort("[::1]:5", &sa, &len));
  EXPECT_EQ("[::1]:5", FormatSockaddr(sa));
  EXPECT_FALSE(ParseHostPort("127.3.1.1:0", &sa, &len));
  EXPECT_FALSE(ParseHostPort("127.3.1.1", &sa, &len));
}

TEST(Reply, FillsHeaderAndTimestamps) {
  Behaviour b;
  uint8_t tx[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t r[kNtpPacket];
  BuildReply(b, tx, 10 * kSec, 11 * kSec, r);
  EXPECT_EQ(0x24, r[0]);  // LI 0, version 4, mode 4
  EXPECT_EQ(1, r[1]);
  EXPECT_EQ(0, memcmp(r + 12, "SIM\0", 4));
  EXPECT_EQ(0, memcmp(r + 24, tx, 8));
  EXPECT_EQ(10 * kSec, NtpTimeToUnixNs(r + 32));
  EXPECT_EQ(11 * kSec, NtpTimeToUnixNs(r + 40));
  EXPECT_EQ(11 * kSec, NtpTimeToUnixNs(r + 16));

  b.leap = 3, b.version = 3, b.mode = 5, b.stratum = 0, b.rootDelay = 0x00010042;
  b.wrongOrigin = true, b.zeroTransmit = true;
  BuildReply(b, tx, 10 * kSec, 11 * kSec, r);
  EXPECT_EQ(0xDD, r[0]);
  EXPECT_EQ(0, r[1]);
  EXPECT_EQ(0x00010042u, Be32(r + 4));
  EXPECT_NE(0, memcmp(r + 24, tx, 8));
  const uint8_t zero[8] = {};
  EXPECT_EQ(0, memcmp(r + 40, zero, 8));
  uint8_t wrong[8];
  WrongOrigin(zero, wrong);  // a client that sent no transmit time must see a mismatch too
  EXPECT_NE(0, memcmp(wrong, zero, 8));
}

// ---- Against the running simulator ----

int64_t RealNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (int64_t)ts.tv_sec * kSec + ts.tv_nsec;
}

class Sim : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* net = getenv("QL_PEER_NET");
    if (!net) GTEST_SKIP() << "runs under with-peers only";
    net_ = net;
    ASSERT_EQ("ok", Control("reset"));
  }
  std::string Addr(int host) { return net_ + "." + std::to_string(host); }

  static bool ToSockaddr(const std::string& addr, int port, sockaddr_storage* sa, socklen_t* len) {
    memset(sa, 0, sizeof *sa);
    if (addr.find(':') != std::string::npos) {
      sockaddr_in6* s = (sockaddr_in6*)sa;
      s->sin6_family = AF_INET6;
      s->sin6_port = htons((uint16_t)port);
      *len = sizeof *s;
      return inet_pton(AF_INET6, addr.c_str(), &s->sin6_addr) == 1;
    }
    sockaddr_in* s = (sockaddr_in*)sa;
    s->sin_family = AF_INET;
    s->sin_port = htons((uint16_t)port);
    *len = sizeof *s;
    return inet_pton(AF_INET, addr.c_str(), &s->sin_addr) == 1;
  }

  std::string ControlRaw(const void* data, size_t size) {
    sockaddr_storage sa;
    socklen_t len;
    ToSockaddr(Addr(1), 12300, &sa, &len);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sendto(fd, data, size, 0, (sockaddr*)&sa, len);
    pollfd p = {fd, POLLIN, 0};
    std::string answer = "(no answer)";
    if (poll(&p, 1, 2000) == 1) {
      char buf[65536];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      answer.assign(buf, n > 0 ? (size_t)n : 0);
    }
    close(fd);
    return answer;
  }
  std::string Control(const std::string& cmd) { return ControlRaw(cmd.data(), cmd.size()); }

  struct Reply {
    std::string from;  // "addr:port"
    int len = 0;
    uint8_t data[1024];
    int64_t t4;
  };

  // A client socket that asks several servers and collects the replies in arrival order.
  struct Client {
    int fd = -1;
    int64_t t1 = 0;
    uint8_t tx[8];
    explicit Client(int family) { fd = socket(family, SOCK_DGRAM, 0); }
    ~Client() { close(fd); }
    void Send(const std::string& addr, int size = kNtpPacket, uint8_t first = 0x23) {
      uint8_t req[kNtpPacket] = {first};
      t1 = RealNs();
      PutNtpTime(t1, req + 40);
      memcpy(tx, req + 40, 8);
      sockaddr_storage sa;
      socklen_t len;
      ToSockaddr(addr, 123, &sa, &len);
      sendto(fd, req, (size_t)size, 0, (sockaddr*)&sa, len);
    }
    bool Receive(Reply* r, int timeoutMs) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) != 1) return false;
      sockaddr_storage from;
      socklen_t fromLen = sizeof from;
      r->len = (int)recvfrom(fd, r->data, sizeof r->data, 0, (sockaddr*)&from, &fromLen);
      r->t4 = RealNs();
      r->from = FormatSockaddr(from);
      return r->len >= 0;
    }
    // Offset of the server's clock in seconds, from the reply to the last Send.
    double Offset(const Reply& r) const {
      return ((double)(NtpTimeToUnixNs(r.data + 32) - t1) + (double)(NtpTimeToUnixNs(r.data + 40) - r.t4)) / 2e9;
    }
  };

  std::string net_;
};

// The tolerances allow for a loaded machine under the sanitizers, where one
// exchange's wake-ups cost milliseconds; a wrong offset is off by far more.
TEST_F(Sim, ServesConfiguredOffsetsWithinTenMilliseconds) {
  ASSERT_EQ("ok", Control("serve " + Addr(10) + " offset=2.5"));
  ASSERT_EQ("ok", Control("serve " + Addr(11) + " offset=-86400"));
  Client c(AF_INET);
  Reply r;
  c.Send(Addr(10));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(kNtpPacket, r.len);
  EXPECT_EQ(Addr(10) + ":123", r.from);
  EXPECT_EQ(0, memcmp(r.data + 24, c.tx, 8));  // origin = our transmit
  EXPECT_NEAR(2.5, c.Offset(r), 0.01);
  c.Send(Addr(11));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_NEAR(-86400.0, c.Offset(r), 0.01);
}

TEST_F(Sim, HeldReplyDoesNotStallOtherServers) {
  ASSERT_EQ("ok", Control("serve " + Addr(12) + " delay=300 offset=1"));
  ASSERT_EQ("ok", Control("serve " + Addr(13)));
  Client c(AF_INET);
  int64_t start = RealNs();
  c.Send(Addr(12));
  int64_t t1Slow = c.t1;
  c.Send(Addr(13));
  Reply r;
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(Addr(13) + ":123", r.from);
  EXPECT_LT(r.t4 - start, 100 * 1000000LL);
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(Addr(12) + ":123", r.from);
  EXPECT_GE(r.t4 - start, 290 * 1000000LL);
  // The hold is server processing: T3 - T2 covers it, so the offset stays right
  // (a hold counted as path delay would bias it by 150 ms; the client's T4 here
  // also carries the wake-up after the other reply, some milliseconds on a busy
  // machine).
  double t2 = (double)NtpTimeToUnixNs(r.data + 32), t3 = (double)NtpTimeToUnixNs(r.data + 40);
  EXPECT_NEAR(0.3, (t3 - t2) / 1e9, 0.02);
  EXPECT_NEAR(1.0, ((t2 - (double)t1Slow) + (t3 - (double)r.t4)) / 2e9, 0.01);
}

TEST_F(Sim, AnswersOnlyWhatTheBehaviourAllows) {
  Client c(AF_INET);
  Reply r;
  ASSERT_EQ("ok", Control("serve " + Addr(14) + " every=3"));
  for (int i = 1; i <= 4; ++i) {
    c.Send(Addr(14));
    EXPECT_EQ(i == 3, c.Receive(&r, 150)) << "request " << i;
  }
  ASSERT_EQ("ok", Control("serve " + Addr(15) + " silent=1"));
  c.Send(Addr(15));
  EXPECT_FALSE(c.Receive(&r, 150));
  ASSERT_EQ("ok", Control("serve " + Addr(16)));
  c.Send(Addr(16), 47);  // short request
  EXPECT_FALSE(c.Receive(&r, 150));
  c.Send(Addr(16), kNtpPacket, 0x24);  // a server reply sent to a server
  EXPECT_FALSE(c.Receive(&r, 150));
  c.Send(Addr(16));
  EXPECT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ("4", Control("count " + Addr(14)));
  EXPECT_EQ("1", Control("count " + Addr(15)));
  EXPECT_EQ("3", Control("count " + Addr(16)));
  ASSERT_EQ("ok", Control("stop " + Addr(16)));
  c.Send(Addr(16));
  EXPECT_FALSE(c.Receive(&r, 150));
  EXPECT_EQ("3", Control("count " + Addr(16)));
}

TEST_F(Sim, ShapesTheReply) {
  Client c(AF_INET);
  Reply r;
  ASSERT_EQ("ok", Control("serve " + Addr(17) + " len=20 stratum=0 leap=3"));
  c.Send(Addr(17));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(20, r.len);
  EXPECT_EQ(0xE4, r.data[0]);
  EXPECT_EQ(0, r.data[1]);
  ASSERT_EQ("ok", Control("serve " + Addr(17) + " len=68"));  // as with a MAC appended
  c.Send(Addr(17));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(68, r.len);
  EXPECT_NEAR(0.0, c.Offset(r), 0.01);
  ASSERT_EQ("ok", Control("serve " + Addr(17) + " len=0"));
  c.Send(Addr(17));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(0, r.len);
}

TEST_F(Sim, SendsFromOtherAddressesAndDecoys) {
  Client c(AF_INET);
  Reply r;
  ASSERT_EQ("ok", Control("serve " + Addr(18) + " from=" + Addr(19)));
  c.Send(Addr(18));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(Addr(19) + ":123", r.from);

  ASSERT_EQ("ok", Control("serve " + Addr(20) + " offset=3 decoy=from:" + Addr(21) + " decoydelay=100"));
  c.Send(Addr(20));
  ASSERT_TRUE(c.Receive(&r, 1000));
  int64_t decoyAt = r.t4;
  EXPECT_EQ(Addr(21) + ":123", r.from);
  EXPECT_NEAR(1003.0, c.Offset(r), 0.01);  // the decoy's clock is 1000 s further ahead
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(Addr(20) + ":123", r.from);
  EXPECT_NEAR(3.0, c.Offset(r), 0.01);
  EXPECT_GE(r.t4 - decoyAt, 90 * 1000000LL);

  ASSERT_EQ("ok", Control("serve " + Addr(20) + " decoy=origin decoydelay=0 decoyoffset=0"));
  c.Send(Addr(20));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_NE(0, memcmp(r.data + 24, c.tx, 8));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(0, memcmp(r.data + 24, c.tx, 8));

  // A server may later take over an address that was bound only to send from.
  ASSERT_EQ("ok", Control("serve " + Addr(21)));
  c.Send(Addr(21));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_EQ(Addr(21) + ":123", r.from);
}

TEST_F(Sim, ControlRejectsMalformedCommandsAndKeepsServing) {
  ASSERT_EQ("ok", Control("serve " + Addr(22) + " offset=5"));
  for (const char* bad : {"bogus", "", "serve", "serve 8.8.8.8", "count", "stop 127.3.1.99", "order x",
                          "reset now", "count 127.3.1.22 extra"})
    EXPECT_EQ(0u, Control(bad).rfind("error", 0)) << "'" << bad << "'";
  EXPECT_EQ(0u, Control("serve " + Addr(22) + " leap=9").rfind("error", 0));
  EXPECT_EQ(0u, Control(std::string(5000, 'x')).rfind("error", 0));
  EXPECT_EQ(0u, ControlRaw("order\0x", 7).rfind("error", 0));
  Client c(AF_INET);
  Reply r;
  c.Send(Addr(22));
  ASSERT_TRUE(c.Receive(&r, 1000));
  EXPECT_NEAR(5.0, c.Offset(r), 0.01);  // the rejected serve changed nothing
}

TEST_F(Sim, CountsAndOrdersRequestsUntilReset) {
  ASSERT_EQ("ok", Control("serve " + Addr(23)));
  ASSERT_EQ("ok", Control("serve " + Addr(24) + " silent"));
  EXPECT_EQ("", Control("order"));
  Client c(AF_INET);
  Reply r;
  for (int host : {24, 23, 24}) {
    c.Send(Addr(host));
    c.Receive(&r, host == 23 ? 1000 : 100);
  }
  EXPECT_EQ(Addr(24) + "," + Addr(23) + "," + Addr(24), Control("order"));
  EXPECT_EQ("2", Control("count " + Addr(24)));
  EXPECT_EQ("0", Control("count " + Addr(99)));
  EXPECT_EQ("ok", Control("reset"));
  EXPECT_EQ("0", Control("count " + Addr(24)));
  EXPECT_EQ("", Control("order"));
}

TEST_F(Sim, ServesIpv6Loopback) {
  std::string answer = Control("serve ::1 offset=-2");
  if (answer.find("in use") != std::string::npos) GTEST_SKIP() << "[::1]:123 taken by another test: " << answer;
  ASSERT_EQ("ok", answer);
  Client c(AF_INET6);
  Reply r;
  c.Send("::1");
  bool got = c.Receive(&r, 1000);
  EXPECT_EQ("ok", Control("stop ::1"));
  ASSERT_TRUE(got);
  EXPECT_EQ("[::1]:123", r.from);
  EXPECT_NEAR(-2.0, c.Offset(r), 0.01);
  EXPECT_EQ("1", Control("count 0::1"));
}

TEST_F(Sim, QueryModeReportsTheServersClock) {
  const char* sim = getenv("QL_NTPSIM");
  if (!sim) GTEST_SKIP() << "QL_NTPSIM not set";
  ASSERT_EQ("ok", Control("serve " + Addr(25) + " offset=-0.75 stratum=2"));
  ASSERT_EQ("ok", Control("serve " + Addr(26) + " silent"));
  std::string cmd = std::string(sim) + " --query " + Addr(25) + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(nullptr, p);
  char line[256] = "";
  ASSERT_NE(nullptr, fgets(line, sizeof line, p));
  EXPECT_EQ(0, pclose(p));
  int stratum = -1, leap = -1;
  double offsetUs = 0;
  ASSERT_EQ(3, sscanf(line, "stratum=%d leap=%d version=%*d mode=%*d offset_us=%lf", &stratum, &leap, &offsetUs))
      << line;
  EXPECT_EQ(2, stratum);
  EXPECT_EQ(0, leap);
  EXPECT_NEAR(-750000.0, offsetUs, 10000.0);
  cmd = std::string(sim) + " --query " + Addr(26) + " --timeout 100 >/dev/null 2>&1";
  EXPECT_NE(0, system(cmd.c_str()));
}

}  // namespace

// A server that answers every request with a stream of datagrams that are not
// the answer (a wrong origin), for longer than the exchange waits. The wait
// must still end one second after the send, alone and inside a pass.
//
// Wine binds a socket to the wildcard address unless the address belongs to an
// interface, so the server owns port 123 on 127.0.0.1 (the simulator holds the
// other addresses of the network).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <thread>

#include "ntp/probe.h"
#include "ntp/sntp.h"
#include "ntp/sntp_codec.h"
#include "peerfixture.h"

namespace {

class FloodServer {
 public:
  FloodServer() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(123);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    DWORD timeoutMs = 50;
    if (socket_ != INVALID_SOCKET &&
        (setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs) ||
         bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a))) {
      closesocket(socket_);
      socket_ = INVALID_SOCKET;
    }
    if (socket_ != INVALID_SOCKET) thread_ = std::thread([this] { Run(); });
  }
  ~FloodServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    WSACleanup();
  }
  bool Ready() const { return socket_ != INVALID_SOCKET; }
  int Sent() const { return sent_; }

 private:
  // While a stream runs the socket is only polled, so that the stream is
  // continuous and follows the latest request.
  void Run() {
    uint8_t reply[SNTP_PACKET_BYTES] = {};
    sockaddr_storage to;
    int toLen = 0;
    int64_t until = 0;
    while (!stop_) {
      uint8_t b[SNTP_PACKET_BYTES * 2];
      sockaddr_storage from;
      int fromLen = sizeof from;
      const bool streaming = toLen && GetCounterTime() < until;
      u_long nonBlocking = streaming ? 1 : 0;
      ioctlsocket(socket_, FIONBIO, &nonBlocking);
      const int got =
          recvfrom(socket_, reinterpret_cast<char*>(b), sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (got >= SNTP_PACKET_BYTES) {
        memset(reply, 0, sizeof reply);
        reply[0] = 0x24;   // version 4, server
        reply[1] = 2;
        memcpy(reply + 24, b + 40, 8);
        reply[31] ^= 0x5A;   // not the request's origin
        reply[39] = reply[47] = 1;
        to = from;
        toLen = fromLen;
        until = GetCounterTime() + 3 * 10000000LL;   // three seconds of it
      }
      if (toLen && GetCounterTime() < until) {
        for (int i = 0; i < 8; ++i)
          if (sendto(socket_, reinterpret_cast<const char*>(reply), sizeof reply, 0,
                     reinterpret_cast<sockaddr*>(&to), toLen) == sizeof reply)
            ++sent_;
      }
    }
  }
  SOCKET socket_ = INVALID_SOCKET;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
};

class Flood : public PeerTables {};

TEST_F(Flood, AStreamOfForeignRepliesCannotStretchTheWait) {
  FloodServer server;
  ASSERT_TRUE(server.Ready());
  SERVERROW row = {};
  int result = -1;
  const double ms = TimedMs([&] { result = QueryServerTime(L"127.0.0.1", &row); });
  EXPECT_EQ(0, result);
  EXPECT_GE(ms, 990.0);
  EXPECT_LT(ms, 2000.0);   // the stream goes on for three seconds

  Serve(1, "offset=0.5");
  WCopy(g_workTable[0].host, HOST_CHARS, L"127.0.0.1");
  const unsigned onePass = 1;
  const double passMs = TimedMs([&] { ProbeServers(&onePass); });
  EXPECT_LT(passMs, 2000.0);
  EXPECT_EQ(0, g_workTable[0].result);
  EXPECT_EQ(1, g_workTable[1].result);   // the flooded row leaves its neighbour alone
  EXPECT_NEAR(5000000.0, (double)g_workTable[1].offset, 200000.0);
  EXPECT_GT(server.Sent(), 1000);
}

}  // namespace

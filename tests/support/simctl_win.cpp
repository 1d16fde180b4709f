// The control client of the simulated time servers, over Winsock.
#include "simctl.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdio.h>
#include <stdlib.h>

#include <vector>

namespace {

const int kControlPort = 12300;
const DWORD kAnswerTimeoutMs = 2000;

}  // namespace

std::string PeerNet() {
  const char* net = getenv("QL_PEER_NET");
  // Outside with-peers nothing answers there, and it is still a loopback address.
  return net && *net ? net : "127.3.255";
}

std::string PeerAddr(int host) { return PeerNet() + "." + std::to_string(host); }

std::string ChronyAddr() { return PeerAddr(250); }

bool SimCommand(const std::string& command, std::string* reply) {
  if (reply) reply->clear();
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
  bool ok = false;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s != INVALID_SOCKET) {
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(kControlPort);
    DWORD timeout = kAnswerTimeoutMs;
    if (inet_pton(AF_INET, PeerAddr(1).c_str(), &to.sin_addr) == 1 &&
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof timeout) == 0 &&
        sendto(s, command.data(), (int)command.size(), 0, (const sockaddr*)&to, sizeof to) == (int)command.size()) {
      // The largest answer (the request order) stays below 60,000 bytes.
      std::vector<char> buf(65536);
      int n = recvfrom(s, buf.data(), (int)buf.size(), 0, nullptr, nullptr);
      if (n >= 0) {
        std::string answer(buf.data(), (size_t)n);
        ok = answer.compare(0, 5, "error") != 0;
        if (!ok) fprintf(stderr, "simctl: '%s' -> %s\n", command.c_str(), answer.c_str());
        if (reply) *reply = answer;
      } else {
        fprintf(stderr, "simctl: '%s' -> no answer from %s:%d\n", command.c_str(), PeerAddr(1).c_str(), kControlPort);
      }
    }
    closesocket(s);
  }
  WSACleanup();
  return ok;
}

bool SimServe(const std::string& addr, const std::string& options) {
  return SimCommand("serve " + addr + (options.empty() ? "" : " " + options));
}

bool SimStop(const std::string& addr) { return SimCommand("stop " + addr); }

int SimCount(const std::string& addr) {
  std::string answer;
  if (!SimCommand("count " + addr, &answer) || answer.empty()) return -1;
  char* end = nullptr;
  long n = strtol(answer.c_str(), &end, 10);
  return *end ? -1 : (int)n;
}

std::string SimOrder() {
  std::string answer;
  return SimCommand("order", &answer) ? answer : "(no answer)";
}

bool SimReset() { return SimCommand("reset"); }

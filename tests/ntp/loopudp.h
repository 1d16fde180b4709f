// One datagram to 127.0.0.1:port and the first reply within timeoutMs, for the
// tests that talk NTP to a server themselves.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

#include <vector>

inline bool AskLoopbackUdp(uint16_t port, const uint8_t* packet, size_t length, DWORD timeoutMs,
                           std::vector<uint8_t>* reply) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeoutMs, sizeof timeoutMs);
  sockaddr_in server = {};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = false;
  if (connect(s, (sockaddr*)&server, sizeof server) == 0 && send(s, (const char*)packet, (int)length, 0) == (int)length) {
    uint8_t buffer[4096];   // as long as a reply the client takes
    const int n = recv(s, (char*)buffer, sizeof buffer, 0);
    if (n > 0) {
      reply->assign(buffer, buffer + n);
      ok = true;
    }
  }
  closesocket(s);
  return ok;
}

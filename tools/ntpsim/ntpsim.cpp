// ntpsim: many simulated SNTP servers in one process, one per loopback address
// on UDP port 123, each with its own behaviour, configured over a control socket.
//
//   ntpsim --control ADDR:PORT [--log FILE]   serve until SIGTERM or SIGINT
//   ntpsim --query ADDR [--timeout MS]       one client exchange with ADDR:123
//   ntpsim --control ADDR:PORT --send CMD    one control command to a running simulator
//
// Control commands, one per datagram, each answered with one datagram:
//   serve ADDR [options]  -> ok | error <why>     (options: see tests/support/simctl.h)
//   stop ADDR             -> ok | error <why>
//   count ADDR            -> number of requests ADDR received since the last reset
//   order                 -> every request's address since the last reset, comma-separated
//   reset                 -> ok
//
// Requests shorter than 48 bytes and requests that are not client requests
// (mode 3) are counted and logged but never answered, as a real server does; the
// mode check also keeps two simulated servers from answering each other forever.
//
// Single-threaded: one ppoll loop over every socket, with a timer queue for the
// replies that are held back (delay=, decoys), so a slow server never stalls the others.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "simcore.h"

namespace {

const int64_t kNsPerSec = 1000000000;
const size_t kMaxAnswer = 60000;  // stays below the largest UDP datagram
const size_t kMaxOrder = 10000;   // requests remembered between resets; a flood cannot grow memory

int64_t Now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return (int64_t)ts.tv_sec * kNsPerSec + ts.tv_nsec;
}

FILE* g_log = stderr;

void Log(const std::string& text) {
  int64_t now = Now(CLOCK_REALTIME);
  time_t sec = (time_t)(now / kNsPerSec);
  tm t;
  gmtime_r(&sec, &t);
  char stamp[64];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &t);
  fprintf(g_log, "%s.%06ldZ %s\n", stamp, (long)(now % kNsPerSec / 1000), text.c_str());
  fflush(g_log);
}

std::string Hex8(const uint8_t* p) {
  char buf[24];
  snprintf(buf, sizeof buf, "%02x%02x%02x%02x.%02x%02x%02x%02x", p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
  return buf;
}

struct Endpoint {
  std::string addr;  // canonical
  sockaddr_storage sa;
  socklen_t salen = 0;
  int fd = -1;
  int port = 0;
  bool serving = false;
  Behaviour b;
  uint64_t epoch = 0;  // identifies this serve; replies held for an earlier one are dropped
  uint64_t seen = 0;   // requests since serve or reset, for every=N
};

struct Pending {
  std::string server;
  uint64_t epoch;
  bool decoy;
  Behaviour b;  // as it was when the request arrived
  sockaddr_storage client;
  socklen_t clientLen;
  uint8_t reqTransmit[8];
  int64_t rxRealNs;
};

std::map<std::string, Endpoint> g_endpoints;
std::multimap<int64_t, Pending> g_timers;  // CLOCK_MONOTONIC due time
std::map<std::string, uint64_t> g_counts;
std::vector<std::string> g_order;
bool g_orderOverflow = false;
uint64_t g_nextEpoch = 1;

int OpenUdp(const sockaddr_storage& sa, socklen_t len, int* err) {
  int fd = socket(sa.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  int one = 1;
  if (sa.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  if (bind(fd, (const sockaddr*)&sa, len) != 0) {
    *err = errno;
    close(fd);
    return -1;
  }
  return fd;
}

void SetPort(sockaddr_storage* sa, int port) {
  if (sa->ss_family == AF_INET) ((sockaddr_in*)sa)->sin_port = htons((uint16_t)port);
  else ((sockaddr_in6*)sa)->sin6_port = htons((uint16_t)port);
}

int BoundPort(int fd) {
  sockaddr_storage sa;
  socklen_t len = sizeof sa;
  if (getsockname(fd, (sockaddr*)&sa, &len) != 0) return 0;
  return sa.ss_family == AF_INET ? ntohs(((sockaddr_in*)&sa)->sin_port) : ntohs(((sockaddr_in6*)&sa)->sin6_port);
}

void CloseEndpoint(Endpoint* e) {
  if (e->fd >= 0) close(e->fd);
  e->fd = -1;
}

// The socket replies leave from for ADDR: the served socket, else one bound on
// demand, on port 123 when that is free and on any port otherwise.
Endpoint* SenderFor(const std::string& addr) {
  auto it = g_endpoints.find(addr);
  if (it != g_endpoints.end() && it->second.fd >= 0) return &it->second;
  Endpoint e;
  std::string canon;
  if (!ParseLoopback(addr, &canon, &e.sa, &e.salen)) return nullptr;
  e.addr = canon;
  int err = 0;
  e.fd = OpenUdp(e.sa, e.salen, &err);
  if (e.fd < 0) {
    SetPort(&e.sa, 0);
    e.fd = OpenUdp(e.sa, e.salen, &err);
  }
  if (e.fd < 0) {
    Log("cannot bind " + addr + " to send from: " + strerror(err));
    return nullptr;
  }
  e.port = BoundPort(e.fd);
  Endpoint& slot = g_endpoints[canon];
  slot = e;
  return &slot;
}

void SendReply(const Pending& p) {
  auto it = g_endpoints.find(p.server);
  if (it == g_endpoints.end() || !it->second.serving || it->second.epoch != p.epoch) return;  // stopped meanwhile
  std::string fromAddr = p.server;
  Behaviour b = p.b;
  int64_t extra = 0;
  if (p.decoy) {
    extra = b.decoyOffsetNs;
    if (b.decoy == kDecoyFrom) fromAddr = b.decoyFrom;
    if (b.decoy == kDecoyOrigin) b.wrongOrigin = true;
  } else if (!b.from.empty()) {
    fromAddr = b.from;
  }
  Endpoint* sender = SenderFor(fromAddr);
  if (!sender) return;
  if (sender->sa.ss_family != p.client.ss_family) {
    Log("cannot send from " + fromAddr + " to " + FormatSockaddr(p.client) + ": other address family");
    return;
  }
  uint8_t buf[kMaxReplyLen] = {};
  int64_t txNs = Now(CLOCK_REALTIME) + b.offsetNs + extra;
  BuildReply(b, p.reqTransmit, p.rxRealNs + b.offsetNs + extra, txNs, buf);
  if (sendto(sender->fd, buf, (size_t)b.len, 0, (const sockaddr*)&p.client, p.clientLen) < 0)
    Log("send from " + fromAddr + " to " + FormatSockaddr(p.client) + " failed: " + strerror(errno));
}

// Sends at once when due, else queues; equal due times keep their order (decoy first).
void Dispatch(int64_t now, int64_t due, const Pending& p) {
  if (due <= now && (g_timers.empty() || g_timers.begin()->first > now)) SendReply(p);
  else g_timers.insert(std::make_pair(due, p));
}

void HandleRequest(Endpoint* e, const uint8_t* buf, ssize_t n, const sockaddr_storage& client, socklen_t clientLen,
                   int64_t rxRealNs) {
  g_counts[e->addr] += 1;
  if (g_order.size() < kMaxOrder) g_order.push_back(e->addr);
  else g_orderOverflow = true;
  static const uint8_t kZero[8] = {};
  const uint8_t* tx = n >= kNtpPacket ? buf + 40 : kZero;
  std::string head = "server " + e->addr + " client " + FormatSockaddr(client) + " tx " + Hex8(tx) + ": ";
  if (!e->serving) {
    Log(head + "not served, ignored");
    return;
  }
  if (n < kNtpPacket) {
    Log(head + "short request (" + std::to_string(n) + " bytes), ignored");
    return;
  }
  if ((buf[0] & 7) != 3) {
    Log(head + "mode " + std::to_string(buf[0] & 7) + " request, ignored");
    return;
  }
  e->seen += 1;
  const Behaviour& b = e->b;
  if (b.silent) {
    Log(head + "silent");
    return;
  }
  if (e->seen % b.every != 0) {
    Log(head + "skipped (request " + std::to_string(e->seen) + ", every=" + std::to_string(b.every) + ")");
    return;
  }
  Pending p;
  p.server = e->addr;
  p.epoch = e->epoch;
  p.decoy = false;
  p.b = b;
  p.client = client;
  p.clientLen = clientLen;
  memcpy(p.reqTransmit, tx, 8);
  p.rxRealNs = rxRealNs;
  int64_t now = Now(CLOCK_MONOTONIC);
  int64_t due = now + (int64_t)b.delayMs * 1000000;
  std::string what = "answered";
  if (b.delayMs) what += " after " + std::to_string(b.delayMs) + " ms";
  if (!b.from.empty()) what += " from " + b.from;
  if (b.decoy != kDecoyNone) {
    Pending d = p;
    d.decoy = true;
    Dispatch(now, due, d);
    due += (int64_t)b.decoyDelayMs * 1000000;
    what = (b.decoy == kDecoyFrom ? "decoy from " + b.decoyFrom : std::string("decoy with wrong origin")) + ", then " +
           what + " " + std::to_string(b.decoyDelayMs) + " ms later";
  }
  Log(head + what);
  Dispatch(now, due, p);
}

void ReadServer(Endpoint* e) {
  for (;;) {
    uint8_t buf[2048];
    sockaddr_storage client;
    iovec iov = {buf, sizeof buf};
    char control[256];
    msghdr msg = {};
    msg.msg_name = &client;
    msg.msg_namelen = sizeof client;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(e->fd, &msg, 0);
    if (n < 0) return;  // EAGAIN: drained
    int64_t rx = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts;
        memcpy(&ts, CMSG_DATA(c), sizeof ts);
        rx = (int64_t)ts.tv_sec * kNsPerSec + ts.tv_nsec;
      }
    if (!rx) rx = Now(CLOCK_REALTIME);
    HandleRequest(e, buf, n, client, msg.msg_namelen, rx);
  }
}

std::string CmdServe(const std::string& addr, const std::string& options) {
  std::string canon, why;
  sockaddr_storage sa;
  socklen_t salen;
  if (!ParseLoopback(addr, &canon, &sa, &salen)) return "error not a loopback address: " + addr;
  Behaviour b;
  if (!ParseBehaviour(options, &b, &why)) return "error " + why;
  auto it = g_endpoints.find(canon);
  if (it != g_endpoints.end() && it->second.port != 123) {  // bound on another port to send from: rebind
    CloseEndpoint(&it->second);
    g_endpoints.erase(it);
    it = g_endpoints.end();
  }
  if (it == g_endpoints.end()) {
    Endpoint e;
    e.addr = canon;
    e.sa = sa;
    e.salen = salen;
    int err = 0;
    e.fd = OpenUdp(sa, salen, &err);
    if (e.fd < 0) return std::string("error cannot bind ") + canon + " port 123: " + strerror(err);
    e.port = 123;
    it = g_endpoints.insert(std::make_pair(canon, e)).first;
  }
  Endpoint& e = it->second;
  if (!e.serving) e.epoch = g_nextEpoch++;
  e.serving = true;
  e.b = b;
  e.seen = 0;
  return "ok";
}

std::string CmdStop(const std::string& addr) {
  std::string canon;
  sockaddr_storage sa;
  socklen_t salen;
  if (!ParseLoopback(addr, &canon, &sa, &salen)) return "error not a loopback address: " + addr;
  auto it = g_endpoints.find(canon);
  if (it == g_endpoints.end() || !it->second.serving) return "error not served: " + canon;
  CloseEndpoint(&it->second);
  g_endpoints.erase(it);
  return "ok";
}

std::string Execute(const std::string& command) {
  std::istringstream in(command);
  std::string verb, addr, rest;
  in >> verb;
  if (verb == "serve" || verb == "stop" || verb == "count") {
    if (!(in >> addr)) return "error " + verb + " needs an address";
    std::getline(in, rest);
    if (verb == "serve") return CmdServe(addr, rest);
    if (rest.find_first_not_of(" \t\r\n") != std::string::npos) return "error " + verb + " takes one address";
    if (verb == "stop") return CmdStop(addr);
    std::string canon;
    sockaddr_storage sa;
    socklen_t salen;
    if (!ParseLoopback(addr, &canon, &sa, &salen)) return "error not a loopback address: " + addr;
    auto it = g_counts.find(canon);
    return std::to_string(it == g_counts.end() ? 0 : it->second);
  }
  if (in >> rest) return "error " + verb + " takes no argument";
  if (verb == "order") {
    std::string out;
    for (const std::string& a : g_order) {
      if (!out.empty()) out += ",";
      out += a;
    }
    if (g_orderOverflow || out.size() > kMaxAnswer) return "error order too long for one datagram";
    return out;
  }
  if (verb == "reset") {
    g_counts.clear();
    g_order.clear();
    g_orderOverflow = false;
    for (auto& kv : g_endpoints) kv.second.seen = 0;
    return "ok";
  }
  if (verb.empty()) return "error empty command";
  return "error unknown command " + verb;
}

void ReadControl(int fd) {
  for (;;) {
    char buf[4096];
    sockaddr_storage from;
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_TRUNC, (sockaddr*)&from, &fromLen);
    if (n < 0) return;
    std::string command(buf, (size_t)n < sizeof buf ? (size_t)n : sizeof buf);
    std::string answer;
    if ((size_t)n > sizeof buf) answer = "error command too long";
    else if (command.find('\0') != std::string::npos) answer = "error NUL in command";
    else answer = Execute(command);
    std::string shown = command.size() > 200 ? command.substr(0, 200) + "..." : command;
    for (char& ch : shown)
      if ((unsigned char)ch < 0x20) ch = '?';
    Log("control " + FormatSockaddr(from) + ": " + shown + " -> " + answer);
    sendto(fd, answer.data(), answer.size(), 0, (const sockaddr*)&from, fromLen);
  }
}

int Serve(const std::string& controlAddr) {
  sockaddr_storage sa;
  socklen_t salen;
  if (!ParseHostPort(controlAddr, &sa, &salen)) {
    fprintf(stderr, "ntpsim: bad control address %s (loopback ADDR:PORT)\n", controlAddr.c_str());
    return 2;
  }
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  int sigfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
  int err = 0;
  int control = OpenUdp(sa, salen, &err);
  if (control < 0 || sigfd < 0) {
    fprintf(stderr, "ntpsim: cannot bind control socket %s: %s\n", controlAddr.c_str(), strerror(err));
    if (sigfd >= 0) close(sigfd);
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  Log("control socket " + controlAddr);

  bool running = true;
  while (running) {
    std::vector<pollfd> fds;
    std::vector<std::string> owners;  // endpoint address of fds[i], empty for the fixed two
    fds.push_back({sigfd, POLLIN, 0});
    fds.push_back({control, POLLIN, 0});
    owners.resize(2);
    for (auto& kv : g_endpoints) {
      fds.push_back({kv.second.fd, POLLIN, 0});
      owners.push_back(kv.first);
    }
    timespec wait, *waitp = nullptr;
    if (!g_timers.empty()) {
      int64_t left = g_timers.begin()->first - Now(CLOCK_MONOTONIC);
      if (left < 0) left = 0;
      wait.tv_sec = (time_t)(left / kNsPerSec);
      wait.tv_nsec = (long)(left % kNsPerSec);
      waitp = &wait;
    }
    int ready = ppoll(fds.data(), fds.size(), waitp, nullptr);
    if (ready < 0 && errno != EINTR) {
      Log(std::string("ppoll failed: ") + strerror(errno));
      break;
    }
    // Due replies first: their transmit time is read when they leave.
    int64_t now = Now(CLOCK_MONOTONIC);
    while (!g_timers.empty() && g_timers.begin()->first <= now) {
      Pending p = g_timers.begin()->second;
      g_timers.erase(g_timers.begin());
      SendReply(p);
    }
    if (ready <= 0) continue;
    if (fds[0].revents) {
      signalfd_siginfo si;
      if (read(sigfd, &si, sizeof si) > 0) running = false;
    }
    if (fds[1].revents) ReadControl(control);
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      auto it = g_endpoints.find(owners[i]);  // a control command may have closed it
      if (it != g_endpoints.end() && it->second.fd == fds[i].fd) ReadServer(&it->second);
    }
  }
  Log("stopping");
  for (auto& kv : g_endpoints) CloseEndpoint(&kv.second);
  g_endpoints.clear();
  close(control);
  close(sigfd);
  return 0;
}

// One client exchange, as a readiness probe and for checks from the shell.
int Query(const std::string& addr, int timeoutMs) {
  std::string canon;
  sockaddr_storage sa;
  socklen_t salen;
  if (!ParseLoopback(addr, &canon, &sa, &salen)) {
    fprintf(stderr, "ntpsim: not a loopback address: %s\n", addr.c_str());
    return 2;
  }
  int fd = socket(sa.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 2;
  uint8_t req[kNtpPacket] = {0x23};
  int64_t t1 = Now(CLOCK_REALTIME);
  PutNtpTime(t1, req + 40);
  int rc = 1;
  if (sendto(fd, req, sizeof req, 0, (const sockaddr*)&sa, salen) == (ssize_t)sizeof req) {
    int64_t deadline = Now(CLOCK_MONOTONIC) + (int64_t)timeoutMs * 1000000;
    for (;;) {
      int left = (int)((deadline - Now(CLOCK_MONOTONIC)) / 1000000);
      pollfd pfd = {fd, POLLIN, 0};
      if (left <= 0 || poll(&pfd, 1, left) <= 0) break;
      uint8_t rep[1024];
      sockaddr_storage from;
      socklen_t fromLen = sizeof from;
      ssize_t n = recvfrom(fd, rep, sizeof rep, 0, (sockaddr*)&from, &fromLen);
      int64_t t4 = Now(CLOCK_REALTIME);
      if (n < kNtpPacket || fromLen != salen || memcmp(&from, &sa, salen) != 0 || memcmp(rep + 24, req + 40, 8) != 0)
        continue;  // not the answer to this request
      int64_t t2 = NtpTimeToUnixNs(rep + 32), t3 = NtpTimeToUnixNs(rep + 40);
      double offsetUs = ((double)(t2 - t1) + (double)(t3 - t4)) / 2000.0;
      double delayUs = (double)((t4 - t1) - (t3 - t2)) / 1000.0;
      printf("stratum=%d leap=%d version=%d mode=%d offset_us=%.3f delay_us=%.3f\n", rep[1], rep[0] >> 6,
             (rep[0] >> 3) & 7, rep[0] & 7, offsetUs, delayUs);
      rc = 0;
      break;
    }
  }
  close(fd);
  if (rc) fprintf(stderr, "ntpsim: no answer from %s\n", canon.c_str());
  return rc;
}

// One control command, for scripts: prints the answer; exit code 0 unless it is an error.
int SendCommand(const std::string& controlAddr, const std::string& command) {
  sockaddr_storage sa;
  socklen_t salen;
  if (!ParseHostPort(controlAddr, &sa, &salen)) {
    fprintf(stderr, "ntpsim: bad control address %s (loopback ADDR:PORT)\n", controlAddr.c_str());
    return 2;
  }
  int fd = socket(sa.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 2;
  int rc = 1;
  if (sendto(fd, command.data(), command.size(), 0, (const sockaddr*)&sa, salen) == (ssize_t)command.size()) {
    pollfd pfd = {fd, POLLIN, 0};
    char buf[65536];
    ssize_t n = poll(&pfd, 1, 2000) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
    if (n >= 0) {
      std::string answer(buf, (size_t)n);
      printf("%s\n", answer.c_str());
      rc = answer.compare(0, 5, "error") == 0 ? 1 : 0;
    } else {
      fprintf(stderr, "ntpsim: no answer from %s\n", controlAddr.c_str());
    }
  }
  close(fd);
  return rc;
}

int Usage() {
  fprintf(stderr,
          "usage: ntpsim --control ADDR:PORT [--log FILE]\n"
          "       ntpsim --query ADDR [--timeout MS]\n"
          "       ntpsim --control ADDR:PORT --send COMMAND\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string control, logPath, query, send;
  bool haveSend = false;
  uint64_t timeoutMs = 1000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string v = argv[++i];
    if (a == "--control") control = v;
    else if (a == "--log") logPath = v;
    else if (a == "--query") query = v;
    else if (a == "--send") send = v, haveSend = true;
    else if (a == "--timeout") {
      if (!ParseUnsigned(v, 1, 600000, &timeoutMs)) return Usage();
    } else return Usage();
  }
  if (!query.empty()) return Query(query, (int)timeoutMs);
  if (control.empty()) return Usage();
  if (haveSend) return SendCommand(control, send);
  if (!logPath.empty()) {
    g_log = fopen(logPath.c_str(), "a");
    if (!g_log) {
      fprintf(stderr, "ntpsim: cannot open log %s: %s\n", logPath.c_str(), strerror(errno));
      return 1;
    }
  }
  int rc = Serve(control);
  if (g_log != stderr) fclose(g_log);
  return rc;
}

// Control of the simulated time servers (tools/ntpsim) from a test under Wine.
// The test runs inside tests/support/with-peers, which starts the simulator with
// its control socket on <net>.1:12300 and chronyd on <net>.250 (local stratum 3),
// and names the network in QL_PEER_NET (for example "127.1.3").
#pragma once
#include <string>

// "127.1.3": the test's own loopback network.
std::string PeerNet();
// PeerNet() + "." + host: an address of that network.
std::string PeerAddr(int host);
// chronyd's address, PeerAddr(250), and its configured stratum.
std::string ChronyAddr();
const int kChronyStratum = 3;

// Sends one control command and waits for the answer (2 s). False on no answer
// or an answer that starts with "error".
bool SimCommand(const std::string& command, std::string* reply = nullptr);

// Makes ADDR (an IPv4 address of the network, or "::1") answer on UDP port 123
// with the given behaviour, replacing any earlier one. Options, space-separated:
//   offset=S      server clock ahead by S seconds (decimal, negative = behind)
//   delay=MS      hold each request MS milliseconds before answering
//   silent=1      never answer
//   every=N       answer only the Nth, 2Nth, ... request (counting from 1)
//   stratum=N leap=N mode=N version=N   header fields of the reply (defaults 1, 0, 4, 4)
//   rootdelay=N   raw 32-bit root delay field (16.16 seconds)
//   len=N         send only the first N bytes of the reply (default 48; up to 512,
//                 zero-padded beyond 48 like a reply with extension fields)
//   origin=wrong  put a wrong origin timestamp into the reply
//   transmit=zero send a zero transmit timestamp
//   from=ADDR     send the reply from ADDR instead of the server's own address
//   decoy=from:ADDR | decoy=origin   first send a decoy (from ADDR, or with a
//                 wrong origin), then the genuine reply after decoydelay=MS (default 50);
//                 the decoy's clock runs decoyoffset=S seconds ahead of the server's
//                 (default 1000), so a client that takes it shows in its offset
// Requests shorter than 48 bytes or not in client mode (3) are counted, never answered.
bool SimServe(const std::string& addr, const std::string& options = "");
// Stops serving ADDR (its socket is closed; requests then go unanswered).
bool SimStop(const std::string& addr);
// Requests received by ADDR since the last SimReset; -1 when the simulator does not answer.
int SimCount(const std::string& addr);
// The addresses of every request received since the last SimReset, in order, comma-separated.
std::string SimOrder();
// Clears the counters and the order.
bool SimReset();

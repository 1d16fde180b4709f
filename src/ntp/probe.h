// Probe rounds: ask the servers of the work table and publish what they answer.
#pragma once
#include <stdint.h>

#include "ntp/serverrow.h"

struct CUTSIGNAL;

// One round of `passes` passes over rows 0..9; rows that answered are not asked
// again in later passes, rows that never answered end at DELAY_NONE. A pass
// asks its hosts at once, each once however many rows name it (compared without
// regard to case or surrounding blanks), and waits one second after the last
// send at most; NTS hosts that need a key exchange make it meanwhile, all at
// once, and are asked right after it. A host's answer, failure or kiss is
// every such row's. Each good answer renews the Z_Scores as it arrives, and
// every row is published as soon as its outcome is known. A round cut short
// (cut, may be null) leaves the rows it did not hear from as they were. An NTS
// host backing off after failures is left out (its rows not answered) unless
// `pressed`: a person pressing the sync button asks every host again.
int ProbeRound(unsigned passes, const CUTSIGNAL* cut, int pressed);

// ProbeRound(*passes) that nobody cuts; the pointer lets the operation serve
// directly as a worker callback.
int ProbeServers(const unsigned* passes);

// The clock of the NTS back-off, in milliseconds; null: the counter clock
// (GetCounterMs). Tests drive their own.
void SetNtsBackoffClock(uint64_t (*nowMs)());

// Asks row 9 alone, up to `attempts` times, after clearing its list row.
void ProbeOtherServer(unsigned attempts);

// The server's time now as the row's sample predicts it, as FILETIME.
uint64_t EstimateServerTime(const SERVERROW* row);

// True when any work row's last exchange succeeded.
bool AnyServerAnswered();

// Why an NTS row reads as not answered; each has an interface string
// (NTSREASON_FIRST_STRING - 1 + reason).
enum NTSREASON {
  NTSREASON_NONE = 0,
  NTSREASON_MALFORMED,      // "nts://" with an empty or bad name or port
  NTSREASON_CERTIFICATE,    // the key-exchange server's certificate was not trusted
  NTSREASON_TLS13,          // this Windows offers no TLS 1.3
  NTSREASON_KE_REFUSED,     // the key exchange failed or was refused
  NTSREASON_KE_TIMEOUT,     // the key-exchange server was not reached in time
  NTSREASON_NAK,            // the server refused the cookie (NTS NAK)
  NTSREASON_UNAUTHENTIC,    // replies came, none authenticated
  NTSREASON_CERTIFICATE_PERIOD,  // the certificate is out of its validity period: the clock may be wrong
  NTSREASON_CLOCK_BEHIND,   // not a failure: the clock is behind the build, the certificate was
                            // checked at the build's time
};
#define NTSREASON_FIRST_STRING 147
#define NTSREASON_COUNT 9

// The reason of a failed NTS exchange: the host's last key exchange's
// NTSKERESULT, whether it holds keys afterwards, a NAK, and the datagrams
// judged. NTSREASON_NONE for plain silence. (An exchange whose key exchange
// found the clock behind the build notes NTSREASON_CLOCK_BEHIND where it has
// no failure to tell.)
int NtsFailureReason(int keResult, int keyed, int nak, int datagrams);

// A row whose NTS reason changed since the log last heard of it (each change
// once; an authenticated answer clears the reason). False when none is waiting.
bool TakeNtsReason(int* row, int* reason);

// Forgets the reasons shown (a new run or a test).
void ForgetNtsReasons();

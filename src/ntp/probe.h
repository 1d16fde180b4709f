// Probe rounds: ask the servers of the work table and publish what they answer.
#pragma once
#include <stdint.h>

#include "ntp/serverrow.h"

// One round of *passes passes over rows 0..9; rows that answered are not asked
// again in later passes, rows that never answered end at DELAY_NONE. A pass
// asks its hosts at once, each once however many rows name it (compared without
// regard to case or surrounding blanks), and waits one second after the last
// send at most; a host's answer, failure or kiss is every such row's. Each good
// answer renews the Z_Scores as it arrives, and every row is published as soon
// as its outcome is known. A round cut short (CutPasses) leaves the rows it did
// not hear from as they were. The pointer lets the operation serve directly as
// a worker callback.
int ProbeServers(const unsigned* passes);

// Asks row 9 alone, up to `attempts` times, after clearing its list row.
void ProbeOtherServer(unsigned attempts);

// The server's time now as the row's sample predicts it, as FILETIME.
uint64_t EstimateServerTime(const SERVERROW* row);

// True when any work row's last exchange succeeded.
bool AnyServerAnswered();

// One instance at a time: the first instance holds the mutex and the named
// shared memory "Quorlin" with its process id and main window; a later start
// asks that window to show itself and ends.
#pragma once
#include <windows.h>
#include <stdint.h>


// The shared record; the same 16 bytes in the 32-bit and the 64-bit build.
struct INSTANCEINFO {
  uint32_t processId;
  uint32_t reserved;
  uint64_t window;   // widened handle; 0 until the window exists
};
static_assert(sizeof(INSTANCEINFO) == 16, "INSTANCEINFO is shared between builds");

// Returns 1 when this process is the first instance (it then owns the mutex and,
// where it could be made, the record), 0 when it handed over or cannot run.
// handOver 0: a later instance ends without showing the first one's window.
int CheckSingleInstance(int handOver);

// Writes the main window into the record (no effect without one).
void PublishInstanceWindow(HWND window);

// Unmaps and closes the record, releases and closes the mutex.
void ReleaseSingleInstance();

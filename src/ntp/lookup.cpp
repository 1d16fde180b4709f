#include "ntp/lookup.h"

#include <windows.h>

#include "ntp/sntp.h"

namespace {

// Shared by the caller and the lookup's thread; the last to let go frees it.
struct LOOKUP {
  volatile LONG refs;
  HANDLE done;   // set by the thread once result and error are in
  ADDRINFOW hints;
  ADDRINFOW* result;
  int error;
  wchar_t* service;
  wchar_t host[1];   // and the rest of the name, then the service
};

void Release(LOOKUP* l) {
  if (InterlockedDecrement(&l->refs) != 0) return;
  if (l->result) FreeAddrInfoW(l->result);
  if (l->done) CloseHandle(l->done);
  HeapFree(GetProcessHeap(), 0, l);
}

DWORD WINAPI LookUpThread(void* parameter) {
  LOOKUP* l = static_cast<LOOKUP*>(parameter);
  WSADATA wsa;
  // The caller's own start-up may be gone by the time the lookup ends.
  const bool started = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  l->error = started ? GetAddrInfoW(l->host, l->service, &l->hints, &l->result) : WSASYSNOTREADY;
  if (started) WSACleanup();
  SetEvent(l->done);
  Release(l);
  return 0;
}

}  // namespace

int LookUpName(const wchar_t* host, const wchar_t* service, const ADDRINFOW* hints, DWORD timeoutMs,
               const CUTSIGNAL* cut, ADDRINFOW** result) {
  *result = nullptr;
  if (IsCut(cut)) return WSAEINTR;
  ADDRINFOW numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  if (GetAddrInfoW(host, service, &numeric, result) == 0) return 0;
  *result = nullptr;

  const size_t hostChars = (size_t)lstrlenW(host) + 1, serviceChars = (size_t)lstrlenW(service) + 1;
  LOOKUP* l = static_cast<LOOKUP*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(LOOKUP) + (hostChars + serviceChars) * sizeof(wchar_t)));
  if (!l) return WSA_NOT_ENOUGH_MEMORY;
  l->refs = 2;
  l->hints = *hints;
  l->hints.ai_canonname = nullptr;
  l->hints.ai_addr = nullptr;
  l->hints.ai_next = nullptr;
  CopyMemory(l->host, host, hostChars * sizeof(wchar_t));
  l->service = l->host + hostChars;
  CopyMemory(l->service, service, serviceChars * sizeof(wchar_t));
  l->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = l->done ? CreateThread(nullptr, 0, LookUpThread, l, 0, nullptr) : nullptr;
  if (!thread) {
    l->refs = 1;
    Release(l);
    return WSA_NOT_ENOUGH_MEMORY;
  }
  CloseHandle(thread);
  HANDLE events[2] = {l->done, cut ? (HANDLE)cut->event : nullptr};
  // A cut without an event is seen at the next slice.
  const DWORD slice = cut && !cut->event ? 100 : INFINITE;
  const DWORD start = GetTickCount();
  DWORD w = WAIT_TIMEOUT;
  for (;;) {
    const DWORD spent = GetTickCount() - start;
    if (spent >= timeoutMs || IsCut(cut)) break;
    const DWORD left = timeoutMs - spent;
    w = WaitForMultipleObjects(events[1] ? 2 : 1, events, FALSE, left < slice ? left : slice);
    if (w != WAIT_TIMEOUT) break;
  }
  int error;
  if (w == WAIT_OBJECT_0) {
    error = l->error;
    if (error == 0) {
      *result = l->result;
      l->result = nullptr;
    }
  } else {
    error = w == WAIT_OBJECT_0 + 1 || IsCut(cut) ? WSAEINTR : WSAETIMEDOUT;
  }
  Release(l);
  return error;
}

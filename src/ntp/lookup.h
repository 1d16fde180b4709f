// A name lookup that its caller can stop waiting for. GetAddrInfoW can be
// neither timed out nor cancelled, so it runs on a thread of its own; a caller
// that stops waiting (out of time, or its round cut) leaves, and the thread
// frees what it found when it ends. Windows only.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>

struct CUTSIGNAL;

// GetAddrInfoW within timeoutMs, ended early by cut (may be null): 0 and
// *result (FreeAddrInfoW) on success, else the lookup's error, WSAETIMEDOUT
// when out of time, or WSAEINTR when cut. An address literal is taken at once.
int LookUpName(const wchar_t* host, const wchar_t* service, const ADDRINFOW* hints, DWORD timeoutMs,
               const CUTSIGNAL* cut, ADDRINFOW** result);

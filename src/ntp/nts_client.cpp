#include "ntp/nts_client.h"

#define SCHANNEL_USE_BLACKLISTS   // SCH_CREDENTIALS
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winternl.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <stdio.h>
#include <string.h>

#include "ntp/clock.h"
#include "ntp/lookup.h"
#include "ntp/sntp.h"
#if QL_NTS_KEYLOG_ROUTE
#include "ntp/hash_bcrypt.h"
#include "ntp/tls_exporter.h"
#endif

// A TLS record is at most 16 KiB of plaintext plus 2 KiB of expansion; a
// handshake flight may span several, and SChannel takes them one by one.
#define TLS_INPUT_BYTES (2 * (16384 + 2048 + 5))
// A response longer than this is not an NTS-KE response.
#define RESPONSE_MAX_BYTES 65536
// Post-handshake messages (session tickets) taken in one exchange.
#define POST_HANDSHAKE_MAX 8
// How often a wait looks at the round's cut.
#define CUT_SLICE_MS 100

namespace {

// An exchange's connection; released by CloseConnection.
struct CONNECTION {
  SOCKET socket;
  CredHandle credentials;
  CtxtHandle context;
  bool haveCredentials, haveContext;
  int64_t deadline;   // counter time (100 ns units)
  const CUTSIGNAL* cut;
  uint8_t input[TLS_INPUT_BYTES];
  size_t inputLength;
#if QL_NTS_KEYLOG_ROUTE
  uint8_t clientRandom[TLS_RANDOM_BYTES];
  bool haveRandom;
#endif
};

NTSKERESULT Fail(NTSKEOUTCOME* outcome, NTSKERESULT result, long detail) {
  outcome->result = result;
  outcome->detail = detail;
  return result;
}

// Milliseconds left before the deadline, 0 once it has passed.
DWORD Left(const CONNECTION* c) {
  const int64_t left = c->deadline - GetCounterTime();
  return left > 0 ? (DWORD)((left + 9999) / 10000) : 0;
}

// Waits until the socket is writable (connect, send) or readable. 1: ready,
// 0: out of time, -1: error (for a connect: refused), -2: the round was cut.
// select cannot wait for an event as well, so the wait looks at the cut in
// slices, each measured against the end so that their overruns do not add up.
int WaitSocket(const CONNECTION* c, SOCKET s, bool write, DWORD ms) {
  const int64_t end = GetCounterTime() + (int64_t)ms * 10000;
  for (;;) {
    if (IsCut(c->cut)) return -2;
    const int64_t left = end - GetCounterTime();
    const DWORD leftMs = left > 0 ? (DWORD)((left + 9999) / 10000) : 0;
    const DWORD slice = leftMs < CUT_SLICE_MS ? leftMs : CUT_SLICE_MS;
    fd_set set, errors;
    FD_ZERO(&set);
    FD_ZERO(&errors);
    FD_SET(s, &set);
    FD_SET(s, &errors);
    timeval tv = {(long)(slice / 1000), (long)(slice % 1000) * 1000};
    const int n = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv);
    if (n < 0) return -1;
    if (n > 0) return FD_ISSET(s, &set) ? 1 : -1;
    if (leftMs <= slice) return IsCut(c->cut) ? -2 : 0;
  }
}

// Connects to the first address that takes the connection within
// NTSKE_CONNECT_MS (and the overall deadline), non-blocking.
NTSKERESULT Connect(const wchar_t* host, uint16_t port, CONNECTION* c, NTSKEOUTCOME* outcome) {
  wchar_t service[8];
  _snwprintf(service, 8, L"%u", (unsigned)port);
  service[7] = 0;
  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* addresses = nullptr;
  // The lookup counts within the deadline: a name server that never answers
  // must not hold the round.
  const int error = LookUpName(host, service, &hints, Left(c), c->cut, &addresses);
  if (error == WSAEINTR) return Fail(outcome, NTSKX_CUT, 0);
  if (error == WSAETIMEDOUT) return Fail(outcome, NTSKX_TIMEOUT, 0);
  if (error != 0) return Fail(outcome, NTSKX_RESOLVE, error);
  NTSKERESULT result = NTSKX_CONNECT;
  long detail = 0;
  for (ADDRINFOW* a = addresses; a; a = a->ai_next) {
    DWORD ms = Left(c);
    if (ms == 0) {
      result = NTSKX_TIMEOUT;
      break;
    }
    if (ms > NTSKE_CONNECT_MS) ms = NTSKE_CONNECT_MS;
    SOCKET s = socket(a->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
      detail = WSAGetLastError();
      continue;
    }
    u_long nonBlocking = 1;
    int ready = -1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) == 0) {
      if (connect(s, a->ai_addr, (int)a->ai_addrlen) == 0) {
        ready = 1;
      } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        ready = WaitSocket(c, s, true, ms);
      }
    }
    int soError = 0, size = sizeof soError;
    if (ready == 1 && getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&soError, &size) == 0 && soError == 0) {
      c->socket = s;
      outcome->peerClass = SocketAddressClass(a->ai_addr);
      result = NTSKX_OK;
      break;
    }
    if (ready == -2) {
      closesocket(s);
      result = NTSKX_CUT;
      break;
    }
    if (ready == 0) {
      result = NTSKX_TIMEOUT;
    } else {
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&soError, &size) == 0 && soError) detail = soError;
      else detail = WSAGetLastError();
    }
    closesocket(s);
  }
  FreeAddrInfoW(addresses);
  return result == NTSKX_OK ? result : Fail(outcome, result, result == NTSKX_TIMEOUT || result == NTSKX_CUT ? 0 : detail);
}

// Sends all of data before the deadline.
NTSKERESULT SendAll(CONNECTION* c, const uint8_t* data, size_t length, NTSKEOUTCOME* outcome) {
  while (length > 0) {
    const int n = send(c->socket, (const char*)data, length > 0x10000 ? 0x10000 : (int)length, 0);
    if (n > 0) {
      data += n;
      length -= (size_t)n;
      continue;
    }
    const int error = WSAGetLastError();
    if (n == 0 || error != WSAEWOULDBLOCK) return Fail(outcome, NTSKX_SYSTEM, error);
    const int ready = WaitSocket(c, c->socket, true, Left(c));
    if (ready == -2) return Fail(outcome, NTSKX_CUT, 0);
    if (ready == 0) return Fail(outcome, NTSKX_TIMEOUT, 0);
    if (ready < 0) return Fail(outcome, NTSKX_SYSTEM, WSAGetLastError());
  }
  return NTSKX_OK;
}

// Appends what arrives to the input before the deadline. NTSKX_CLOSED when the
// peer ends the connection; NTSKX_TLS when the input is full (a record larger
// than TLS allows).
NTSKERESULT Receive(CONNECTION* c, NTSKEOUTCOME* outcome) {
  if (c->inputLength == sizeof c->input) return Fail(outcome, NTSKX_TLS, SEC_E_INCOMPLETE_MESSAGE);
  for (;;) {
    const int ready = WaitSocket(c, c->socket, false, Left(c));
    if (ready == -2) return Fail(outcome, NTSKX_CUT, 0);
    if (ready == 0) return Fail(outcome, NTSKX_TIMEOUT, 0);
    const int n = recv(c->socket, (char*)c->input + c->inputLength, (int)(sizeof c->input - c->inputLength), 0);
    if (n > 0) {
      c->inputLength += (size_t)n;
      return NTSKX_OK;
    }
    if (n == 0) return Fail(outcome, NTSKX_CLOSED, 0);
    const int error = WSAGetLastError();
    if (error == WSAECONNRESET || error == WSAECONNABORTED) return Fail(outcome, NTSKX_CLOSED, error);
    if (error != WSAEWOULDBLOCK) return Fail(outcome, NTSKX_SYSTEM, error);
  }
}

// Keeps the unread tail of the input: the `extra` bytes at its end.
void KeepExtra(CONNECTION* c, size_t extra) {
  if (extra > c->inputLength) extra = c->inputLength;
  memmove(c->input, c->input + c->inputLength - extra, extra);
  c->inputLength = extra;
}

NTSKERESULT AcquireTls13Credentials(CONNECTION* c, NTSKEOUTCOME* outcome) {
  // Everything but TLS 1.3 disabled. Certificates are checked by CheckCertificate.
  TLS_PARAMETERS parameters = {};
  parameters.grbitDisabledProtocols = (DWORD)~SP_PROT_TLS1_3_CLIENT;
  SCH_CREDENTIALS credentials = {};
  credentials.dwVersion = SCH_CREDENTIALS_VERSION;
  credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  credentials.cTlsParameters = 1;
  credentials.pTlsParameters = &parameters;
  TimeStamp expiry;
  const SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, (SEC_WCHAR*)UNISP_NAME_W, SECPKG_CRED_OUTBOUND,
                                                           nullptr, &credentials, nullptr, nullptr,
                                                           &c->credentials, &expiry);
  if (status != SEC_E_OK) return Fail(outcome, NTSKX_TLS13_UNAVAILABLE, status);
  c->haveCredentials = true;
  return NTSKX_OK;
}

const DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                            ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

// Sends the output token of an InitializeSecurityContextW call and frees it.
NTSKERESULT SendToken(CONNECTION* c, SecBuffer* token, NTSKEOUTCOME* outcome) {
  NTSKERESULT result = NTSKX_OK;
  if (token->pvBuffer && token->cbBuffer > 0) result = SendAll(c, (const uint8_t*)token->pvBuffer, token->cbBuffer, outcome);
  if (token->pvBuffer) FreeContextBuffer(token->pvBuffer);
  token->pvBuffer = nullptr;
  token->cbBuffer = 0;
  return result;
}

#if QL_NTS_KEYLOG_ROUTE
// Under Wine, GnuTLS offers TLS 1.3 only when told where its priority file is;
// without it the server ends the connection without a word.
void NoteMissingPriorityFile(NTSKEOUTCOME* outcome) {
  if (GetEnvironmentVariableW(L"GNUTLS_SYSTEM_PRIORITY_FILE", nullptr, 0) == 0)
    snprintf(outcome->note, sizeof outcome->note,
             "GNUTLS_SYSTEM_PRIORITY_FILE is not set: under Wine the client offers no TLS 1.3");
}
#endif

NTSKERESULT Handshake(const wchar_t* host, CONNECTION* c, NTSKEOUTCOME* outcome) {
  // The first call offers ALPN "ntske/1" and names the host (SNI).
  uint8_t alpn[sizeof(SEC_APPLICATION_PROTOCOLS) + 16] = {};
  SEC_APPLICATION_PROTOCOLS* protocols = (SEC_APPLICATION_PROTOCOLS*)alpn;
  SEC_APPLICATION_PROTOCOL_LIST* list = &protocols->ProtocolLists[0];
  const size_t alpnLength = sizeof NTSKE_ALPN - 1;
  list->ProtoNegoExt = SecApplicationProtocolNegotiationExt_ALPN;
  list->ProtocolListSize = (unsigned short)(1 + alpnLength);
  list->ProtocolList[0] = (unsigned char)alpnLength;
  memcpy(&list->ProtocolList[1], NTSKE_ALPN, alpnLength);
  protocols->ProtocolListsSize =
      (unsigned long)(offsetof(SEC_APPLICATION_PROTOCOL_LIST, ProtocolList) + list->ProtocolListSize);
  SecBuffer first = {(unsigned long)(offsetof(SEC_APPLICATION_PROTOCOLS, ProtocolLists) + protocols->ProtocolListsSize),
                     SECBUFFER_APPLICATION_PROTOCOLS, alpn};
  SecBufferDesc firstDesc = {SECBUFFER_VERSION, 1, &first};

  SecBuffer token = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc tokenDesc = {SECBUFFER_VERSION, 1, &token};
  ULONG attributes = 0;
  SECURITY_STATUS status = InitializeSecurityContextW(&c->credentials, nullptr, (SEC_WCHAR*)host, kContextFlags, 0, 0,
                                                      &firstDesc, 0, &c->context, &tokenDesc, &attributes, nullptr);
  if (status != SEC_I_CONTINUE_NEEDED) {
    if (token.pvBuffer) FreeContextBuffer(token.pvBuffer);
    return Fail(outcome, status == SEC_E_ALGORITHM_MISMATCH ? NTSKX_TLS13_UNAVAILABLE : NTSKX_HANDSHAKE, status);
  }
  c->haveContext = true;
#if QL_NTS_KEYLOG_ROUTE
  // The ClientHello: its random names this connection in a key log.
  c->haveRandom = token.pvBuffer && ClientHelloRandom((const uint8_t*)token.pvBuffer, token.cbBuffer, c->clientRandom);
#endif
  if (SendToken(c, &token, outcome) != NTSKX_OK) return outcome->result;

  for (;;) {
    if (c->inputLength == 0 || status == SEC_E_INCOMPLETE_MESSAGE) {
      if (Receive(c, outcome) != NTSKX_OK) {
        if (outcome->result == NTSKX_CLOSED) {
#if QL_NTS_KEYLOG_ROUTE
          NoteMissingPriorityFile(outcome);
#endif
          return Fail(outcome, NTSKX_HANDSHAKE, outcome->detail);
        }
        return outcome->result;
      }
    }
    SecBuffer in[2] = {{(unsigned long)c->inputLength, SECBUFFER_TOKEN, c->input}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
    status = InitializeSecurityContextW(&c->credentials, &c->context, (SEC_WCHAR*)host, kContextFlags, 0, 0, &inDesc,
                                        0, nullptr, &outDesc, &attributes, nullptr);
    if (out[1].pvBuffer) FreeContextBuffer(out[1].pvBuffer);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (out[0].pvBuffer) FreeContextBuffer(out[0].pvBuffer);
      continue;
    }
    // A failure's token is the alert for the server: sent, best effort.
    const NTSKERESULT sent = SendToken(c, &out[0], outcome);
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return Fail(outcome, NTSKX_HANDSHAKE, status);
    if (sent != NTSKX_OK) return sent;
    KeepExtra(c, in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0);
    if (status == SEC_E_OK) return NTSKX_OK;
  }
}

// What the chain engine found wrong, as the SSL policy would name it; revocation
// is not asked for, so its status is not held against the chain.
long ChainError(DWORD status) {
  status &= ~(DWORD)(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  if (status == CERT_TRUST_NO_ERROR) return 0;
  if (status & CERT_TRUST_IS_REVOKED) return CRYPT_E_REVOKED;
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return CERT_E_EXPIRED;
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return CERT_E_UNTRUSTEDROOT;
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return CERT_E_WRONG_USAGE;
  return CERT_E_CHAINING;
}

uint64_t Ticks(const FILETIME& t) { return (uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime; }

uint64_t SystemNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return Ticks(now);
}

uint64_t (*g_certificateNow)() = SystemNow;

// A chain judged at one moment: the SSL policy's error for host (0: trusted),
// whether the chain was out of its validity period then, and the latest start
// of validity among its certificates.
struct CHAINVERDICT {
  long error;
  bool outOfPeriod;
  uint64_t latestStart;
};

CHAINVERDICT JudgeChain(const wchar_t* host, PCCERT_CONTEXT certificate, uint64_t moment) {
  CHAINVERDICT verdict = {};
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuth};
  CERT_CHAIN_PARA chainPara = {};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  FILETIME at = {(DWORD)moment, (DWORD)(moment >> 32)};
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, &at, certificate->hCertStore, &chainPara, 0, nullptr, &chain)) {
    verdict.error = (long)GetLastError();
    if (verdict.error == 0) verdict.error = CERT_E_CHAINING;
    return verdict;
  }
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = (WCHAR*)host;
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
    verdict.error = (long)GetLastError() ? (long)GetLastError() : CERT_E_CHAINING;
  else
    verdict.error = (long)status.dwError;
  // Wine's SSL policy passes a chain that ends short of a root; Windows
  // refuses it. The chain's own verdict decides as well.
  if (verdict.error == 0) verdict.error = ChainError(chain->TrustStatus.dwErrorStatus);
  verdict.outOfPeriod = (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_TIME_VALID) != 0;
  for (DWORD i = 0; i < chain->cChain; ++i)
    for (DWORD k = 0; k < chain->rgpChain[i]->cElement; ++k) {
      const uint64_t start = Ticks(chain->rgpChain[i]->rgpElement[k]->pCertContext->pCertInfo->NotBefore);
      if (start > verdict.latestStart) verdict.latestStart = start;
    }
  CertFreeCertificateChain(chain);
  return verdict;
}

// The server's certificate must chain to a trusted root and name the host:
// SChannel is told to leave that to the program.
NTSKERESULT CheckCertificate(const wchar_t* host, CONNECTION* c, NTSKEOUTCOME* outcome) {
  PCCERT_CONTEXT certificate = nullptr;
  SECURITY_STATUS status = QueryContextAttributesW(&c->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
  if (status != SEC_E_OK || !certificate) return Fail(outcome, NTSKX_CERTIFICATE, status ? status : CERT_E_CHAINING);
  const uint64_t now = g_certificateNow(), built = NtsBuildTime();
  CHAINVERDICT verdict = JudgeChain(host, certificate, now);
  NTSKERESULT result = verdict.error ? NTSKX_CERTIFICATE : NTSKX_OK;
  if (now < built) {
    // A clock behind the build is wrong: no moment before the build can be
    // now, and none before the chain's latest start can make it pass.
    outcome->clockBehind = true;
    const uint64_t latestStart = verdict.latestStart;
    verdict = JudgeChain(host, certificate, latestStart > built ? latestStart : built);
    result = verdict.error ? NTSKX_CERTIFICATE : NTSKX_OK;
  } else if (verdict.error && verdict.outOfPeriod && verdict.latestStart) {
    // Out of its period now: if the chain passes at a moment within it, the
    // period alone failed, and the clock may be what is wrong.
    if (JudgeChain(host, certificate, verdict.latestStart).error == 0) result = NTSKX_CERTIFICATE_PERIOD;
  }
  CertFreeCertificateContext(certificate);
  return result == NTSKX_OK ? NTSKX_OK : Fail(outcome, result, verdict.error);
}

NTSKERESULT CheckAlpn(CONNECTION* c, NTSKEOUTCOME* outcome) {
  SecPkgContext_ApplicationProtocol protocol = {};
  const SECURITY_STATUS status = QueryContextAttributesW(&c->context, SECPKG_ATTR_APPLICATION_PROTOCOL, &protocol);
  const size_t length = sizeof NTSKE_ALPN - 1;
  if (status != SEC_E_OK || protocol.ProtoNegoStatus != SecApplicationProtocolNegotiationStatus_Success ||
      protocol.ProtoNegoExt != SecApplicationProtocolNegotiationExt_ALPN || protocol.ProtocolIdSize != length ||
      memcmp(protocol.ProtocolId, NTSKE_ALPN, length) != 0)
    return Fail(outcome, NTSKX_ALPN, status);
  return NTSKX_OK;
}

// Wine's secur32 copies a provider's version-1 function table without its
// SetContextAttributesW slot and leaves that slot as uninitialised heap, so a
// call can jump anywhere (the i386 build took an illegal instruction there);
// Wine's SChannel has no exporter in any case.
// (Asked each time: a function-local static would pull in the C++ runtime's
// guarded initialisation and its unwinder, some 90 KB.)
bool RunsOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// The system's exporter, as Microsoft documents it: the label and context set on
// the finished context, then the keying material queried.
SECURITY_STATUS SystemExporter(CONNECTION* c, bool serverToClient, uint8_t key[NTS_KEY_BYTES]) {
  if (RunsOnWine()) return SEC_E_UNSUPPORTED_FUNCTION;
  char label[] = NTSKE_EXPORTER_LABEL;
  uint8_t context[NTSKE_EXPORTER_CONTEXT_BYTES];
  NtsKeExporterContext(context, serverToClient);
  SecPkgContext_KeyingMaterialInfo info = {};
  info.cbLabel = (WORD)sizeof label;   // with its NUL, which SChannel removes
  info.pszLabel = label;
  info.cbContextValue = (WORD)sizeof context;
  info.pbContextValue = context;
  info.cbKeyingMaterial = NTS_KEY_BYTES;
  SECURITY_STATUS status = SetContextAttributesW(&c->context, SECPKG_ATTR_KEYING_MATERIAL_INFO, &info, sizeof info);
  if (status != SEC_E_OK) return status;
  SecPkgContext_KeyingMaterial material = {};
  status = QueryContextAttributesW(&c->context, SECPKG_ATTR_KEYING_MATERIAL, &material);
  if (status == SEC_E_OK && (material.cbKeyingMaterial != NTS_KEY_BYTES || !material.pbKeyingMaterial))
    status = SEC_E_INTERNAL_ERROR;
  if (status == SEC_E_OK) memcpy(key, material.pbKeyingMaterial, NTS_KEY_BYTES);
  if (material.pbKeyingMaterial) {
    SecureZeroMemory(material.pbKeyingMaterial, material.cbKeyingMaterial);
    FreeContextBuffer(material.pbKeyingMaterial);
  }
  return status;
}

#if QL_NTS_KEYLOG_ROUTE
// Test builds only. Wine's SChannel has no exporter, but GnuTLS under it writes
// the connection's exporter secret to the file SSLKEYLOGFILE names (TLS 1.3
// only), and the RFC 8446 exporter gives the same keys from it.
bool FindKeyLogSecret(const CONNECTION* c, uint8_t secret[TLS_HASH_MAX_BYTES], size_t* secretLength,
                      NTSKEOUTCOME* outcome) {
  wchar_t path[MAX_PATH + 2];
  const DWORD n = GetEnvironmentVariableW(L"SSLKEYLOGFILE", path + 2, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    snprintf(outcome->note, sizeof outcome->note, "SSLKEYLOGFILE is not set: no key-log stand-in for the exporter");
    return false;
  }
  // A Unix path (GnuTLS reads the variable too) is reached through drive Z:.
  const wchar_t* name = path + 2;
  if (path[2] == L'/') {
    path[0] = L'Z';
    path[1] = L':';
    name = path;
  }
  HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    snprintf(outcome->note, sizeof outcome->note, "the file SSLKEYLOGFILE names cannot be opened");
    return false;
  }
  char line[KEYLOG_LINE_MAX_CHARS];
  size_t lineLength = 0;
  bool overlong = false, found = false;
  char block[4096];
  DWORD got = 0;
  while (!found && ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got && !found; ++i) {
      const char ch = block[i];
      if (ch == '\n') {
        if (lineLength && line[lineLength - 1] == '\r') --lineLength;
        found = !overlong && KeyLogExporterSecret(line, lineLength, c->clientRandom, secret, secretLength);
        lineLength = 0;
        overlong = false;
      } else if (lineLength < sizeof line) {
        line[lineLength++] = ch;
      } else {
        overlong = true;
      }
    }
  }
  CloseHandle(file);
  if (!found)
    snprintf(outcome->note, sizeof outcome->note,
             "no EXPORTER_SECRET line for this connection in SSLKEYLOGFILE (TLS 1.3 not negotiated?)");
  SecureZeroMemory(line, sizeof line);
  SecureZeroMemory(block, sizeof block);
  return found;
}

bool KeyLogKeys(const CONNECTION* c, NTSKEOUTCOME* outcome) {
  uint8_t secret[TLS_HASH_MAX_BYTES];
  size_t secretLength = 0;
  if (!c->haveRandom || !FindKeyLogSecret(c, secret, &secretLength, outcome)) return false;
  HASHBCRYPT state;
  TLSHASH hash;
  bool ok = OpenHashBcrypt(secretLength, &state, &hash);
  for (int direction = 0; ok && direction < 2; ++direction) {
    uint8_t context[NTSKE_EXPORTER_CONTEXT_BYTES];
    NtsKeExporterContext(context, direction == 1);
    ok = TlsExporter(&hash, secret, NTSKE_EXPORTER_LABEL, context, sizeof context,
                     direction ? outcome->s2cKey : outcome->c2sKey, NTS_KEY_BYTES);
  }
  if (secretLength) CloseHashBcrypt(&state);
  SecureZeroMemory(secret, sizeof secret);
  if (!ok) snprintf(outcome->note, sizeof outcome->note, "the exporter could not be computed from SSLKEYLOGFILE");
  return ok;
}
#endif

NTSKERESULT ExportKeys(CONNECTION* c, NTSKEOUTCOME* outcome) {
  // Where SChannel reports the version, it decides; Wine reports 0 for TLS 1.3.
  SecPkgContext_ConnectionInfo info = {};
  const bool reported = QueryContextAttributesW(&c->context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK &&
                        info.dwProtocol != 0;
  const bool tls13 = reported && (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
  if (reported && !tls13) return Fail(outcome, NTSKX_NOT_TLS13, (long)info.dwProtocol);
  SECURITY_STATUS status = SystemExporter(c, false, outcome->c2sKey);
  if (status == SEC_E_OK) status = SystemExporter(c, true, outcome->s2cKey);
  if (status == SEC_E_OK) return tls13 ? NTSKX_OK : Fail(outcome, NTSKX_NOT_TLS13, (long)info.dwProtocol);
  SecureZeroMemory(outcome->c2sKey, NTS_KEY_BYTES);
#if QL_NTS_KEYLOG_ROUTE
  // A key-log line exists for TLS 1.3 connections only: it is the proof of the version.
  if (KeyLogKeys(c, outcome)) {
    outcome->keysFromKeyLog = true;
    return NTSKX_OK;
  }
  return Fail(outcome, NTSKX_KEYLOG, status);
#else
  return Fail(outcome, NTSKX_EXPORTER, status);
#endif
}

NTSKERESULT SendRequest(CONNECTION* c, NTSKEOUTCOME* outcome) {
  SecPkgContext_StreamSizes sizes = {};
  SECURITY_STATUS status = QueryContextAttributesW(&c->context, SECPKG_ATTR_STREAM_SIZES, &sizes);
  if (status != SEC_E_OK) return Fail(outcome, NTSKX_TLS, status);
  if (sizes.cbHeader > 1024 || sizes.cbTrailer > 1024 || sizes.cbMaximumMessage < NTSKE_REQUEST_BYTES)
    return Fail(outcome, NTSKX_TLS, SEC_E_INTERNAL_ERROR);
  uint8_t record[1024 + NTSKE_REQUEST_BYTES + 1024];
  BuildNtsKeRequest(record + sizes.cbHeader);
  SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                          {NTSKE_REQUEST_BYTES, SECBUFFER_DATA, record + sizes.cbHeader},
                          {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + NTSKE_REQUEST_BYTES},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
  status = EncryptMessage(&c->context, 0, &desc, 0);
  if (status != SEC_E_OK) return Fail(outcome, NTSKX_TLS, status);
  return SendAll(c, record, (size_t)buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer, outcome);
}

// A message after the handshake (a TLS 1.3 session ticket, which SChannel
// reports as a renegotiation) goes back to the context and is otherwise ignored.
NTSKERESULT TakePostHandshake(const wchar_t* host, CONNECTION* c, NTSKEOUTCOME* outcome) {
  SecBuffer in[2] = {{(unsigned long)c->inputLength, SECBUFFER_TOKEN, c->input}, {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
  SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
  SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
  ULONG attributes = 0;
  const SECURITY_STATUS status = InitializeSecurityContextW(&c->credentials, &c->context, (SEC_WCHAR*)host,
                                                            kContextFlags, 0, 0, &inDesc, 0, nullptr, &outDesc,
                                                            &attributes, nullptr);
  if (out[1].pvBuffer) FreeContextBuffer(out[1].pvBuffer);
  if (SendToken(c, &out[0], outcome) != NTSKX_OK) return outcome->result;
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return Fail(outcome, NTSKX_TLS, status);
  KeepExtra(c, in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0);
  return NTSKX_OK;
}

NTSKERESULT ReadResponse(const wchar_t* host, CONNECTION* c, uint8_t* response, NTSKEOUTCOME* outcome) {
  size_t length = 0;
  int postHandshake = 0;
  bool needInput = c->inputLength == 0;
  for (;;) {
    if (needInput && Receive(c, outcome) != NTSKX_OK) return outcome->result;
    needInput = false;
    SecBuffer buffers[4] = {{(unsigned long)c->inputLength, SECBUFFER_DATA, c->input},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&c->context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      needInput = true;
      continue;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) return Fail(outcome, NTSKX_CLOSED, status);
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return Fail(outcome, NTSKX_TLS, status);
    const SecBuffer* data = nullptr;
    size_t extra = 0;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && !data) data = &b;
      if (b.BufferType == SECBUFFER_EXTRA) extra = b.cbBuffer;
    }
    if (data && data->cbBuffer > 0) {
      if (data->cbBuffer > RESPONSE_MAX_BYTES - length) return Fail(outcome, NTSKX_RESPONSE, NTSKE_INCOMPLETE);
      memcpy(response + length, data->pvBuffer, data->cbBuffer);
      length += data->cbBuffer;
    }
    KeepExtra(c, extra);
    if (status == SEC_I_RENEGOTIATE) {
      if (++postHandshake > POST_HANDSHAKE_MAX) return Fail(outcome, NTSKX_TLS, status);
      if (TakePostHandshake(host, c, outcome) != NTSKX_OK) return outcome->result;
    }
    const NTSKECHECK check = ParseNtsKeResponse(response, length, &outcome->response);
    if (check == NTSKE_OK)
      return NtsServerPortAllowed(outcome->response.port) ? NTSKX_OK
                                                          : Fail(outcome, NTSKX_SERVER, outcome->response.port);
    if (check != NTSKE_INCOMPLETE) return Fail(outcome, NTSKX_RESPONSE, check);
    needInput = c->inputLength == 0;
  }
}

// Tells the server the client is done (close_notify), best effort.
void SendCloseNotify(const wchar_t* host, CONNECTION* c) {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(&c->context, &controlDesc) != SEC_E_OK) return;
  SecBuffer token = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc tokenDesc = {SECBUFFER_VERSION, 1, &token};
  ULONG attributes = 0;
  InitializeSecurityContextW(&c->credentials, &c->context, (SEC_WCHAR*)host, kContextFlags, 0, 0, nullptr, 0, nullptr,
                             &tokenDesc, &attributes, nullptr);
  NTSKEOUTCOME ignored;
  SendToken(c, &token, &ignored);
}

void CloseConnection(CONNECTION* c) {
  if (c->haveContext) DeleteSecurityContext(&c->context);
  if (c->haveCredentials) FreeCredentialsHandle(&c->credentials);
  if (c->socket != INVALID_SOCKET) closesocket(c->socket);
  c->haveContext = c->haveCredentials = false;
  c->socket = INVALID_SOCKET;
}

NTSKERESULT Exchange(const wchar_t* host, uint16_t port, CONNECTION* c, uint8_t* response, NTSKEOUTCOME* outcome) {
  if (!host || !host[0]) return Fail(outcome, NTSKX_RESOLVE, WSAHOST_NOT_FOUND);
  if (Connect(host, port ? port : NTSKE_PORT, c, outcome) != NTSKX_OK) return outcome->result;
  if (AcquireTls13Credentials(c, outcome) != NTSKX_OK) return outcome->result;
  if (Handshake(host, c, outcome) != NTSKX_OK) return outcome->result;
  if (CheckCertificate(host, c, outcome) != NTSKX_OK) return outcome->result;
  if (CheckAlpn(c, outcome) != NTSKX_OK) return outcome->result;
  if (ExportKeys(c, outcome) != NTSKX_OK) return outcome->result;
  if (SendRequest(c, outcome) != NTSKX_OK) return outcome->result;
  if (ReadResponse(host, c, response, outcome) != NTSKX_OK) return outcome->result;
  SendCloseNotify(host, c);
  return Fail(outcome, NTSKX_OK, 0);
}

}  // namespace

uint64_t NtsBuildTime() {
  // Unix seconds to FILETIME's 100 ns units since 1601.
  const uint64_t epoch = (uint64_t)QL_BUILD_EPOCH;
  return epoch ? (epoch + 11644473600ULL) * 10000000ULL : 0;
}

void SetNtsCertificateClock(uint64_t (*now)()) { g_certificateNow = now ? now : SystemNow; }

NTSKERESULT RunNtsKeyExchange(const wchar_t* host, uint16_t port, uint32_t timeoutMs, NTSKEOUTCOME* outcome,
                              const CUTSIGNAL* cut) {
  memset(outcome, 0, sizeof *outcome);
  outcome->response.errorCode = -1;
  outcome->response.warningCode = -1;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail(outcome, NTSKX_SYSTEM, WSASYSNOTREADY);
  // The connection's buffers and the response's bytes: too large for a worker's stack.
  CONNECTION* c = (CONNECTION*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CONNECTION) + RESPONSE_MAX_BYTES);
  if (!c) {
    WSACleanup();
    return Fail(outcome, NTSKX_SYSTEM, ERROR_OUTOFMEMORY);
  }
  c->socket = INVALID_SOCKET;
  c->deadline = GetCounterTime() + (int64_t)timeoutMs * 10000;
  c->cut = cut;
  uint8_t* response = (uint8_t*)(c + 1);
  Exchange(host, port, c, response, outcome);
  CloseConnection(c);
  if (outcome->result != NTSKX_OK) {
    SecureZeroMemory(outcome->c2sKey, NTS_KEY_BYTES);
    SecureZeroMemory(outcome->s2cKey, NTS_KEY_BYTES);
  }
  SecureZeroMemory(c, sizeof(CONNECTION) + RESPONSE_MAX_BYTES);
  HeapFree(GetProcessHeap(), 0, c);
  WSACleanup();
  return outcome->result;
}

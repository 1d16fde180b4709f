// The test CA of with-peers (QL_NTS_CA, DER) in this Wine prefix's Root store,
// for the programs that make key exchanges with its servers: the NTS tests and
// the NTS benchmark. Windows only.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <stdlib.h>
#include <string.h>

#include <string>

// The test CA goes into this prefix's Root store, and out of it again, from a
// process of its own: under Wine 8 the process that adds a root does not see it
// in its own chains (measured).
// The child is this binary, told by QL_NTS_TRUST ("add" or "remove").
inline bool ChangeNtsTrust(const std::string& unixPath, bool add) {
  const std::string path = "Z:" + unixPath;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BYTE der[8192];
  DWORD length = 0;
  const BOOL read = ReadFile(file, der, sizeof der, &length, nullptr);
  CloseHandle(file);
  if (!read || length == 0 || length == sizeof der) return false;
  HCERTSTORE root = CertOpenSystemStoreW(0, L"Root");
  if (!root) return false;
  bool ok = false;
  if (add) {
    ok = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der, length, CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr) != FALSE;
  } else if (PCCERT_CONTEXT ca = CertCreateCertificateContext(X509_ASN_ENCODING, der, length)) {
    PCCERT_CONTEXT found = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca, nullptr);
    ok = found && CertDeleteCertificateFromStore(found);   // frees found
    CertFreeCertificateContext(ca);
  }
  CertCloseStore(root, 0);
  return ok;
}

inline const int kNtsTrustChild = [] {
  const char* task = getenv("QL_NTS_TRUST");
  if (task && getenv("QL_NTS_CA")) ExitProcess(ChangeNtsTrust(getenv("QL_NTS_CA"), strcmp(task, "add") == 0) ? 0 : 1);
  return 0;
}();

inline bool RunNtsTrustChild(const wchar_t* task) {
  (void)kNtsTrustChild;   // used, so that every binary with this header has the child's entry
  wchar_t self[MAX_PATH];
  if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return false;
  SetEnvironmentVariableW(L"QL_NTS_TRUST", task);
  STARTUPINFOW start = {};
  start.cb = sizeof start;
  PROCESS_INFORMATION child = {};
  const BOOL started = CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &child);
  SetEnvironmentVariableW(L"QL_NTS_TRUST", nullptr);
  if (!started) return false;
  DWORD code = 1;
  if (WaitForSingleObject(child.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return code == 0;
}

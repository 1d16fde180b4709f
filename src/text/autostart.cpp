#include "text/autostart.h"

#include <oleauto.h>
#include <taskschd.h>

#include "ntp/enginehooks.h"
#include "text/format.h"
#include "text/strings.h"

namespace {

void ForwardToLogBox(const wch* line) {
  if (g_engineHooks.appendLog) g_engineHooks.appendLog(line);
}

#define ID_TASK_FAILED 145   // its "%s" are the task's name and the failure code

void ReportFailure(const wchar_t* name, HRESULT hr) {
  if (!g_autostartLog) return;
  wchar_t code[16];
  wsprintfW(code, L"0x%08lX", (unsigned long)hr);
  const wch* args[] = {name, code};
  // The format may come from the INI file: only its "%s" are filled in.
  wch line[STRING_CHARS + 64];
  const unsigned long len = FormatText(line, STRING_CHARS + 64 - 2, Str(ID_TASK_FAILED), args, 2);
  WCopy(line + len, 3, L"\r\n");
  g_autostartLog(line);
}

// Systems before Vista have no Task Scheduler 2.0; the Run value starts the program there.
bool NoTaskScheduler(HRESULT hr) { return hr == REGDB_E_CLASSNOTREG; }

// The connected service's root folder; the caller releases both interfaces.
HRESULT OpenRootFolder(ITaskService** service, ITaskFolder** folder) {
  *service = nullptr;
  *folder = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService, (void**)service);
  if (FAILED(hr)) return hr;
  VARIANT none;
  VariantInit(&none);
  hr = (*service)->Connect(none, none, none, none);
  if (SUCCEEDED(hr)) {
    BSTR root = SysAllocString(L"\\");
    hr = root ? (*service)->GetFolder(root, folder) : E_OUTOFMEMORY;
    SysFreeString(root);
  }
  if (FAILED(hr)) {
    (*service)->Release();
    *service = nullptr;
  }
  return hr;
}

// A thread already in another apartment can still make the calls.
bool ComUsable(HRESULT init) { return SUCCEEDED(init) || init == RPC_E_CHANGED_MODE; }

}  // namespace

void (*g_autostartLog)(const wch* line) = ForwardToLogBox;

namespace {

// COM for this call only, around one action on the root folder: the interface
// thread does not keep COM initialised.
HRESULT InRootFolder(HRESULT (*action)(ITaskFolder* folder, const wchar_t* name, const wchar_t* xml),
                     const wchar_t* name, const wchar_t* xml) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (!ComUsable(init)) return init;
  ITaskService* service = nullptr;
  ITaskFolder* folder = nullptr;
  HRESULT hr = OpenRootFolder(&service, &folder);
  if (SUCCEEDED(hr)) {
    hr = action(folder, name, xml);
    folder->Release();
    service->Release();
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return hr;
}

HRESULT Register(ITaskFolder* folder, const wchar_t* taskName, const wchar_t* xml) {
  BSTR name = SysAllocString(taskName);
  BSTR text = SysAllocString(xml ? xml : L"");
  VARIANT none, group;
  VariantInit(&none);
  VariantInit(&group);
  group.vt = VT_BSTR;
  group.bstrVal = SysAllocString(L"S-1-5-32-545");   // the definition's group
  IRegisteredTask* task = nullptr;
  HRESULT hr = E_OUTOFMEMORY;
  if (name && text && group.bstrVal)
    hr = folder->RegisterTask(name, text, TASK_CREATE_OR_UPDATE, group, none, TASK_LOGON_GROUP, none, &task);
  if (task) task->Release();
  VariantClear(&group);
  SysFreeString(text);
  SysFreeString(name);
  return hr;
}

HRESULT Delete(ITaskFolder* folder, const wchar_t* taskName, const wchar_t*) {
  BSTR name = SysAllocString(taskName);
  const HRESULT hr = name ? folder->DeleteTask(name, 0) : E_OUTOFMEMORY;
  SysFreeString(name);
  return hr;
}

}  // namespace

HRESULT RegisterAutostartTask(const wchar_t* name, const wchar_t* xml) {
  const HRESULT hr = InRootFolder(Register, name, xml);
  if (FAILED(hr) && NoTaskScheduler(hr)) return S_FALSE;
  if (FAILED(hr)) ReportFailure(name, hr);
  return hr;
}

HRESULT DeleteAutostartTask(const wchar_t* name) {
  const HRESULT hr = InRootFolder(Delete, name, nullptr);
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
      NoTaskScheduler(hr))
    return S_FALSE;
  if (FAILED(hr)) ReportFailure(name, hr);
  return hr;
}

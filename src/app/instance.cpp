#include "app/instance.h"

#include "app/appstate.h"
#include "app/ids.h"

// Asks a running first instance to show its window. Only a record whose window
// still belongs to the recorded process is trusted: a stale one is ignored.
static void HandOver(HANDLE mapping) {
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(INSTANCEINFO));
  if (!view) return;
  INSTANCEINFO info;
  CopyMemory(&info, view, sizeof info);
  UnmapViewOfFile(view);
  if (!info.window) return;
  HWND window = (HWND)(uintptr_t)info.window;
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == 0 || owner != info.processId) return;
  // Windows lets only the foreground process hand the foreground on: without
  // this the first instance's SetForegroundWindow merely flashes its button.
  AllowSetForegroundWindow(info.processId);
  PostMessageW(window, WM_HANDOFF, 0, 0);
}

int CheckSingleInstance(int handOver) {
  HANDLE existing = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, INSTANCE_MAPPING_NAME);
  if (existing) {
    if (handOver) HandOver(existing);
    CloseHandle(existing);
    return 0;
  }
  g_app.instanceMutex = CreateMutexW(nullptr, FALSE, INSTANCE_MUTEX_NAME);
  if (!g_app.instanceMutex) return 0;
  // Two starts at the same moment both miss the record; only the one that made
  // the mutex goes on, so two instances never run side by side.
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(g_app.instanceMutex);
    g_app.instanceMutex = nullptr;
    return 0;
  }
  // Without the record the program still runs; a later start then finds nothing to hand over to.
  g_app.instanceMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                             sizeof(INSTANCEINFO), INSTANCE_MAPPING_NAME);
  if (g_app.instanceMapping) {
    g_app.instanceView = MapViewOfFile(g_app.instanceMapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(INSTANCEINFO));
    if (g_app.instanceView) {
      INSTANCEINFO* info = (INSTANCEINFO*)g_app.instanceView;
      info->processId = GetCurrentProcessId();
      info->reserved = 0;
      info->window = 0;
    }
  }
  return 1;
}

void PublishInstanceWindow(HWND window) {
  if (g_app.instanceView) ((INSTANCEINFO*)g_app.instanceView)->window = (uint64_t)(uintptr_t)window;
}

void ReleaseSingleInstance() {
  if (g_app.instanceView) UnmapViewOfFile(g_app.instanceView);
  g_app.instanceView = nullptr;
  if (g_app.instanceMapping) CloseHandle(g_app.instanceMapping);
  g_app.instanceMapping = nullptr;
  if (g_app.instanceMutex) {
    ReleaseMutex(g_app.instanceMutex);
    CloseHandle(g_app.instanceMutex);
  }
  g_app.instanceMutex = nullptr;
}

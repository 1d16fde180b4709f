// The main window: its descriptor's start-up values, its class, creation steps
// and message routing.
#pragma once
#include <windows.h>

#include "ui/base.h"

// Start-up values of the main window descriptor (title, class, style, icons,
// minimum size, background, procedure).
void FillMainDescriptor(HINSTANCE instance);

// 1 when the class is registered (or already was).
int RegisterMainClass(const WINDOWDESC* desc);
HWND CreateMainWindow(WINDOWDESC* desc);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The engine's hooks on the log box and the result list.
void PlugEngineHooks();

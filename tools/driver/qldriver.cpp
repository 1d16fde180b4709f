// qldriver: reads and drives a running Quorlin window from another process, for
// the black-box tests. Build it with the bitness of the program it reads: list
// cells and header titles are read through memory placed in the target process.
//
//   qldriver STEP [ARGS...] [-- STEP [ARGS...]]...
//
// Steps run in order in one process, so a slow start (the i386 build runs under
// qemu) is paid once. Steps:
//   wait-window MS          until the main window and its controls exist
//   wait-exists MS          until a main window exists, shown or hidden
//   wait-visible MS         until the main window is visible
//   wait-dialog MS          until a message box (#32770) is open
//   wait-gone MS            until no main window is left
//   wait-button TEXT MS     until a visible, enabled button with that text exists
//   wait-exit PID MS        until Windows process PID ends; prints its exit code
//   wait-hidden MS          until a main window exists and is hidden
//   wait-no-dialog MS       until no message box of the program is open
//   wait-enabled TARGET 0|1 MS  until TARGET is disabled (0) or enabled (1)
//   text TARGET             its window text, with the tick count of the reading
//   watch-text TARGET MS    its window text, read without pause until the window is
//                           gone or MS have passed (waiting for TARGET to exist
//                           first); each change printed as by text
//   close-item              the state of the close item in the main window's system
//                           menu, read inside the program by qlmenuprobe.dll
//   windows CLASS           every window, top-level or child, of every process
//                           whose class name contains CLASS (ignoring case)
//   dump                    everything below, one record per line
//   metrics                 "O" metrics of the interface font, unit, clock extent
//   click TARGET            BM_CLICK (sent)
//   select TARGET INDEX     CB_SETCURSEL, then WM_COMMAND CBN_SELCHANGE to the parent
//   settext TARGET TEXT     WM_SETTEXT (sent)
//   notify TARGET CODE      WM_COMMAND with notification CODE to the parent (sent)
//   dialog                  the open message box: its text and buttons
//   reg VIEW KEY [VALUE]    a string value under HKEY_LOCAL_MACHINE\KEY in the 64- or
//                           32-bit registry view (VIEW 64 or 32); no VALUE: the default
//   post TARGET MSG [W [L]] PostMessageW
//   send TARGET MSG [W [L]] SendMessageTimeoutW; prints the result
//   sleep MS
//   trust-root PATH         adds the DER certificate at PATH (a Unix path) to this
//                           prefix's Root store, for a scenario's test CA
//   count-main              number of top-level windows of the main class
//   fits                    each visible control's texts: extent in its font, room
// TARGET: "main", a handle ("0x1234"), "button:TEXT" (first visible button with
// that text), "ctl:N" (N-th window of the dump's tree order), "child:CLASS" (the
// main window's first child of that class) or "dlgitem:ID" (the control ID of the
// open message box, e.g. 6 for Yes, 7 for No).
//
// Output: UTF-8 lines, a record kind then tab-separated key=value fields; text
// values are escaped (\\ \t \n \r) so that a record never spans lines, and the
// field "text" always comes last. The last line is "end ok" or "end error WHY",
// and the exit code is 0 only for "end ok".
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "catrust.h"

namespace {

const wchar_t kMainClass[] = L"Quorlin";
const wchar_t kMappingName[] = L"Quorlin";
const wchar_t kMutexName[] = L"Quorlin- 时间同步工具";
const wchar_t kClockSample[] = L"00-00-00       00:00:00";
const int kControlsExpected = 20;   // nineteen made by the window, plus the list header

std::string g_out;

void Flush() {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), g_out.data(), (DWORD)g_out.size(), &written, nullptr);
  g_out.clear();
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
  std::string s((size_t)n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
  return s;
}

std::string Escape(const std::wstring& w) {
  std::string s = Utf8(w), r;
  for (char c : s) {
    if (c == '\\') r += "\\\\";
    else if (c == '\t') r += "\\t";
    else if (c == '\n') r += "\\n";
    else if (c == '\r') r += "\\r";
    else r += c;
  }
  return r;
}

std::string Fmt(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  _vsnprintf(buf, sizeof buf - 1, f, ap);
  va_end(ap);
  buf[sizeof buf - 1] = 0;
  return buf;
}

std::string Hwnd(HWND h) { return Fmt("0x%llx", (unsigned long long)(ULONG_PTR)h); }
std::string Rect(const RECT& r) { return Fmt("%ld,%ld,%ld,%ld", r.left, r.top, r.right, r.bottom); }

void Line(const std::string& kind, const std::string& fields) {
  g_out += kind;
  if (!fields.empty()) g_out += "\t" + fields;
  g_out += "\n";
}

std::wstring ClassOf(HWND h) {
  wchar_t c[256] = {};
  GetClassNameW(h, c, 255);
  return c;
}

std::wstring TextOf(HWND h) {
  DWORD_PTR len = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &len)) return std::wstring();
  std::vector<wchar_t> buf(len + 2, 0);
  DWORD_PTR got = 0;
  SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), (LPARAM)buf.data(), SMTO_ABORTIFHUNG, 5000, &got);
  return std::wstring(buf.data());
}

LRESULT Send(HWND h, UINT m, WPARAM w, LPARAM l) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(h, m, w, l, SMTO_ABORTIFHUNG, 5000, &r)) return -1;
  return (LRESULT)r;
}

// Rectangle of a window in its parent's client coordinates.
RECT RectInParent(HWND h) {
  RECT r = {};
  GetWindowRect(h, &r);
  HWND parent = GetParent(h);
  MapWindowPoints(nullptr, parent, (POINT*)&r, 2);
  return r;
}

HWND FindMain() { return FindWindowW(kMainClass, nullptr); }

// The message box the program opens: a top-level dialog of the main window's process.
HWND FindDialog() {
  HWND main = FindMain();
  DWORD pid = 0;
  if (main) GetWindowThreadProcessId(main, &pid);
  for (HWND h = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); h;
       h = FindWindowExW(nullptr, h, L"#32770", nullptr)) {
    DWORD p = 0;
    GetWindowThreadProcessId(h, &p);
    if (pid && p == pid && IsWindowVisible(h)) return h;
  }
  return nullptr;
}

struct Node {
  HWND h;
  int parent;   // index in the tree, -1 for the main window
  int depth;
};

void Collect(HWND h, int parentIndex, int depth, std::vector<Node>* out) {
  int me = (int)out->size();
  out->push_back({h, parentIndex, depth});
  for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) Collect(c, me, depth + 1, out);
}

std::vector<Node> Tree(HWND main) {
  std::vector<Node> nodes;
  if (main) Collect(main, -1, 0, &nodes);
  return nodes;
}

// Memory in the target process for one structure and a text buffer behind it.
struct Remote {
  HANDLE process = nullptr;
  char* base = nullptr;
  SIZE_T size = 0;
  bool Open(HWND h, SIZE_T bytes) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                          FALSE, pid);
    if (!process) return false;
    base = (char*)VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    size = bytes;
    return base != nullptr;
  }
  bool Write(SIZE_T at, const void* p, SIZE_T n) {
    SIZE_T done = 0;
    return WriteProcessMemory(process, base + at, p, n, &done) && done == n;
  }
  bool Read(SIZE_T at, void* p, SIZE_T n) {
    SIZE_T done = 0;
    return ReadProcessMemory(process, base + at, p, n, &done) && done == n;
  }
  ~Remote() {
    if (base) VirtualFreeEx(process, base, 0, MEM_RELEASE);
    if (process) CloseHandle(process);
  }
};

const SIZE_T kTextChars = 512;
const SIZE_T kTextAt = 1024;   // the text buffer's place behind the structure

std::wstring RemoteCell(Remote* m, HWND list, int row, int col) {
  LVITEMW item = {};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.iSubItem = col;
  item.pszText = (wchar_t*)(m->base + kTextAt);
  item.cchTextMax = (int)kTextChars;
  wchar_t zero[kTextChars] = {};
  if (!m->Write(kTextAt, zero, sizeof zero) || !m->Write(0, &item, sizeof item)) return L"";
  Send(list, LVM_GETITEMTEXTW, (WPARAM)row, (LPARAM)m->base);
  wchar_t text[kTextChars] = {};
  m->Read(kTextAt, text, sizeof text);
  text[kTextChars - 1] = 0;
  return text;
}

bool RemoteSubItemRect(Remote* m, HWND list, int row, int col, RECT* out) {
  RECT r = {};
  r.top = col;
  r.left = LVIR_LABEL;
  if (!m->Write(0, &r, sizeof r)) return false;
  if (Send(list, LVM_GETSUBITEMRECT, (WPARAM)row, (LPARAM)m->base) <= 0) return false;
  return m->Read(0, out, sizeof *out);
}

bool RemoteHeaderItem(Remote* m, HWND header, int index, HDITEMW* out, std::wstring* title) {
  HDITEMW item = {};
  item.mask = HDI_TEXT | HDI_WIDTH | HDI_FORMAT;
  item.pszText = (wchar_t*)(m->base + kTextAt);
  item.cchTextMax = (int)kTextChars;
  wchar_t zero[kTextChars] = {};
  if (!m->Write(kTextAt, zero, sizeof zero) || !m->Write(0, &item, sizeof item)) return false;
  if (!Send(header, HDM_GETITEMW, (WPARAM)index, (LPARAM)m->base)) return false;
  m->Read(0, out, sizeof *out);
  wchar_t text[kTextChars] = {};
  m->Read(kTextAt, text, sizeof text);
  text[kTextChars - 1] = 0;
  *title = text;
  return true;
}

void DumpList(int index, HWND list) {
  int rows = (int)Send(list, LVM_GETITEMCOUNT, 0, 0);
  HWND header = (HWND)Send(list, LVM_GETHEADER, 0, 0);
  int cols = header ? (int)Send(header, HDM_GETITEMCOUNT, 0, 0) : 0;
  Line("list", Fmt("i=%d\trows=%d\tcols=%d\theader=%s\textstyle=0x%lx", index, rows, cols, Hwnd(header).c_str(),
                   (unsigned long)Send(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0)));
  Remote m;
  bool remote = m.Open(list, 4096);
  if (!remote) Line("warning", "what=no memory in the target; cells and titles not read");
  for (int c = 0; c < cols && remote; c++) {
    HDITEMW item = {};
    std::wstring title;
    if (RemoteHeaderItem(&m, header, c, &item, &title)) {
      int width = (int)Send(list, LVM_GETCOLUMNWIDTH, (WPARAM)c, 0);
      Line("column", Fmt("i=%d\tn=%d\twidth=%d\tfmt=0x%x\t", index, c, width, item.fmt) + "text=" + Escape(title));
    }
  }
  HFONT font = (HFONT)Send(list, WM_GETFONT, 0, 0);
  (void)font;
  for (int r = 0; r < rows && remote; r++) {
    RECT label = {};
    if (RemoteSubItemRect(&m, list, r, 0, &label)) Line("rowrect", Fmt("i=%d\tr=%d\trect=", index, r) + Rect(label));
    for (int c = 0; c < cols; c++) {
      Line("cell", Fmt("i=%d\tr=%d\tc=%d\t", index, r, c) + "text=" + Escape(RemoteCell(&m, list, r, c)));
    }
  }
}

void DumpCombo(int index, HWND combo) {
  int count = (int)Send(combo, CB_GETCOUNT, 0, 0);
  int sel = (int)Send(combo, CB_GETCURSEL, 0, 0);
  Line("combo", Fmt("i=%d\tcount=%d\tsel=%d", index, count, sel));
  for (int n = 0; n < count; n++) {
    int len = (int)Send(combo, CB_GETLBTEXTLEN, (WPARAM)n, 0);
    std::vector<wchar_t> buf((size_t)(len > 0 ? len : 0) + 2, 0);
    if (len >= 0) Send(combo, CB_GETLBTEXT, (WPARAM)n, (LPARAM)buf.data());
    Line("item", Fmt("i=%d\tn=%d\t", index, n) + "text=" + Escape(buf.data()));
  }
}

HFONT ClockFont(HFONT gui, int unit) {
  LOGFONTW lf = {};
  GetObjectW(gui, sizeof lf, &lf);
  lf.lfWeight = 600;
  lf.lfHeight = 4 * unit;
  return CreateFontIndirectW(&lf);
}

SIZE Extent(HDC dc, HFONT font, const wchar_t* text) {
  SIZE s = {};
  HGDIOBJ old = SelectObject(dc, font);
  GetTextExtentPoint32W(dc, text, lstrlenW(text), &s);
  SelectObject(dc, old);
  return s;
}

void Metrics(HWND main) {
  HFONT gui = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
  HDC dc = GetDC(nullptr);
  SIZE o = Extent(dc, gui, L"O");
  int unit = o.cy / 3;
  HFONT clock = ClockFont(gui, unit);
  HDC wdc = main ? GetDC(main) : nullptr;
  SIZE e = Extent(wdc ? wdc : dc, clock, kClockSample);
  if (wdc) ReleaseDC(main, wdc);
  DeleteObject(clock);
  ReleaseDC(nullptr, dc);
  RECT work = {};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  TIME_ZONE_INFORMATION tz = {};
  GetTimeZoneInformation(&tz);
  Line("metrics", Fmt("cw=%ld\tch=%ld\tunit=%d\tclockw=%ld\tclockh=%ld\twork=%s\tbias=%ld", o.cx, o.cy, unit, e.cx,
                      e.cy, Rect(work).c_str(), tz.Bias));
}

// Extent of a text in the interface font, for the geometry that depends on it.
void MeasureGui(const wchar_t* text) {
  HDC dc = GetDC(nullptr);
  SIZE s = Extent(dc, (HFONT)GetStockObject(DEFAULT_GUI_FONT), text);
  ReleaseDC(nullptr, dc);
  Line("extent", Fmt("w=%ld\th=%ld\t", s.cx, s.cy) + "text=" + Escape(text));
}

void DumpInstance() {
  HANDLE map = OpenFileMappingW(FILE_MAP_READ, FALSE, kMappingName);
  if (!map) {
    Line("shm", "present=0");
  } else {
    const unsigned char* view = (const unsigned char*)MapViewOfFile(map, FILE_MAP_READ, 0, 0, 16);
    if (!view) {
      Line("shm", "present=1\tmapped=0");
    } else {
      unsigned int pid, reserved;
      unsigned long long window;
      memcpy(&pid, view, 4);
      memcpy(&reserved, view + 4, 4);
      memcpy(&window, view + 8, 8);
      Line("shm", Fmt("present=1\tmapped=1\tpid=%u\treserved=%u\twindow=0x%llx", pid, reserved, window));
      UnmapViewOfFile(view);
    }
    CloseHandle(map);
  }
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kMutexName);
  Line("mutex", Fmt("present=%d", mutex ? 1 : 0));
  if (mutex) CloseHandle(mutex);
}

int CountMain() {
  int n = 0;
  for (HWND h = GetTopWindow(nullptr); h; h = GetWindow(h, GW_HWNDNEXT)) {
    if (ClassOf(h) == kMainClass) n++;
  }
  return n;
}

bool Dump() {
  HWND main = FindMain();
  DumpInstance();
  Line("mains", Fmt("count=%d", CountMain()));
  if (!main) {
    Line("main", "found=0");
    return false;
  }
  Metrics(main);
  DWORD pid = 0;
  GetWindowThreadProcessId(main, &pid);
  RECT client = {};
  GetClientRect(main, &client);
  RECT outer = {};
  GetWindowRect(main, &outer);
  POINT origin = {0, 0};   // the client area's top left on the screen, for screenshots
  ClientToScreen(main, &origin);
  Line("main", Fmt("found=1\thwnd=%s\tpid=%lu\tclass=", Hwnd(main).c_str(), pid) + Escape(ClassOf(main)) +
                   Fmt("\tstyle=0x%lx\texstyle=0x%lx\tvisible=%d\tenabled=%d\tminimized=%d\twindow=%s\tclient=%s\t"
                       "origin=%ld,%ld\t",
                       (unsigned long)GetWindowLongPtrW(main, GWL_STYLE),
                       (unsigned long)GetWindowLongPtrW(main, GWL_EXSTYLE), IsWindowVisible(main) ? 1 : 0,
                       IsWindowEnabled(main) ? 1 : 0, IsIconic(main) ? 1 : 0, Rect(outer).c_str(),
                       Rect(client).c_str(), origin.x, origin.y) +
                   "text=" + Escape(TextOf(main)));
  std::vector<Node> nodes = Tree(main);
  for (size_t i = 1; i < nodes.size(); i++) {
    HWND h = nodes[i].h;
    std::wstring cls = ClassOf(h);
    std::string fields =
        Fmt("i=%d\tparent=%d\tdepth=%d\thwnd=%s\tclass=", (int)i, nodes[i].parent, nodes[i].depth, Hwnd(h).c_str()) +
        Escape(cls) +
        Fmt("\tid=%ld\tstyle=0x%lx\texstyle=0x%lx\tvisible=%d\tenabled=%d\trect=%s", (long)GetWindowLongPtrW(h, GWLP_ID),
            (unsigned long)GetWindowLongPtrW(h, GWL_STYLE), (unsigned long)GetWindowLongPtrW(h, GWL_EXSTYLE),
            IsWindowVisible(h) ? 1 : 0, IsWindowEnabled(h) ? 1 : 0, Rect(RectInParent(h)).c_str());
    if (lstrcmpiW(cls.c_str(), L"Button") == 0) fields += Fmt("\tcheck=%d", (int)Send(h, BM_GETCHECK, 0, 0));
    Line("win", fields + "\ttext=" + Escape(TextOf(h)));
  }
  for (size_t i = 1; i < nodes.size(); i++) {
    std::wstring cls = ClassOf(nodes[i].h);
    if (lstrcmpiW(cls.c_str(), L"ComboBox") == 0) DumpCombo((int)i, nodes[i].h);
    if (lstrcmpiW(cls.c_str(), WC_LISTVIEWW) == 0) DumpList((int)i, nodes[i].h);
  }
  return true;
}

// The window exists and carries its controls, the list filled with its rows.
bool Ready(HWND main) {
  if (!main) return false;
  std::vector<Node> nodes = Tree(main);
  int direct = 0;
  HWND list = nullptr;
  for (const Node& n : nodes) {
    if (n.parent == 0) direct++;
    if (lstrcmpiW(ClassOf(n.h).c_str(), WC_LISTVIEWW) == 0) list = n.h;
  }
  if (direct < 17 || !list) return false;
  HWND status = nullptr;   // the last label written at creation is the status line
  for (const Node& n : nodes) {
    if (n.parent == 0 && lstrcmpiW(ClassOf(n.h).c_str(), L"Static") == 0) status = n.h;
  }
  (void)status;
  return Send(list, LVM_GETITEMCOUNT, 0, 0) >= 10 && IsWindowVisible(main);
}

HWND Resolve(const std::wstring& target) {
  HWND main = FindMain();
  if (target == L"main") return main;
  if (target.compare(0, 2, L"0x") == 0) return (HWND)(ULONG_PTR)wcstoull(target.c_str() + 2, nullptr, 16);
  std::vector<Node> nodes = Tree(main);
  if (target.compare(0, 4, L"ctl:") == 0) {
    size_t n = (size_t)_wtoi(target.c_str() + 4);
    return n < nodes.size() ? nodes[n].h : nullptr;
  }
  if (target.compare(0, 6, L"child:") == 0) {
    for (const Node& n : nodes)
      if (n.parent == 0 && lstrcmpiW(ClassOf(n.h).c_str(), target.c_str() + 6) == 0) return n.h;
    return nullptr;
  }
  if (target.compare(0, 8, L"dlgitem:") == 0) {
    HWND dlg = FindDialog();
    return dlg ? GetDlgItem(dlg, _wtoi(target.c_str() + 8)) : nullptr;
  }
  if (target.compare(0, 7, L"button:") == 0) {
    std::wstring text = target.substr(7);
    for (const Node& n : nodes) {
      if (lstrcmpiW(ClassOf(n.h).c_str(), L"Button") == 0 && IsWindowVisible(n.h) && TextOf(n.h) == text) return n.h;
    }
  }
  return nullptr;
}

// Every window of the desktop, top-level windows and their descendants.
void AllWindows(HWND parent, std::vector<HWND>* out) {
  for (HWND h = parent ? GetWindow(parent, GW_CHILD) : GetTopWindow(nullptr); h; h = GetWindow(h, GW_HWNDNEXT)) {
    out->push_back(h);
    AllWindows(h, out);
  }
}

void ListWindows(const std::wstring& part) {
  std::vector<HWND> all;
  AllWindows(nullptr, &all);
  std::wstring want = part;
  CharLowerW(&want[0]);
  int n = 0;
  for (HWND h : all) {
    std::wstring cls = ClassOf(h);
    CharLowerW(&cls[0]);
    if (cls.find(want) == std::wstring::npos) continue;
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    RECT r = {};
    GetWindowRect(h, &r);
    Line("window", Fmt("hwnd=%s	parent=%s	pid=%lu	visible=%d	rect=%s	class=", Hwnd(h).c_str(),
                       Hwnd(GetAncestor(h, GA_PARENT)).c_str(), pid, IsWindowVisible(h) ? 1 : 0, Rect(r).c_str()) +
                       Escape(ClassOf(h)) + "	text=" + Escape(TextOf(h)));
    n++;
  }
  Line("windows", Fmt("count=%d	", n) + "text=" + Escape(part));
}

// Runs fn(arg) on a new thread of the process and waits for it; its exit code.
bool RemoteCall(HANDLE process, const void* fn, const void* arg, DWORD* code) {
  HANDLE t = CreateRemoteThread(process, nullptr, 0, (LPTHREAD_START_ROUTINE)fn, (LPVOID)arg, 0, nullptr);
  if (!t) return false;
  bool ended = WaitForSingleObject(t, 10000) == WAIT_OBJECT_0 && GetExitCodeThread(t, code);
  CloseHandle(t);
  return ended;
}

// The close item's state, read by qlmenuprobe.dll loaded into the program for the
// time of the call: the DLL beside the driver is loaded here too, to find the
// procedure's offset in it, and in the program, where its base is looked up.
std::string CloseItem(HWND main, DWORD* state) {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH - 32);
  wchar_t* slash = wcsrchr(path, L'\\');
  if (!n || !slash) return "no driver path";
  wcscpy(slash + 1, L"qlmenuprobe.dll");
  HMODULE local = LoadLibraryW(path);
  const char* fn = local ? (const char*)GetProcAddress(local, "CloseItemState") : nullptr;
  if (!fn) return "qlmenuprobe.dll not loaded";
  DWORD pid = 0;
  GetWindowThreadProcessId(main, &pid);
  HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                               PROCESS_QUERY_INFORMATION, FALSE, pid);
  std::string why;
  HMODULE remote = nullptr;
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  void* text = process ? VirtualAllocEx(process, nullptr, sizeof path, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                       : nullptr;
  DWORD code = 0;
  if (!text || !WriteProcessMemory(process, text, path, sizeof path, nullptr)) {
    why = "no memory in the program";
  } else if (!RemoteCall(process, (const void*)GetProcAddress(kernel, "LoadLibraryW"), text, &code) || !code) {
    why = "qlmenuprobe.dll not loaded in the program";
  } else {
    HMODULE mods[1024];
    DWORD bytes = 0;
    if (EnumProcessModules(process, mods, sizeof mods, &bytes)) {
      for (DWORD i = 0; i < bytes / sizeof mods[0] && i < 1024; i++) {
        wchar_t name[MAX_PATH] = {};
        if (GetModuleBaseNameW(process, mods[i], name, MAX_PATH) && lstrcmpiW(name, L"qlmenuprobe.dll") == 0)
          remote = mods[i];
      }
    }
    if (!remote) why = "qlmenuprobe.dll not among the program's modules";
    else if (!RemoteCall(process, (const char*)remote + (fn - (const char*)local), main, state))
      why = "the probe did not return";
    if (remote) RemoteCall(process, (const void*)GetProcAddress(kernel, "FreeLibrary"), remote, &code);
  }
  if (text) VirtualFreeEx(process, text, 0, MEM_RELEASE);
  if (process) CloseHandle(process);
  FreeLibrary(local);
  return why;
}

bool VisibleEnabledButton(const std::wstring& text) {
  for (const Node& n : Tree(FindMain())) {
    if (lstrcmpiW(ClassOf(n.h).c_str(), L"Button") == 0 && IsWindowVisible(n.h) && IsWindowEnabled(n.h) &&
        TextOf(n.h) == text)
      return true;
  }
  return false;
}

unsigned long long Number(const wchar_t* s) { return wcstoull(s, nullptr, 0); }

// A control's notification as the control itself sends it: WM_COMMAND to its parent.
void NotifyParent(HWND control, WORD code) {
  Send(GetParent(control), WM_COMMAND, MAKEWPARAM(GetWindowLongPtrW(control, GWLP_ID), code), (LPARAM)control);
}

template <typename Pred>
bool WaitFor(DWORD ms, Pred pred) {
  DWORD start = GetTickCount();
  for (;;) {
    if (pred()) return true;
    if (GetTickCount() - start >= ms) return false;
    Sleep(100);
  }
}


// ---- fits: whether each control's text fits its rectangle ---------------------
// One "fit" record per text: its extent in the control's font and the room the
// control gives it; the caller decides on the margins of each kind. A font
// handle of another process means nothing here, so the handle that most
// controls carry is taken as the interface font and any other one as the clock
// font, both rebuilt as the program makes them (font=gui, font=clock). Wine
// does not carry WM_GETFONT's answer across processes (it reads 0): the
// interface font, which the program gives every control but the clock label,
// is then assumed (font=assumed).

HFONT FontFor(HFONT theirs, HFONT common, HFONT gui, HFONT clock, const char** how) {
  if (!theirs) {
    *how = "assumed";
    return gui;
  }
  if (theirs == common) {
    *how = "gui";
    return gui;
  }
  *how = "clock";
  return clock;
}

void FitLine(int index, const char* kind, int n, HFONT font, const char* how, HFONT theirs, const std::wstring& text,
             long room, long roomHeight) {
  HDC dc = GetDC(nullptr);
  SIZE e = Extent(dc, font, text.c_str());
  ReleaseDC(nullptr, dc);
  Line("fit", Fmt("i=%d\twhat=%s\tn=%d\tfont=%s\thandle=%s\tw=%ld\th=%ld\troom=%ld\troomh=%ld\t", index, kind, n, how,
                  Hwnd((HWND)theirs).c_str(), e.cx, e.cy, room, roomHeight) +
                  "text=" + Escape(text));
}

void Fits() {
  HWND main = FindMain();
  std::vector<Node> nodes = Tree(main);
  Line("fitmetrics", Fmt("check=%d\tvscroll=%d\tedge=%d", GetSystemMetrics(SM_CXMENUCHECK),
                         GetSystemMetrics(SM_CXVSCROLL), GetSystemMetrics(SM_CXEDGE)));
  std::vector<HFONT> handles;
  for (size_t i = 1; i < nodes.size(); i++) handles.push_back((HFONT)SendMessageW(nodes[i].h, WM_GETFONT, 0, 0));
  HFONT common = nullptr;
  size_t best = 0;
  for (HFONT f : handles) {
    size_t n = 0;
    for (HFONT g : handles) n += g == f;
    if (f && n > best) best = n, common = f;
  }
  HFONT gui = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
  HDC screen = GetDC(nullptr);
  const int unit = Extent(screen, gui, L"O").cy / 3;
  ReleaseDC(nullptr, screen);
  HFONT clock = ClockFont(gui, unit);
  for (size_t i = 1; i < nodes.size(); i++) {
    HWND h = nodes[i].h;
    if (!IsWindowVisible(h)) continue;
    const std::wstring cls = ClassOf(h);
    RECT client = {};
    GetClientRect(h, &client);
    const char* how = "";
    HFONT font = FontFor(handles[i - 1], common, gui, clock, &how);
    const long style = (long)GetWindowLongPtrW(h, GWL_STYLE);
    if (lstrcmpiW(cls.c_str(), L"Static") == 0) {
      FitLine((int)i, "static", 0, font, how, handles[i - 1], TextOf(h), client.right, client.bottom);
    } else if (lstrcmpiW(cls.c_str(), L"Button") == 0) {
      const long type = style & BS_TYPEMASK;
      const char* kind = type == BS_GROUPBOX ? "group"
                         : (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) ? "check"
                                                                              : "push";
      FitLine((int)i, kind, 0, font, how, handles[i - 1], TextOf(h), client.right, client.bottom);
    } else if (lstrcmpiW(cls.c_str(), L"ComboBox") == 0) {
      const int count = (int)Send(h, CB_GETCOUNT, 0, 0);
      for (int n = 0; n < count; n++) {
        int len = (int)Send(h, CB_GETLBTEXTLEN, (WPARAM)n, 0);
        std::vector<wchar_t> buf((size_t)(len > 0 ? len : 0) + 2, 0);
        if (len >= 0) Send(h, CB_GETLBTEXT, (WPARAM)n, (LPARAM)buf.data());
        FitLine((int)i, "item", n, font, how, handles[i - 1], buf.data(), client.right, client.bottom);
      }
    } else if (lstrcmpiW(cls.c_str(), WC_HEADERW) == 0) {
      Remote m;
      if (!m.Open(h, 4096)) continue;
      const int cols = (int)Send(h, HDM_GETITEMCOUNT, 0, 0);
      for (int c = 0; c < cols; c++) {
        HDITEMW item = {};
        std::wstring title;
        if (RemoteHeaderItem(&m, h, c, &item, &title))
          FitLine((int)i, "column", c, font, how, handles[i - 1], title, item.cxy, client.bottom);
      }
    }
  }
  DeleteObject(clock);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::vector<std::wstring>> steps(1);
  for (int i = 1; i < argc; i++) {
    if (wcscmp(argv[i], L"--") == 0) steps.emplace_back();
    else steps.back().push_back(argv[i]);
  }
  std::string error;
  for (const auto& s : steps) {
    if (s.empty()) continue;
    const std::wstring& op = s[0];
    auto arg = [&](size_t n) { return n < s.size() ? s[n].c_str() : L""; };
    DWORD t = GetTickCount();
    if (op == L"wait-window") {
      bool ok = WaitFor((DWORD)Number(arg(1)), [] { return Ready(FindMain()); });
      Line("waited", Fmt("what=window\tok=%d\tms=%lu", ok ? 1 : 0, GetTickCount() - t));
      if (!ok) error = "no main window with its controls";
    } else if (op == L"wait-exists" || op == L"wait-visible") {
      const bool shown = op == L"wait-visible";
      bool ok = WaitFor((DWORD)Number(arg(1)), [&] {
        HWND m = FindMain();
        return m && (!shown || IsWindowVisible(m));
      });
      Line("waited", Fmt("what=%s\tok=%d\tms=%lu", shown ? "visible" : "exists", ok ? 1 : 0, GetTickCount() - t));
      if (!ok) error = shown ? "main window not visible" : "no main window";
    } else if (op == L"wait-dialog") {
      bool ok = WaitFor((DWORD)Number(arg(1)), [] { return FindDialog() != nullptr; });
      Line("waited", Fmt("what=dialog\tok=%d\tms=%lu", ok ? 1 : 0, GetTickCount() - t));
      if (!ok) error = "no message box";
    } else if (op == L"dialog") {
      HWND dlg = FindDialog();
      Line("dialog", Fmt("found=%d\thwnd=%s\ttext=", dlg ? 1 : 0, Hwnd(dlg).c_str()) + Escape(dlg ? TextOf(dlg) : L""));
      for (HWND c = dlg ? GetWindow(dlg, GW_CHILD) : nullptr; c; c = GetWindow(c, GW_HWNDNEXT)) {
        Line("dlgitem", Fmt("id=%ld\tvisible=%d\tclass=", (long)GetWindowLongPtrW(c, GWLP_ID), IsWindowVisible(c) ? 1 : 0) +
                            Escape(ClassOf(c)) + "\ttext=" + Escape(TextOf(c)));
      }
    } else if (op == L"settext" || op == L"notify") {
      HWND h = Resolve(arg(1));
      if (!h) {
        error = "no target " + Utf8(arg(1));
      } else if (op == L"settext") {
        DWORD_PTR r = 0;
        SendMessageTimeoutW(h, WM_SETTEXT, 0, (LPARAM)arg(2), SMTO_ABORTIFHUNG, 5000, &r);
        Line("set", Fmt("result=%lld", (long long)r));
      } else {
        NotifyParent(h, (WORD)Number(arg(2)));
      }
    } else if (op == L"reg") {
      const REGSAM view = Number(arg(1)) == 32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
      HKEY key = nullptr;
      wchar_t text[1024] = {};
      DWORD type = 0, bytes = sizeof text - sizeof text[0];
      LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, arg(2), 0, KEY_QUERY_VALUE | view, &key);
      if (status == ERROR_SUCCESS) {
        status = RegQueryValueExW(key, s.size() > 3 ? arg(3) : nullptr, nullptr, &type, (BYTE*)text, &bytes);
        RegCloseKey(key);
      }
      const bool found = status == ERROR_SUCCESS && type == REG_SZ;
      Line("reg", Fmt("found=%d\tstatus=%ld\ttext=", found ? 1 : 0, status) + Escape(found ? text : L""));
    } else if (op == L"wait-gone") {
      bool ok = WaitFor((DWORD)Number(arg(1)), [] { return FindMain() == nullptr; });
      Line("waited", Fmt("what=gone\tok=%d\tms=%lu", ok ? 1 : 0, GetTickCount() - t));
      if (!ok) error = "main window still there";
    } else if (op == L"wait-button") {
      std::wstring text = arg(1);
      bool ok = WaitFor((DWORD)Number(arg(2)), [&] { return VisibleEnabledButton(text); });
      Line("waited", Fmt("what=button\tok=%d\tms=%lu", ok ? 1 : 0, GetTickCount() - t));
      if (!ok) error = "no visible enabled button " + Utf8(text);
    } else if (op == L"wait-exit") {
      HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)Number(arg(1)));
      if (!p) {
        Line("exited", "found=0");
      } else {
        DWORD w = WaitForSingleObject(p, (DWORD)Number(arg(2)));
        DWORD code = 0;
        GetExitCodeProcess(p, &code);
        Line("exited", Fmt("found=1\tended=%d\tcode=%lu", w == WAIT_OBJECT_0 ? 1 : 0, code));
        CloseHandle(p);
      }
    } else if (op == L"wait-hidden") {
      bool ok = WaitFor((DWORD)Number(arg(1)), [] {
        HWND m = FindMain();
        return m && !IsWindowVisible(m);
      });
      Line("waited", Fmt("what=hidden\tok=%d\tms=%lu", ok ? 1 : 0, GetTickCount() - t));
      if (!ok) error = "main window not hidden";
    } else if (op == L"wait-no-dialog") {
      bool ok = WaitFor((DWORD)Number(arg(1)), [] { return FindDialog() == nullptr; });
      Line("waited", Fmt("what=no-dialog\tok=%d\tms=%lu", ok ? 1 : 0, GetTickCount() - t));
      if (!ok) error = "message box still open";
    } else if (op == L"wait-enabled") {
      HWND h = Resolve(arg(1));
      const bool want = Number(arg(2)) != 0;
      bool ok = h && WaitFor((DWORD)Number(arg(3)), [&] { return (IsWindowEnabled(h) != FALSE) == want; });
      Line("waited", Fmt("what=%s\tok=%d\tms=%lu", want ? "enabled" : "disabled", ok ? 1 : 0, GetTickCount() - t));
      if (!ok) error = h ? (want ? "target not enabled" : "target not disabled") : "no target " + Utf8(arg(1));
    } else if (op == L"text") {
      HWND h = Resolve(arg(1));
      if (!h) error = "no target " + Utf8(arg(1));
      else Line("text", Fmt("hwnd=%s\ttick=%lu\t", Hwnd(h).c_str(), GetTickCount()) + "text=" + Escape(TextOf(h)));
    } else if (op == L"watch-text") {
      // A text that lasts only while the program closes (the last line of an
      // automatic synchronisation) is seen by reading as often as the window answers.
      const DWORD limit = (DWORD)Number(arg(2));
      HWND h = Resolve(arg(1));
      while (!h && GetTickCount() - t < limit) {
        Sleep(10);
        h = Resolve(arg(1));
      }
      // One WM_GETTEXT into a buffer larger than the log box holds: a length asked
      // first would cost a second trip and cut a text that grows in between.
      std::vector<wchar_t> buf(1 << 16);
      std::wstring last;
      bool any = false;
      while (h && IsWindow(h) && GetTickCount() - t < limit) {
        buf[0] = 0;
        DWORD_PTR got = 0;
        SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), (LPARAM)buf.data(), SMTO_ABORTIFHUNG, 5000, &got);
        if (!IsWindow(h)) break;   // read while it was destroyed
        const std::wstring now(buf.data());
        if (!any || now != last)
          Line("text", Fmt("hwnd=%s\ttick=%lu\t", Hwnd(h).c_str(), GetTickCount()) + "text=" + Escape(now));
        any = true;
        last = now;
      }
      if (!h) error = "no target " + Utf8(arg(1));
      else Line("watched", Fmt("gone=%d\tms=%lu", IsWindow(h) ? 0 : 1, GetTickCount() - t));
    } else if (op == L"close-item") {
      HWND m = FindMain();
      DWORD state = 0xFFFFFFFF;
      error = m ? CloseItem(m, &state) : "no main window";
      if (error.empty())
        Line("closeitem", Fmt("state=0x%lx\tgrayed=%d", state,
                              state != 0xFFFFFFFF && (state & (MF_GRAYED | MF_DISABLED)) ? 1 : 0));
    } else if (op == L"windows") {
      ListWindows(arg(1));
    } else if (op == L"dump") {
      if (!Dump()) error = "no main window";
    } else if (op == L"metrics") {
      Metrics(FindMain());
    } else if (op == L"measure") {
      for (size_t n = 1; n < s.size(); n++) MeasureGui(s[n].c_str());
    } else if (op == L"count-main") {
      Line("mains", Fmt("count=%d", CountMain()));
    } else if (op == L"click") {
      HWND h = Resolve(arg(1));
      if (!h) error = "no target " + Utf8(arg(1));
      else Send(h, BM_CLICK, 0, 0);
    } else if (op == L"select") {
      HWND h = Resolve(arg(1));
      if (!h) {
        error = "no target " + Utf8(arg(1));
      } else {
        Send(h, CB_SETCURSEL, (WPARAM)Number(arg(2)), 0);
        NotifyParent(h, CBN_SELCHANGE);
      }
    } else if (op == L"post" || op == L"send") {
      HWND h = Resolve(arg(1));
      UINT msg = (UINT)Number(arg(2));
      WPARAM w = (WPARAM)Number(arg(3));
      LPARAM l = (LPARAM)Number(arg(4));
      if (!h) error = "no target " + Utf8(arg(1));
      else if (op == L"post") Line("posted", Fmt("ok=%d", PostMessageW(h, msg, w, l) ? 1 : 0));
      else Line("sent", Fmt("result=%lld", (long long)Send(h, msg, w, l)));
    } else if (op == L"fits") {
      Fits();
    } else if (op == L"sleep") {
      Sleep((DWORD)Number(arg(1)));
    } else if (op == L"trust-root") {
      // A process of its own: the program that then checks chains is another one.
      if (!ChangeNtsTrust(Utf8(arg(1)), true)) error = "certificate not added to the Root store";
    } else {
      error = "unknown step " + Utf8(op);
    }
    Flush();
    if (!error.empty()) break;
  }
  Line("end", error.empty() ? "ok" : "error\t" + error);
  Flush();
  return error.empty() ? 0 : 1;
}

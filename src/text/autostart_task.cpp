#include "text/autostart_task.h"

namespace {

// Appends to a fixed buffer; once something did not fit, nothing more is
// written and the result is refused as a whole (a cut command line would start
// some other program).
struct Out {
  wch* text;
  unsigned long cap;
  unsigned long len;
  bool full;
};

void Put(Out* o, wch c) {
  if (o->full || o->len + 1 >= o->cap) {
    o->full = true;
    return;
  }
  o->text[o->len++] = c;
}

void PutText(Out* o, const wch* s) {
  for (; s && *s; ++s) Put(o, *s);
}

void PutAscii(Out* o, const char* s) {
  for (; *s; ++s) Put(o, (wch)(unsigned char)*s);
}

void PutNumber(Out* o, unsigned long long n) {
  wch digits[20];
  int count = 0;
  do {
    digits[count++] = (wch)('0' + n % 10);
    n /= 10;
  } while (n);
  while (count) Put(o, digits[--count]);
}

// Character data and attribute values alike: the four characters that XML
// gives a meaning to in either place.
void PutEscaped(Out* o, const wch* s) {
  for (; s && *s; ++s) {
    switch (*s) {
      case '&': PutAscii(o, "&amp;"); break;
      case '<': PutAscii(o, "&lt;"); break;
      case '>': PutAscii(o, "&gt;"); break;
      case '"': PutAscii(o, "&quot;"); break;
      default: Put(o, *s); break;
    }
  }
}

void PutArguments(Out* o, int automatic, unsigned long long number) {
  PutAscii(o, automatic ? "/AutoSync " : "/CycleSync ");
  PutNumber(o, number);
}

unsigned long Finish(Out* o) {
  if (o->cap == 0) return 0;
  if (o->full) o->len = 0;
  o->text[o->len] = 0;
  return o->len;
}

}  // namespace

unsigned long ComposeAutostartLine(wch* out, unsigned long cap, const wch* path, int automatic,
                                   unsigned long long number) {
  Out o = {out, cap, 0, false};
  Put(&o, '"');
  PutText(&o, path);
  PutAscii(&o, "\" ");
  PutArguments(&o, automatic, number);
  return Finish(&o);
}

unsigned long ComposeAutostartTaskXml(wch* out, unsigned long cap, const wch* path, int automatic,
                                      unsigned long long number) {
  Out o = {out, cap, 0, false};
  // BUILTIN\Users: the task runs for whoever logs on, as the Run value under
  // HKEY_LOCAL_MACHINE does; HighestAvailable gives an administrator the
  // elevated token the program requires. No execution limit: periodic mode runs
  // for the whole session. Parallel: a user who logs on while another user's
  // copy runs gets a copy in his own session, as the Run value gave him; within
  // a session the program keeps to one instance by itself.
  PutAscii(&o,
           "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
           "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
           "  <RegistrationInfo>\r\n"
           "    <Description>Quorlin: sets the clock from time servers at logon.</Description>\r\n"
           "  </RegistrationInfo>\r\n"
           "  <Triggers>\r\n"
           "    <LogonTrigger>\r\n"
           "      <Enabled>true</Enabled>\r\n"
           "    </LogonTrigger>\r\n"
           "  </Triggers>\r\n"
           "  <Principals>\r\n"
           "    <Principal id=\"Users\">\r\n"
           "      <GroupId>S-1-5-32-545</GroupId>\r\n"
           "      <RunLevel>HighestAvailable</RunLevel>\r\n"
           "    </Principal>\r\n"
           "  </Principals>\r\n"
           "  <Settings>\r\n"
           "    <MultipleInstancesPolicy>Parallel</MultipleInstancesPolicy>\r\n"
           "    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\r\n"
           "    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\r\n"
           "    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\r\n"
           "    <Enabled>true</Enabled>\r\n"
           "  </Settings>\r\n"
           "  <Actions Context=\"Users\">\r\n"
           "    <Exec>\r\n"
           "      <Command>&quot;");
  PutEscaped(&o, path);
  PutAscii(&o, "&quot;</Command>\r\n      <Arguments>");
  PutArguments(&o, automatic, number);
  PutAscii(&o,
           "</Arguments>\r\n"
           "    </Exec>\r\n"
           "  </Actions>\r\n"
           "</Task>\r\n");
  return Finish(&o);
}

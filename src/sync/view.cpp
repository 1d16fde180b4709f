#include "sync/view.h"

namespace {
void NoLine(const wch*, int) {}
void Nothing() {}
void NoText(const wch*) {}
void NoFlag(int) {}
void NoCell(int, int, const wch*) {}
int NoItem() { return 0; }

// Constant-initialised: the workers may read it before the window exists.
constexpr SYNCVIEW kNoView = {NoLine, Nothing, Nothing, NoFlag, NoText, NoCell, Nothing, NoFlag,
                              Nothing, Nothing, NoItem, Nothing, Nothing, Nothing};
}  // namespace

SYNCVIEW g_syncView = kNoView;

void UnplugSyncView() { g_syncView = kNoView; }

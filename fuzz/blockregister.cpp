// MemBlock for the fuzz targets. The program's register keeps a record of every
// block it ever handed out (it only runs once per process start), so millions of
// documents parsed in one fuzzing process would fill memory with records and
// slow every index rebuild. This one has the same contract but forgets released
// blocks, and it lets a target check that every block it caused was released.
#include <stdlib.h>
#include <string.h>

#include <unordered_map>

#include "text/memblock.h"

static std::unordered_map<void*, uint64_t>& Live() {
  static std::unordered_map<void*, uint64_t> live;
  return live;
}

static const uint64_t kMaxBlock = 1ull << 32;   // no input makes the program ask for more

static void* HandOut(uint64_t size) {
  if (size > kMaxBlock) return nullptr;
  void* block = calloc(size ? (size_t)size : 1, 1);
  if (block) Live()[block] = size;
  return block;
}

uint64_t MemBlock(uint64_t size, void* block) {
  if (!block) return (uint64_t)(uintptr_t)HandOut(size);
  auto it = Live().find(block);
  if (size == MEM_QUERY_SIZE) return it == Live().end() ? 0 : it->second;
  if (size == 0) {
    if (it == Live().end()) return 0;
    const uint64_t old = it->second;
    Live().erase(it);
    free(block);
    return old;
  }
  if (it == Live().end()) return (uint64_t)(uintptr_t)HandOut(size);
  if (it->second == size) return (uint64_t)(uintptr_t)block;
  void* moved = size <= kMaxBlock ? realloc(block, (size_t)size) : nullptr;
  if (!moved) return 0;
  Live().erase(it);
  Live()[moved] = size;
  return (uint64_t)(uintptr_t)moved;
}

uint64_t MemRecordCount() { return Live().size(); }

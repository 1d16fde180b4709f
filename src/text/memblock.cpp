#include "text/memblock.h"

#include <stdlib.h>
#include <string.h>

static const uint64_t kTombstone = UINT64_MAX;

MEMORY::~MEMORY() {
  for (uint64_t i = 0; i < count; ++i) free(entries[i].block);
  free(entries);
  free(slots);
  entries = nullptr;
  slots = nullptr;
  count = capacity = slotCount = slotUsed = 0;
}

// Constant-initialised (its constructor is constexpr), so the register exists
// before any static initialiser that needs a block, without the guard of a
// function-local static. At exit its destructor leaves it empty, so a release
// that comes later finds no record and frees nothing twice.
static MEMORY g_register;
static MEMORY& Register() { return g_register; }

// Far above anything the program asks for, and below the point where a request
// would wrap a size_t or be refused outright by an instrumented allocator.
static const uint64_t kMaxBlock = (uint64_t)SIZE_MAX / 2 < (1ull << 40) ? (uint64_t)SIZE_MAX / 2 : (1ull << 40);

static bool FitsSizeT(uint64_t size) { return size <= kMaxBlock; }

static uint64_t SlotOf(const MEMORY& reg, uintptr_t address) {
  uint64_t h = (uint64_t)address >> 3;
  h *= 0x9E3779B97F4A7C15ull;
  return (h ^ (h >> 29)) & (reg.slotCount - 1);
}

static void IndexPut(MEMORY& reg, uint64_t record) {
  uint64_t i = SlotOf(reg, (uintptr_t)reg.entries[record].block);
  while (reg.slots[i] != 0 && reg.slots[i] != kTombstone) i = (i + 1) & (reg.slotCount - 1);
  if (reg.slots[i] == 0) ++reg.slotUsed;
  reg.slots[i] = record + 1;
}

// Rebuilds the index for the live records with room to spare; without memory
// for it the index is dropped and lookups walk the table.
static void IndexRebuild(MEMORY& reg) {
  uint64_t live = 0;
  for (uint64_t r = 0; r < reg.count; ++r)
    if (reg.entries[r].block) ++live;
  uint64_t want = 16;
  while (want < live * 4) want <<= 1;
  free(reg.slots);
  reg.slots = want <= (uint64_t)SIZE_MAX / sizeof(uint64_t) ? (uint64_t*)calloc((size_t)want, sizeof(uint64_t)) : nullptr;
  reg.slotCount = reg.slots ? want : 0;
  reg.slotUsed = 0;
  if (!reg.slots) return;
  for (uint64_t r = 0; r < reg.count; ++r)
    if (reg.entries[r].block) IndexPut(reg, r);
}

static void IndexAdd(MEMORY& reg, uint64_t record) {
  if (!reg.slots || (reg.slotUsed + 1) * 2 > reg.slotCount)
    IndexRebuild(reg);   // includes the new record
  else
    IndexPut(reg, record);
}

static uint64_t* IndexSlot(MEMORY& reg, const void* block) {
  for (uint64_t i = SlotOf(reg, (uintptr_t)block);; i = (i + 1) & (reg.slotCount - 1)) {
    uint64_t v = reg.slots[i];
    if (v == 0) return nullptr;
    if (v != kTombstone && reg.entries[v - 1].block == block) return &reg.slots[i];
  }
}

// A live block's address is held by one record only (released records hold null).
static MEMORY::ENTRY* FindRecord(MEMORY& reg, void* block) {
  if (reg.slots) {
    uint64_t* slot = IndexSlot(reg, block);
    return slot ? &reg.entries[*slot - 1] : nullptr;
  }
  for (uint64_t i = reg.count; i > 0; --i)
    if (reg.entries[i - 1].block == block) return &reg.entries[i - 1];
  return nullptr;
}

// Takes the record out of the index; address is where its block was filed.
static void IndexRemove(MEMORY& reg, uintptr_t address, uint64_t record) {
  if (!reg.slots) return;
  for (uint64_t i = SlotOf(reg, address); reg.slots[i]; i = (i + 1) & (reg.slotCount - 1))
    if (reg.slots[i] == record + 1) {
      reg.slots[i] = kTombstone;
      return;
    }
}

// Records only ever accumulate, so the table grows by doubling: growing it by one
// record per block would copy it once per block handed out.
static bool AddRecord(MEMORY& reg, void* block, uint64_t size) {
  if (reg.count == reg.capacity) {
    uint64_t want = reg.capacity ? reg.capacity * 2 : 1;
    if (want > (uint64_t)SIZE_MAX / sizeof(MEMORY::ENTRY)) return false;
    void* grown = realloc(reg.entries, (size_t)want * sizeof(MEMORY::ENTRY));
    if (!grown) return false;
    reg.entries = (MEMORY::ENTRY*)grown;
    reg.capacity = want;
  }
  reg.entries[reg.count].size = size;
  reg.entries[reg.count].block = block;
  IndexAdd(reg, reg.count++);
  return true;
}

static void* HandOut(MEMORY& reg, uint64_t size) {
  if (!FitsSizeT(size)) return nullptr;
  void* block = calloc(size ? (size_t)size : 1, 1);
  if (block && !AddRecord(reg, block, size)) {
    free(block);
    block = nullptr;
  }
  return block;
}

uint64_t MemBlock(uint64_t size, void* block) {
  MEMORY& reg = Register();
  if (!block) return (uint64_t)(uintptr_t)HandOut(reg, size);

  MEMORY::ENTRY* rec = FindRecord(reg, block);
  if (size == MEM_QUERY_SIZE) return rec ? rec->size : 0;
  if (size == 0) {
    if (!rec) return 0;
    uint64_t old = rec->size;
    IndexRemove(reg, (uintptr_t)block, (uint64_t)(rec - reg.entries));
    free(rec->block);
    rec->block = nullptr;
    return old;
  }
  if (!rec) return (uint64_t)(uintptr_t)HandOut(reg, size);
  if (rec->size == size) return (uint64_t)(uintptr_t)block;
  // A failed resize reports failure and leaves the block as it was: a fresh empty
  // block in its place would silently drop the caller's contents.
  uintptr_t filedAt = (uintptr_t)block;
  void* moved = FitsSizeT(size) ? realloc(block, (size_t)size) : nullptr;
  if (!moved) return 0;
  if ((uintptr_t)moved != filedAt) {
    uint64_t record = (uint64_t)(rec - reg.entries);
    IndexRemove(reg, filedAt, record);
    rec->block = moved;
    IndexAdd(reg, record);
  }
  rec->size = size;
  return (uint64_t)(uintptr_t)moved;
}

uint64_t MemRecordCount() { return Register().count; }

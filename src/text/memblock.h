// The block register: every dynamic buffer of the program (files read whole,
// resource copies, line arrays, section tables, converted texts, the extra
// server list) is handed out and released here, and whatever is still held at
// process exit is released by the register's destructor.
// No lock: only one thread uses the register at a time.
#pragma once
#include <stdint.h>

#define MEM_QUERY_SIZE UINT64_MAX   // MemBlock size argument: "tell me the block's size"

class MEMORY {
 public:
  struct ENTRY {
    uint64_t size;   // bytes as last requested
    void* block;     // null once released; the record is never reused
  };
  ENTRY* entries;
  uint64_t count;
  uint64_t capacity;   // records the table has room for
  // Address index over the live records (open addressing; 0 empty, else the
  // record number + 1, or a tombstone). Without it every lookup would walk the
  // table. Null while it could not be built: lookups then walk the table.
  uint64_t* slots;
  uint64_t slotCount;  // a power of two
  uint64_t slotUsed;   // slots that are not empty, tombstones included

  // constexpr: the register is set up before any code runs.
  constexpr MEMORY() : entries(nullptr), count(0), capacity(0), slots(nullptr), slotCount(0), slotUsed(0) {}
  virtual ~MEMORY();
};

// The one entry point; the arguments select the operation:
//   block null                  new zeroed block of size bytes -> its address (0 on failure)
//   size MEM_QUERY_SIZE         -> recorded size of block (0 when not registered)
//   size 0                      release block -> its recorded size (0 when not registered)
//   size > 0                    resize block -> new address; contents kept up to the
//                               smaller size, added bytes not zeroed. An unknown block
//                               yields a fresh zeroed block instead; a failed resize
//                               yields 0 and leaves the block untouched.
// Addresses are returned as integers so one signature carries both kinds of result;
// the typed helpers below are what the program calls.
uint64_t MemBlock(uint64_t size, void* block);

inline void* NewBlock(uint64_t size) { return (void*)(uintptr_t)MemBlock(size, nullptr); }
inline uint64_t BlockSize(void* block) { return block ? MemBlock(MEM_QUERY_SIZE, block) : 0; }
// Resizing to 0 bytes is a release in MemBlock's terms; ask for at least one byte.
inline void* ResizeBlock(void* block, uint64_t size) {
  return (void*)(uintptr_t)MemBlock(size ? size : 1, block);
}

// Releases the block held in *slot, nulls the slot and returns the released size.
template <class T>
inline uint64_t ReleaseBlock(T** slot) {
  if (!slot || !*slot) return 0;
  uint64_t size = MemBlock(0, (void*)*slot);
  *slot = nullptr;
  return size;
}

// Number of records in the register (released blocks included); for tests.
uint64_t MemRecordCount();

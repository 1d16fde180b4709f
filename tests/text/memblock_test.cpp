// The block register: the four operations and their failure cases.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "text/memblock.h"

TEST(MemBlockTest, NewBlockIsZeroedAndRecorded) {
  uint8_t* b = (uint8_t*)NewBlock(100);
  ASSERT_NE(b, nullptr);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(b[i], 0) << i;
  EXPECT_EQ(BlockSize(b), 100u);
  EXPECT_EQ(ReleaseBlock(&b), 100u);
  EXPECT_EQ(b, nullptr);
}

TEST(MemBlockTest, ReleasedOrUnknownBlocksHaveNoSize) {
  void* b = NewBlock(8);
  ASSERT_NE(b, nullptr);
  void* same = b;
  EXPECT_EQ(MemBlock(0, b), 8u);
  EXPECT_EQ(MemBlock(MEM_QUERY_SIZE, same), 0u);
  EXPECT_EQ(MemBlock(0, same), 0u);   // a second release finds nothing

  char outside[4] = {0};
  EXPECT_EQ(MemBlock(MEM_QUERY_SIZE, outside), 0u);
  EXPECT_EQ(MemBlock(0, outside), 0u);
}

TEST(MemBlockTest, RecordsAreNeverReused) {
  uint64_t before = MemRecordCount();
  void* a = NewBlock(4);
  ReleaseBlock(&a);
  void* b = NewBlock(4);
  EXPECT_EQ(MemRecordCount(), before + 2);
  ReleaseBlock(&b);
}

TEST(MemBlockTest, ResizeKeepsContents) {
  uint8_t* b = (uint8_t*)NewBlock(16);
  ASSERT_NE(b, nullptr);
  for (int i = 0; i < 16; ++i) b[i] = (uint8_t)(i + 1);
  EXPECT_EQ((void*)(uintptr_t)MemBlock(16, b), (void*)b);   // same size: unchanged

  b = (uint8_t*)ResizeBlock(b, 4096);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(BlockSize(b), 4096u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(b[i], i + 1);

  b = (uint8_t*)ResizeBlock(b, 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(BlockSize(b), 3u);
  EXPECT_EQ(b[2], 3);
  ReleaseBlock(&b);
}

TEST(MemBlockTest, ResizeOfUnknownBlockHandsOutFreshZeroedBlock) {
  uint8_t* foreign = (uint8_t*)malloc(8);
  ASSERT_NE(foreign, nullptr);
  memset(foreign, 0x5A, 8);
  uint8_t* b = (uint8_t*)ResizeBlock(foreign, 32);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(b, foreign);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(b[i], 0);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(foreign[i], 0x5A);   // left alone
  EXPECT_EQ(BlockSize(b), 32u);
  ReleaseBlock(&b);
  free(foreign);
}

TEST(MemBlockTest, ImpossibleSizesFailWithoutLosingTheBlock) {
  EXPECT_EQ(NewBlock(UINT64_MAX - 1), nullptr);
  EXPECT_EQ(NewBlock(1ull << 62), nullptr);

  char* b = (char*)NewBlock(6);
  ASSERT_NE(b, nullptr);
  memcpy(b, "kept!", 6);
  EXPECT_EQ(ResizeBlock(b, 1ull << 62), nullptr);
  EXPECT_STREQ(b, "kept!");
  EXPECT_EQ(BlockSize(b), 6u);
  ReleaseBlock(&b);
}

TEST(MemBlockTest, ManyBlocksStayFindable) {
  // The register grows while blocks are held; every one must still be found.
  static void* blocks[5000];
  for (int i = 0; i < 5000; ++i) {
    blocks[i] = NewBlock((uint64_t)(i % 37) + 1);
    ASSERT_NE(blocks[i], nullptr);
  }
  for (int i = 0; i < 5000; i += 7) EXPECT_EQ(BlockSize(blocks[i]), (uint64_t)(i % 37) + 1);
  for (int i = 0; i < 5000; ++i) EXPECT_EQ(ReleaseBlock(&blocks[i]), (uint64_t)(i % 37) + 1);
}

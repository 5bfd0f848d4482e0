#include "database/read_ahead_pace.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// Blocks of the walk's own reads, 16 directories each, in nanoseconds of
// the steady clock and of the walk thread's processor time.
struct Block {
  uint64_t wall;
  uint64_t busy;
};

Block BlockOf(char kind) {
  switch (kind) {
    // Warm natively: 30 us a directory, all of it on the processor.
    case 'n': return {480000, 470000};
    // Warm under Wine: every directory slow, 200 us, yet on the processor.
    case 's': return {3200000, 3100000};
    // Warm under Wine while another program had the processor a while.
    case 'i': return {3200000, 2000000};
    // Cold: four fifths of the time waiting for the disk.
    case 'c': return {5000000, 1000000};
    // Exactly a quarter off the processor, and just less.
    case 'q': return {4000000, 3000000};
    case 'Q': return {4000000, 3000001};
  }
  ADD_FAILURE() << kind;
  return {0, 0};
}

}  // namespace

// On one processor, workers waiting for slow reads start once half of the
// walk's last 16 blocks spent a quarter of their time or more off the
// processor: reads slow on the processor start none, and blocks that waited
// long ago leave the count.  Each block's decision: '-' wait, 'S' start.
TEST(ReadAheadPace, WaitingWorkersStartOnceHalfTheLastBlocksWaited) {
  struct Case {
    const char* walk;
    std::string blocks;
    std::string decisions;
  };
  const Case cases[] = {
      {"warm, native", std::string(40, 'n'), std::string(40, '-')},
      {"warm under Wine, now and then without the processor",
       "sssssssssssisssssssssssisssssssssssissss", std::string(40, '-')},
      {"cold", "cccccccccc", "-------SSS"},
      {"cold, seven blocks in ten waiting", "ncccnccnccccn", "----------SSS"},
      {"a quarter off the processor waits, less does not", "qqqqqqqQqQq",
       "--------SSS"},
      {"waits briefly, runs quick, waits briefly again",
       "ccc" + std::string(19, 'n') + "ccccccc", std::string(29, '-')},
      {"waits briefly, runs quick, then waits long",
       "ccc" + std::string(19, 'n') + "cccccccc", std::string(29, '-') + "S"},
  };
  for (const Case& c : cases) {
    WaitedBlocks waited;
    std::string decisions;
    for (char kind : c.blocks) {
      Block block = BlockOf(kind);
      decisions += NoteWalkBlock(&waited, block.wall, block.busy) ? 'S' : '-';
    }
    EXPECT_EQ(c.decisions, decisions) << c.walk;
  }
}

// Workers read one processor fewer than there are at once (one at least),
// one more while the walk waits for a list, and all of them once the mean
// read of an entry turns slow, waiting on the disk: after seven cold reads,
// and for eight warm ones after that.  One read held up (a page fault)
// cannot tip the mean.  Each read's decision: 'L' limited, 'A' all.
TEST(ReadAheadPace, ReadersOneProcessorFewerUntilReadsTurnSlow) {
  struct Read {
    uint64_t nanos;
    uint32_t entries;
  };
  // 20 entries: warm 2 us an entry, cold 16 us, held up for 10 ms.
  auto ReadOf = [](char kind) -> Read {
    switch (kind) {
      case 'w': return {50000, 20};
      case 'c': return {400000, 20};
      default: return {10000000, 20};
    }
  };
  struct Case {
    const char* walk;
    std::string reads;
    std::string decisions;
  };
  const Case cases[] = {
      {"warm", std::string(30, 'w'), std::string(30, 'L')},
      {"warm, one read held up",
       std::string(20, 'w') + "p" + std::string(10, 'w'), std::string(31, 'L')},
      {"cold", std::string(12, 'c'), "LLLLLLAAAAAA"},
      {"cold, then warm again", std::string(12, 'c') + std::string(30, 'w'),
       "LLLLLL" + std::string(14, 'A') + std::string(22, 'L')},
  };
  struct Limit {
    unsigned processors;
    unsigned alone;    // readers while the walk reads on
    unsigned waiting;  // while it waits for a list
  };
  const Limit limits[] = {{1, 1, 2}, {2, 1, 2}, {4, 3, 4}};
  for (const Case& c : cases) {
    for (const Limit& limit : limits) {
      uint32_t mean = 0;
      std::string decisions;
      for (char kind : c.reads) {
        Read read = ReadOf(kind);
        mean = FoldReadTime(mean, read.nanos, read.entries);
        unsigned alone = ReadersAllowed(limit.processors, mean, false);
        unsigned waiting = ReadersAllowed(limit.processors, mean, true);
        if (alone == limit.alone && waiting == limit.waiting) {
          decisions += 'L';
        } else if (alone == 8 && waiting == 8) {
          decisions += 'A';
        } else {
          decisions += '?';
        }
      }
      EXPECT_EQ(c.decisions, decisions)
          << c.walk << ", " << limit.processors << " processors";
    }
  }
}

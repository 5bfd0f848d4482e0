// Pairs the records of two databases by path, byte for byte, whatever
// their order, in bounded memory.  A record waits in memory for its partner
// from the other database; where the two orders agree, few records wait and
// nothing goes to disk.  Once too many wait, the orders differ: the records
// go from then on to partitions of a scratch file by their path's hash, save
// where both sides' next records have one path no copy of which went there
// before, and each partition is paired in memory at the end.  What is left
// over, the records without a partner and the pairs that differ, is sorted
// by path (through sorted runs on disk when there is much) and passed on in
// that order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/reader.h"
#include "dump/leftovers.h"
#include "dump/partition_join.h"
#include "dump/partitions.h"
#include "dump/pending.h"

// A side's next record, read and not yet taken, and its path's hash once
// asked for: where one side moves on alone, the other's record is not
// hashed again.
struct NextRecord {
  DatabaseRecord record = {};
  uint64_t hash = 0;
  bool hashed = false;

  uint64_t Hash() {
    if (!hashed) hash = HashPath(record.path, record.pathLength);
    hashed = true;
    return hash;
  }
};

// The memory a comparison takes; tests take less.
struct PairingMemory {
  // The records waiting in memory, and the slots of their index.
  size_t storeBytes = PendingStore::kBytes;
  size_t storeSlots = PendingStore::kSlots;
  // The partitions of each side, and the buffer each is written through.
  size_t partitions = 32;
  size_t chunkBytes = 128 << 10;
  // A partition's OLD side, paired in memory.
  size_t joinBytes = 8 << 20;
};

class RecordPairing : private Survivors {
 public:
  // A pair is changed when its size, last-write or creation time differs,
  // and with `compareAccess` its last-access time.
  RecordPairing(DiffSink* sink, bool compareAccess,
                const PairingMemory& memory = PairingMemory())
      : sink_(sink),
        compareAccess_(compareAccess),
        memory_(memory),
        store_(memory.storeBytes, memory.storeSlots),
        partitions_(memory.partitions, memory.chunkBytes),
        leftovers_(&store_, sink, compareAccess) {}
  ~RecordPairing() override;
  RecordPairing(const RecordPairing&) = delete;
  RecordPairing& operator=(const RecordPairing&) = delete;

  // Takes the memory.  False on a fault (see Fault()).
  bool Start();
  // The next record of one side, the other side having ended.  False on a
  // fault.
  bool Add(DiffSide side, const DatabaseRecord& record) {
    return AddHashed(side, record, HashPath(record.path, record.pathLength));
  }
  // A side's next record, just read: once records go to partitions, what
  // its pairing will look at starts to load, while the other side's is read.
  void Expect(NextRecord* next);
  // The next records of both sides, when their paths are equal: the usual
  // case, paired without a copy unless earlier copies of the path wait.
  bool AddBoth(NextRecord* old, NextRecord* now);
  // The next records of both sides, when their paths differ.  A side whose
  // record's partner came before is behind: it alone moves on, until the
  // two meet again.  *tookOld and *tookNew say which records were taken.
  // False on a fault.
  bool AddApart(NextRecord* old, NextRecord* now, bool* tookOld, bool* tookNew);
  // Both sides ended: pairs what waits, and passes on the rest as added or
  // removed.  False on a fault.
  bool Finish();
  DiffFault Fault() const { return fault_; }
  // Whether records went to partitions on disk.
  bool WentToPartitions() const { return partitioned_; }
  // Partitions whose OLD side did not fit in memory: split, and passed on
  // whole.
  size_t PartitionsSplit() const { return join_.Split(); }
  size_t PartitionsPassedOn() const { return join_.PassedOn(); }
  // Sorted runs of records left over written to disk so far.
  size_t RunsSpilled() const { return leftovers_.RunsSpilled(); }
  // Bytes written to scratch files so far.
  uint64_t ScratchBytes() const {
    return leftovers_.ScratchBytes() + partitions_.Size();
  }

 private:
  bool AddHashed(DiffSide side, const DatabaseRecord& record, uint64_t hash);
  bool TryPair(DiffSide side, const DatabaseRecord& record, uint64_t hash);
  bool Wait(DiffSide side, const DatabaseRecord& record, uint64_t hash);
  bool Partition();
  bool ToPartition(DiffSide side, const DatabaseRecord& record, uint64_t hash);
  // Whether a record of `side` with a path of this hash may have gone to a
  // partition.
  bool PathPartitioned(DiffSide side, uint64_t hash) const;
  bool Keep(DiffSide side, const DatabaseRecord& record,
            uint64_t hash) override;
  bool JoinPartitions();
  bool Failed(DiffFault fault) {
    fault_ = fault;
    return false;
  }

  DiffSink* sink_;
  bool compareAccess_;
  PairingMemory memory_;
  // Records waiting for their partner while reading; at the end, those
  // left over, sorted.
  PendingStore store_;
  bool partitioned_ = false;
  PartitionFile partitions_;
  // The partitions' buffers while reading, then the memory each partition
  // is paired in.
  char* work_ = nullptr;
  // For each side, a bit a path hash of the paths put in partitions: their
  // copies on either side go there too, so that they pair in order.
  uint64_t* partitionedPaths_ = nullptr;
  PartitionJoin join_{memory_.joinBytes};
  SortedLeftovers leftovers_;
  DiffFault fault_ = kDiffFine;
};

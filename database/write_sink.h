// Where the database's bytes go: the file, or a test's collector.
#pragma once

#include <cstdint>

struct WriteSink {
  // Returns how many of the `count` bytes it took; fewer is a failed write.
  uint32_t (*write)(void* context, const void* bytes, uint32_t count);
  void* context;
};

// True when the sink took every byte.
inline bool WriteAll(const WriteSink& sink, const void* bytes, uint32_t count) {
  return sink.write(sink.context, bytes, count) == count;
}

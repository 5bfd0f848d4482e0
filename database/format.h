// The database file's layout, shared by the writer and every reader.
// All numbers are little-endian, with no alignment.
//
//   offset          size   field
//   0               8      signature "VANTOREX"
//   8               1      format mark 0x04
//   9               c+1    creator text, NUL
//   10+c            d+1    description text, NUL
//   11+c+d          k+1    letters of the drives walked, NUL
//   12+c+d+k        4      database time (seconds since 1970 UTC)
//   16+c+d+k        ...    records, back to back, to the end of the file
//
// One record per file:
//   len+1   full path (`C:\Docs\a.txt`), NUL
//   4       last-write time   } signed 32-bit seconds since 1970 UTC;
//   4       creation time     } 0: the local reading lies before 1900,
//   4       last-access time  } -1: out of the 32-bit range
//   4       size, low 32 bits
#pragma once

#include <cstdint>

namespace format {

// The signature and the format mark, as they open every database.
constexpr char kSignature[] = "VANTOREX\x04";
constexpr uint32_t kSignatureSize = 9;
constexpr uint8_t kFormatMark = 0x04;
// Where the format mark stands, after the eight letters of the signature.
constexpr uint32_t kMarkOffset = kSignatureSize - 1;
// The creator, the description and the drive letters, each ended by NUL.
constexpr uint32_t kHeaderTextCount = 3;

// Size of the database time that ends the header.
constexpr uint32_t kTimeSize = 4;

// The numbers after a record's path: write, creation, access, size.
constexpr uint32_t kRecordNumbersSize = 16;

// Stored for a time whose local reading lies before 1900.
constexpr int32_t kBefore1900 = 0;
// Stored for a time that a signed 32-bit count since 1970 cannot hold.
constexpr int32_t kUnrepresentable = -1;

inline void PutUint32(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t GetUint32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 |
         static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace format

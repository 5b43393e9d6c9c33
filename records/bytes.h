// Little-endian field readers for raw records.
#pragma once

#include "platform/platform.h"

inline DWORD ReadU32(const BYTE *p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
         static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24;
}

inline WORD ReadU16(const BYTE *p) { return static_cast<WORD>(p[0] | p[1] << 8); }

// Offsets of the record fields used to walk a read buffer.
constexpr DWORD kRecordLength = 0;
constexpr DWORD kRecordNumber = 8;
// The fixed part of every record the service hands out.
constexpr DWORD kRecordFixedBytes = 0x38;

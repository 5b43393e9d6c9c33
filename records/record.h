// Reading the fields of one raw event record (the EVENTLOGRECORD layout)
// without ever reading past the record's own Length.
//
// The record's texts are zero-terminated UTF-16.  A text whose terminator
// would lie past the end of the record ends there (it comes back
// unterminated, with the units it has), and a text, string list or SID that
// starts past the end, or at an odd offset, is absent.
#pragma once

#include "platform/platform.h"
#include "platform/units.h"
#include "records/bytes.h"

// Offsets of the fields that a row is made of.
constexpr DWORD kRecordTimeWritten = 16;
constexpr DWORD kRecordEventId = 20;
constexpr DWORD kRecordEventType = 24;
constexpr DWORD kRecordNumStrings = 26;
constexpr DWORD kRecordEventCategory = 28;
constexpr DWORD kRecordStringOffset = 36;
constexpr DWORD kRecordUserSidLength = 40;
constexpr DWORD kRecordUserSidOffset = 44;
constexpr DWORD kRecordSourceName = 56;

// A text inside the record.
struct RecordText {
  const WCHAR *text = nullptr;  // null: absent
  DWORD units = 0;              // without the terminator
  bool terminated = false;      // the terminator lies inside the record
  DWORD next = 0;               // offset just past the terminator (or the record's end)
};

class RecordView {
 public:
  // `record` holds at least the fixed part (kRecordFixedBytes) of a record;
  // its Length bounds everything else.
  explicit RecordView(const BYTE *record)
      : p_(record), length_(ReadU32(record + kRecordLength)) {
    if (length_ < kRecordFixedBytes) length_ = kRecordFixedBytes;
  }

  const BYTE *bytes() const { return p_; }
  DWORD length() const { return length_; }
  DWORD u32(DWORD offset) const { return ReadU32(p_ + offset); }
  WORD u16(DWORD offset) const { return ReadU16(p_ + offset); }

  // The text that starts at `offset`.
  RecordText Text(DWORD offset) const { return Text(offset, nullptr); }

  // The same, and with `percent` given, whether the text holds a '%' (found
  // in the same pass as its end).
  RecordText Text(DWORD offset, bool *percent) const {
    RecordText t;
    if (percent != nullptr) *percent = false;
    if (offset >= length_ || offset % 2 != 0) {
      t.next = length_;
      return t;
    }
    t.text = reinterpret_cast<const WCHAR *>(p_ + offset);
    const DWORD room = (length_ - offset) / 2;
    DWORD n;
    if (percent == nullptr) {
      n = static_cast<DWORD>(vesk::units::LengthWithin(t.text, room));
    } else {
      n = static_cast<DWORD>(
          vesk::units::Find(t.text, room, [](auto c) { return (c == 0) | (c == 0x25); }));
      if (n < room && t.text[n] != 0) {
        *percent = true;
        n += static_cast<DWORD>(vesk::units::LengthWithin(t.text + n, room - n));
      }
    }
    t.units = n;
    t.terminated = n < room;
    t.next = t.terminated ? offset + 2 * (n + 1) : length_;
    return t;
  }

  // Where the user's SID starts, with *room set to how many of its
  // UserSidLength bytes lie inside the record; null when it starts outside.
  // Whether those bytes make a well-formed SID is the caller's to decide.
  const BYTE *SidBytes(DWORD *room) const {
    const DWORD size = u32(kRecordUserSidLength);
    const DWORD offset = u32(kRecordUserSidOffset);
    *room = 0;
    if (offset >= length_) return nullptr;
    *room = size < length_ - offset ? size : length_ - offset;
    return p_ + offset;
  }

  // The user's SID, or null when the record names none or its bytes (as its
  // sub-authority count gives them) do not lie inside the record.
  const BYTE *Sid() const {
    const DWORD size = u32(kRecordUserSidLength);
    const DWORD offset = u32(kRecordUserSidOffset);
    if (size < 8 || offset > length_ || size > length_ - offset) return nullptr;
    if (8u + 4u * p_[offset + 1] > size) return nullptr;
    return p_ + offset;
  }

 private:
  const BYTE *p_;
  DWORD length_;
};

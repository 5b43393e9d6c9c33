// Writes classic event log files (.evt) as the event log service leaves them:
// records laid out with the service's size formula, the ring wrapping at the
// file's maximum size (records split across the end of the file, 0x27
// padding where a record's fixed part would not fit, the oldest records
// discarded), the end-of-file record after the newest record, and the header
// clean or left stale with the DIRTY flag.
//
// The writer streams: records go to the file as they are added and nothing
// of them is kept, so logs of millions of records (a gigabyte) can be made.
//
//   vesk::tools::EvtWriter w("big.evt", {.max_size = 1 << 30});
//   for (...) w.add(record);
//   w.finish();
//
//   auto bytes = vesk::tools::write_evt(records, {.max_size = 4096});
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::tools {

// The contents of one event record.
struct EvtRecord {
  uint32_t number = 0;  // 0: the log's next number; anything else is stored as given
  uint32_t time_generated = 0;  // seconds since 1970, UTC
  uint32_t time_written = 0;
  uint32_t event_id = 0;
  uint16_t event_type = 4;  // EVENTLOG_INFORMATION_TYPE
  uint16_t category = 0;
  std::u16string source;
  std::u16string computer;
  std::vector<uint8_t> sid;  // a binary SID; empty for none
  std::vector<std::u16string> strings;
  std::vector<uint8_t> data;
};

// The padding before a record's trailing Length.
enum class EvtPadding {
  // 1 to 4 bytes: a whole DWORD when the record is already aligned.  This is
  // what logs written by Windows show (the writer reproduces such a log byte
  // for byte), and what libevt's reader expects.
  kWindows,
  // 0 to 3 bytes: the formula of the reference notes and ReactOS.  A record
  // with no strings and no data then has its string offset at the trailing
  // Length, which libevt refuses.
  kReference,
};

// The stored size of `r`: 0x38, the two names, padding to a DWORD, the SID,
// the strings, the data, the padding and the trailing Length.  0 when the
// record cannot be stored (more than 65535 strings, or over 4 GB).
uint32_t evt_record_size(const EvtRecord &r, EvtPadding padding = EvtPadding::kWindows);
// The record's bytes as stored, numbered `number`.  With no SID the SID
// offset equals the string offset, and the data offset is where the data
// begins even when there is none, as Windows writes them.
std::vector<uint8_t> evt_encode_record(const EvtRecord &r, uint32_t number,
                                       EvtPadding padding = EvtPadding::kWindows);

// A binary SID: revision 1, the identifier authority, the sub-authorities.
std::vector<uint8_t> evt_sid(uint64_t authority, std::initializer_list<uint32_t> subs);
// A binary SID from its text form "S-1-5-21-...": empty when malformed.
std::vector<uint8_t> evt_sid(std::string_view text);

struct EvtOptions {
  // The size at which the ring wraps: once the file has grown to it, new
  // records overwrite the oldest.  0: no limit, the log never wraps.
  uint32_t max_size = 0;
  // How the file grows up to max_size: in 64 KB steps as the service grows
  // it (max_size then rounds up to a multiple of 64 KB), or to exactly the
  // end of the EOF record, as in a backup or a log trimmed to its size.
  bool grow_in_steps = true;
  // Leaves the header as it was after `dirty_after` records (0: the header
  // of the empty log), with the DIRTY flag set, as when the service stopped
  // before flushing it.  The EOF record is up to date.
  bool dirty = false;
  uint32_t dirty_after = 0;
  // The number the first record gets.
  uint32_t first_number = 1;
  // Seconds a record is kept from being overwritten (by TimeWritten); a
  // record that would need overwriting a younger one is refused.
  uint32_t retention = 0;
  // The header's MaxSize field; 0: the ring size (or the file size when
  // there is no limit).
  uint32_t header_max_size = 0;
  EvtPadding padding = EvtPadding::kWindows;
};

class EvtWriter {
 public:
  // Into memory; bytes() gives the file after finish().
  explicit EvtWriter(EvtOptions options = {});
  // Into `file`, created or truncated; see ok().
  EvtWriter(const std::filesystem::path &file, EvtOptions options);
  ~EvtWriter();
  EvtWriter(const EvtWriter &) = delete;
  EvtWriter &operator=(const EvtWriter &) = delete;

  // False after any failure; error() tells what it was.
  bool ok() const;
  const std::string &error() const;

  // Appends a record.  False (and nothing written) when it is larger than
  // the ring can hold or after an I/O error (see error()), or when
  // retention forbids overwriting the oldest record: that record is refused,
  // the LOGFULL flag set, and the writer goes on.
  bool add(const EvtRecord &r);
  // Clears the log as Windows XP does: the file goes back to its initial
  // size with everything after the header zero, the header describes an
  // empty log (StartOffset = EndOffset = 0x30, CurrentRecordNumber 1,
  // OldestRecordNumber 0), and the end-of-file record at 0x30 keeps the
  // offsets and numbers of the log before the clear.  Records added later
  // start again at 0x30 with number 1.
  bool clear();
  // Writes the header and ends the file; no records are taken after it.
  bool finish();
  // The file's bytes (in-memory writer, after finish()).
  std::vector<uint8_t> bytes() const;

  // The log as it stands (what the EOF record says).
  uint32_t oldest() const;
  uint32_t current() const;
  uint32_t start_offset() const;
  uint32_t end_offset() const;
  uint32_t flags() const;
  uint64_t file_size() const;
  uint64_t discarded() const;  // records overwritten so far

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// The file for `records`, written in memory.
std::vector<uint8_t> write_evt(const std::vector<EvtRecord> &records,
                               const EvtOptions &options = {});

}  // namespace vesk::tools

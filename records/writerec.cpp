// Turning one raw event record into the caller's row of eight values.
#include "records/writerec.h"

#include "api/context.h"
#include "messages/convert.h"
#include "platform/units.h"
#include "records/record.h"
#include "records/rowtime.h"

namespace {

// The text buffer of one conversion: the type word, the category text and
// the message text in turn.
constexpr DWORD kTextUnits = 32010;
// Insertion strings that a message takes (%1 to %99).
constexpr int kInsertionStrings = 99;
// FormatMessageW flags: the category and parameter texts as they stand; the
// event message with its inserts from the argument array.  Both with the
// width mask, under which the message's own soft line breaks are dropped.
constexpr DWORD kCategoryFlags = 0x0AFF;
constexpr DWORD kMessageFlags = 0x28FF;

const WCHAR kEmpty[] = {0};

LPCWSTR TypeWord(WORD type) {
  switch (type) {
    case 1:
      return VTEXT("Error");
    case 2:
      return VTEXT("Warning");
    case 4:
      return VTEXT("Information");
    case 8:
      return VTEXT("Success");
    case 16:
      return VTEXT("Failure");
    default:
      return VTEXT("?Invalid Type");
  }
}

// A slot whose text could not be copied holds a null BSTR, which Automation
// reads as empty: the loss is latched, so the row is not taken as whole.
void CheckCopied(CEvtLog *ctx, const VARIANT *slot, int index, DWORD units) {
  if (V_BSTR(slot) == nullptr && units != 0)
    ctx->SetError(VTEXT("SysAllocString failed, slot=%lu length=%lu"),
                  static_cast<DWORD>(index), units);
}

// Slot `index` as a BSTR with a copy of `text`.
void SetText(CEvtLog *ctx, VARIANT *row, int index, LPCWSTR text) {
  VARIANT *slot = &row[index];
  V_VT(slot) = VT_BSTR;
  V_BSTR(slot) = SysAllocString(text);
  if (V_BSTR(slot) == nullptr) {
    DWORD units = 0;
    while (text[units] != 0) ++units;
    CheckCopied(ctx, slot, index, units);
  }
}

// Slot `index` as a BSTR with a copy of a text of the record, which may end
// without its terminator at the end of the record; an absent text is empty.
void SetRecordText(CEvtLog *ctx, VARIANT *row, int index, const RecordText &t) {
  VARIANT *slot = &row[index];
  V_VT(slot) = VT_BSTR;
  if (t.terminated)
    V_BSTR(slot) = SysAllocString(t.text);
  else
    V_BSTR(slot) = SysAllocStringLen(t.text != nullptr ? t.text : kEmpty, t.units);
  CheckCopied(ctx, slot, index, t.units);
}

// A zero-terminated copy of a record text that has no terminator of its own,
// made only in that case and given back at the end of the conversion.
class TerminatedCopy {
 public:
  TerminatedCopy() = default;
  ~TerminatedCopy() {
    if (copy_ != nullptr) LocalFree(copy_);
  }
  TerminatedCopy(const TerminatedCopy &) = delete;
  TerminatedCopy &operator=(const TerminatedCopy &) = delete;

  // The text itself when it is terminated, "" when absent, else the copy
  // (or "" when no memory can be had for it).
  LPCWSTR Of(const RecordText &t) {
    if (t.text == nullptr) return kEmpty;
    if (t.terminated) return t.text;
    if (copy_ != nullptr) LocalFree(copy_);
    copy_ = static_cast<WCHAR *>(LocalAlloc(LMEM_FIXED, (t.units + 1) * sizeof(WCHAR)));
    if (copy_ == nullptr) return kEmpty;
    for (DWORD i = 0; i < t.units; ++i) copy_[i] = t.text[i];
    copy_[t.units] = 0;
    return copy_;
  }

 private:
  WCHAR *copy_ = nullptr;
};

// The fallback message: the fixed words, then the insertion strings with
// their semicolons written as spaces, joined by semicolons, cut so that the
// text and its terminator fit the buffer.  Returns its length.
DWORD Fallback(const RecordView &rec, WORD count, WCHAR *text) {
  static const char kWords[] = "Unable to format message. Insertion strings: ";
  DWORD n = 0;
  for (const char *w = kWords; *w != 0; ++w) text[n++] = static_cast<WCHAR>(*w);
  constexpr DWORD kLimit = kTextUnits - 1;
  DWORD offset = rec.u32(kRecordStringOffset);
  for (WORD k = 0; k < count && n < kLimit; ++k) {
    if (k != 0) text[n++] = u';';
    const RecordText s = rec.Text(offset);
    for (DWORD i = 0; i < s.units && n < kLimit; ++i)
      text[n++] = s.text[i] == u';' ? static_cast<WCHAR>(u' ') : s.text[i];
    offset = s.next;
  }
  text[n] = 0;
  return n;
}

// Slot `index` as a BSTR with a copy of text[0, units).
void SetTextOf(CEvtLog *ctx, VARIANT *row, int index, LPCWSTR text, DWORD units) {
  VARIANT *slot = &row[index];
  V_VT(slot) = VT_BSTR;
  V_BSTR(slot) = SysAllocStringLen(text, units);
  CheckCopied(ctx, slot, index, units);
}

}  // namespace

void writerec(CEvtLog *ctx, const BYTE *record, VARIANT *row) {
  for (int i = 0; i < kRowSlots; ++i) VariantClear(&row[i]);
  const RecordView rec(record);

  // Time: the local time at which the record was written, to 2 seconds.
  double date = 0;
  if (LocalVariantTime(rec.u32(kRecordTimeWritten), &date)) {
    V_VT(&row[kSlotTime]) = VT_DATE;
    V_DATE(&row[kSlotTime]) = date;
  }

  // Event number: the low 16 bits; the message lookup takes all 32.
  const DWORD event_id = rec.u32(kRecordEventId);
  V_VT(&row[kSlotEvent]) = VT_I4;
  V_I4(&row[kSlotEvent]) = static_cast<LONG>(event_id & 0xFFFF);

  // Source and computer: the two names after the fixed part.
  const RecordText source = rec.Text(kRecordSourceName);
  const RecordText computer = source.terminated ? rec.Text(source.next) : RecordText{};
  SetRecordText(ctx, row, kSlotSource, source);
  SetRecordText(ctx, row, kSlotComputer, computer);
  // Lookups take the name zero-terminated; a source entry keeps at most 99
  // characters of it, so a name cut by the record's end is copied that far.
  WCHAR source_copy[kSourceNameChars + 1];
  LPCWSTR name = source.terminated ? source.text : source_copy;
  if (!source.terminated) {
    DWORD n = 0;
    for (; n < source.units && n < static_cast<DWORD>(kSourceNameChars); ++n)
      source_copy[n] = source.text[n];
    source_copy[n] = 0;
  }

  // User: the account text, or an empty text for a record without a SID.
  // A SID the platform's SID calls would refuse (another revision, more than
  // 15 sub-authorities, bytes outside the record) is shown in numeric form
  // as far as it can be read, and reported; the rest of the row is filled.
  if (rec.u32(kRecordUserSidLength) != 0) {
    DWORD room = 0;
    const BYTE *sid = rec.SidBytes(&room);
    if (SidWellFormed(sid, room)) {
      LPCWSTR user = getuser(ctx, const_cast<BYTE *>(sid));
      if (user == nullptr) return;  // the row stays partly filled
      SetText(ctx, row, kSlotUser, user);
    } else {
      WCHAR numeric[kUserNameUnits];
      MalformedSidText(sid, room, numeric);
      ctx->SetError(VTEXT("malformed SID, record=%lu"), rec.u32(kRecordNumber));
      SetText(ctx, row, kSlotUser, numeric);
    }
  }
  if (V_VT(&row[kSlotUser]) == VT_EMPTY) {
    V_VT(&row[kSlotUser]) = VT_BSTR;
    V_BSTR(&row[kSlotUser]) = SysAllocStringLen(nullptr, 0);
  }

  // Type.
  SetText(ctx, row, kSlotType, TypeWord(rec.u16(kRecordEventType)));

  // Category: "None" for 0, else the source's category text.
  WCHAR text[kTextUnits];
  const WORD category = rec.u16(kRecordEventCategory);
  if (category == 0) {
    SetText(ctx, row, kSlotCategory, VTEXT("None"));
  } else {
    lstrcpyW(text, VTEXT("?Invalid Category"));
    // A failed attempt leaves the buffer as it was; the word is put back all
    // the same, so that no half-written text could reach the row.
    if (ctx->GetSource(name, kCategoryModule)
            ->FormatFrom(ctx, category, kCategoryFlags, text, kTextUnits, nullptr) == 0)
      lstrcpyW(text, VTEXT("?Invalid Category"));
    SetText(ctx, row, kSlotCategory, text);
  }

  // Message: the event text with the insertion strings, or the fallback.
  const WORD count = rec.u16(kRecordNumStrings);
  DWORD formatted = 0;
  if (count > kInsertionStrings) {
    ctx->SetError(VTEXT("too many parameter strings, num=%hu"), count);
  } else {
    const WCHAR *args[kInsertionStrings] = {};
    TerminatedCopy cut;  // at most one string runs into the end of the record
    DWORD offset = rec.u32(kRecordStringOffset);
    for (int k = 0; k < count; ++k) {
      bool percent = false;
      const RecordText s = rec.Text(offset, &percent);
      offset = s.next;
      LPCWSTR arg = cut.Of(s);
      if (percent) {
        LPCWSTR expanded = convert(ctx, name, k, arg);
        if (expanded != nullptr) arg = expanded;
      }
      args[k] = arg;
    }
    formatted = ctx->GetSource(name, kMessageModule)
                    ->FormatFrom(ctx, event_id, kMessageFlags, text, kTextUnits, args);
  }
  if (formatted == 0) formatted = Fallback(rec, count, text);
  // The text ends at its first terminator (an insert of character 0 may
  // have put one in); control characters other than tab, line feed and
  // carriage return become spaces.
  const auto units = static_cast<DWORD>(vesk::units::BlankControls(text, formatted));
  SetTextOf(ctx, row, kSlotMessage, text, units);
}

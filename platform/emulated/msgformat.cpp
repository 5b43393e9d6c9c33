// FormatMessageW's formatting, as Windows does it:
//   %0 ends the text, %n is CR LF, %r a CR, %t a TAB, %1..%99 an insert with
//   an optional !printf format! (default !s!), %x any other character x.
//   Line breaks in the text become CR LF under width byte 0 and one space
//   under any other width; widths 1-254 also wrap lines at spaces.
// Under IGNORE_INSERTS inserts and %x stay as written; %0 %n %r %t still act.
#include "platform/emulated/msgformat.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/emulated/internal.h"
#include "platform/units.h"

namespace vesk::emu {
namespace {

// Whether `value` is a readable address in this process's memory.  The
// probe asks the kernel to copy one byte from it into a local (it fails with
// EFAULT for a page that is not mapped or not readable, such as a
// sanitizer's reserved gap), so nothing is read through the pointer itself.
// Where that probe is not to be had, mincore tells whether a page is mapped
// at all.
bool is_address(uint64_t value) {
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  if (value < page || value > UINTPTR_MAX) return false;
#if defined(__linux__)
  unsigned char byte = 0;
  iovec local{};
  local.iov_base = &byte;
  local.iov_len = 1;
  iovec remote{};
  remote.iov_base = reinterpret_cast<void *>(static_cast<uintptr_t>(value));
  remote.iov_len = 1;
  if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1) return true;
  // A sandbox that refuses the call leaves mincore to judge.
  if (errno != EPERM && errno != ENOSYS) return false;
#endif
  unsigned char resident;
  void *start = reinterpret_cast<void *>(static_cast<uintptr_t>(value & ~(page - 1)));
  return mincore(start, static_cast<size_t>(page), &resident) == 0;
}

constexpr char16_t kCr = u'\r', kLf = u'\n', kTab = u'\t', kSpace = u' ';
constexpr unsigned kNoLimit = 0xFF;  // FORMAT_MESSAGE_MAX_WIDTH_MASK
// An ARGUMENT_ARRAY is read no further than this many elements (inserts 1 to
// 99): a caller cannot say how long its array is, and a width or precision
// taken from the array must not walk past the elements an insert can name.
constexpr int kArrayElements = 99;
// Inserts 1-99, and two more elements for a width and a precision.
constexpr int kListElements = 102;
// The longest text formatted under a wrapping width, in units; a longer one
// fails as too long for any buffer.
constexpr size_t kWrapLimit = 1u << 20;

// What ends a run of plain units when the width does not wrap: a NUL, '%',
// CR or LF, for one unit or, lane by lane, for a block of them.
struct RunEnd {
  template <class Units>
  auto operator()(Units c) const {
    return (c == 0) | (c == 0x25) | (c == 0x0D) | (c == 0x0A);
  }
};
constexpr RunEnd kRunEnd{};

// The output: the caller's buffer, one unit kept for the terminator, and the
// state of the current line for wrapping.
class Writer {
 public:
  Writer(WCHAR *buffer, size_t capacity, unsigned wrap)
      : start_(buffer),
        p_(buffer),
        end_(capacity ? buffer + capacity - 1 : buffer),
        line_(buffer),
        wrap_(wrap) {}

  bool put(char16_t c) {
    if (p_ == end_) return false;
    *p_++ = c;
    return true;
  }
  // As much of s[0, n) as fits; false when not all of it did.
  bool put(const char16_t *s, size_t n) {
    size_t room = static_cast<size_t>(end_ - p_);
    size_t k = n < room ? n : room;
    units::CopyUnits(p_, s, k);
    p_ += k;
    return k == n;
  }
  bool wrapping() const { return wrap_ != 0; }
  bool fill(char16_t c, uint64_t n) {
    for (; n > 0; --n)
      if (!put(c)) return false;
    return true;
  }
  bool crlf() {
    bool ok = put(kCr) && put(kLf);
    new_line();
    return ok;
  }
  void new_line() {
    line_ = p_;
    space_ = nullptr;
  }
  // A space or a converted line break: a place where a long line may break.
  bool space() {
    space_ = p_;
    return put(kSpace);
  }
  bool tab() {
    // A tab right after a break point moves the break point past itself.
    if (space_ != nullptr && space_ + 1 == p_) space_ = p_;
    return put(kTab);
  }

  // Breaks the current line when it has reached the wrap width: at its last
  // break point, dropping the blanks there, or else right here.
  bool wrap() {
    if (wrap_ == 0 || static_cast<size_t>(p_ - line_) < wrap_) return true;
    WCHAR *cut = p_, *next = p_;
    if (space_ != nullptr) {
      next = space_ + 1;
      cut = space_;
      while (cut > line_ && (cut[-1] == kSpace || cut[-1] == kTab)) --cut;
    }
    ptrdiff_t grow = 2 - (next - cut);
    if (grow > 0 && end_ - p_ < grow) return false;
    std::memmove(cut + 2, next, static_cast<size_t>(p_ - next) * sizeof(WCHAR));
    p_ += grow;
    cut[0] = kCr;
    cut[1] = kLf;
    line_ = cut + 2;
    space_ = nullptr;
    return true;
  }

  // Terminates the text; only for a buffer of at least one unit.
  size_t finish() {
    *p_ = 0;
    return static_cast<size_t>(p_ - start_);
  }

 private:
  WCHAR *start_, *p_, *end_, *line_;
  WCHAR *space_ = nullptr;
  size_t wrap_;
};

// The arguments of one call, fetched as Windows fetches them.
class Args {
 public:
  explicit Args(const MessageArgs &a) : a_(a) {}
  bool present() const { return a_.array != nullptr || a_.list != nullptr; }

  // The values for insert `nr` with `stars` widths/precisions before it, in
  // printf order.  False when they would lie past the array.  The `numbers`
  // first values are read as numbers (a width, a precision, the value of an
  // integer or character conversion).
  //
  // An argument array element that is read as a number but holds the
  // address of something in this process (the array of an event record's
  // insertion strings holds the addresses of its texts) gives, in place of
  // that address, its own position in the array (1 for the first element):
  // Windows would print the address, which differs from run to run and
  // tells where the texts lie in memory.  The same input thus always gives
  // the same text.
  // The element of insert `nr` of an argument array, read as a text (as
  // take(nr, 0, 0) reads it).
  uint64_t take_text(int nr) {
    if (last_ < nr) last_ = nr;
    return a_.array[nr - 1];
  }

  bool take(int nr, int stars, int numbers, uint64_t *values) {
    if (a_.array) {
      // The insert's own element first, then each further value from the
      // elements after the highest one used so far.
      int element[3];
      values[0] = a_.array[nr - 1];
      element[0] = nr;
      if (last_ < nr) last_ = nr;
      for (int k = 1; k <= stars; ++k) {
        if (last_ >= kArrayElements) return false;
        element[k] = last_ + 1;
        values[k] = a_.array[last_++];
      }
      for (int k = 0; k < numbers && k <= stars; ++k)
        if (is_address(values[k])) values[k] = static_cast<uint64_t>(element[k]);
      return true;
    }
    // va_list: arguments are fetched in order and kept, so an insert can be
    // used again; a width or precision shifts the following numbers (as
    // Windows counts them, so that %1!*.*u! is followed by %3).
    fetch(nr - 1);
    int n = nr, k = 0;
    for (; k < stars; ++k) {
      values[k] = fetch(n);
      n = -1;
    }
    if (n == -1) --last_;
    values[k] = fetch(n);
    return true;
  }

 private:
  uint64_t fetch(int nr) {
    if (nr == -1) nr = last_ + 1;
    if (nr > kListElements) nr = kListElements;
    while (nr > last_) list_[last_++] = va_arg(*a_.list, DWORD_PTR);
    return nr > 0 ? list_[nr - 1] : 0;
  }

  const MessageArgs &a_;
  int last_ = 0;
  uint64_t list_[kListElements];  // filled as the va_list is read
};

enum class Len { Default, Short, Long64, Wide, Narrow };

struct Conversion {
  bool left = false, plus = false, blank = false, zero = false, alt = false;
  bool width_star = false, precision_star = false;
  int64_t width = 0;
  int64_t precision = -1;
  Len len = Len::Default;
  char16_t type = 0;
};

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

int64_t number(const WCHAR *s, size_t *i, size_t end) {
  int64_t v = 0;
  while (*i < end && is_digit(s[*i])) {
    if (v < 100000000) v = v * 10 + (s[*i] - u'0');
    ++*i;
  }
  return v;
}

// Parses [flags][width][.precision][length]type from s[i, end).  Returns the
// index after the type, or `end + 1` when the format is not one this
// formatter knows.
size_t parse_conversion(const WCHAR *s, size_t i, size_t end, Conversion *conv) {
  for (; i < end; ++i) {
    char16_t c = s[i];
    if (c == u'-')
      conv->left = true;
    else if (c == u'+')
      conv->plus = true;
    else if (c == u' ')
      conv->blank = true;
    else if (c == u'0')
      conv->zero = true;
    else if (c == u'#')
      conv->alt = true;
    else
      break;
  }
  if (i < end && s[i] == u'*') {
    conv->width_star = true;
    ++i;
  } else {
    conv->width = number(s, &i, end);
  }
  if (i < end && s[i] == u'.') {
    ++i;
    if (i < end && s[i] == u'*') {
      conv->precision_star = true;
      ++i;
    } else {
      conv->precision = number(s, &i, end);
    }
  }
  // The size prefix, read as the printf behind FormatMessageW reads it:
  // I64 and ll are 64 bits, I32 the default, I alone pointer-sized (64 bits
  // here), h and hh 16 bits ("hh" is read as "h": that printf knows no 8-bit
  // size, so %1!hhx! with 0x12D687 gives d687), l and w wide.
  auto at = [&](size_t k) -> char16_t { return end - i > k ? s[i + k] : 0; };
  switch (at(0)) {
    case u'I':
      if (at(1) == u'6' && at(2) == u'4') {
        conv->len = Len::Long64;
        i += 3;
      } else if (at(1) == u'3' && at(2) == u'2') {
        conv->len = Len::Default;
        i += 3;
      } else {
        conv->len = Len::Long64;
        i += 1;
      }
      break;
    case u'l':
      conv->len = at(1) == u'l' ? Len::Long64 : Len::Wide;
      i += at(1) == u'l' ? 2 : 1;
      break;
    case u'h':
      conv->len = Len::Short;
      i += at(1) == u'h' ? 2 : 1;
      break;
    case u'w':
      conv->len = Len::Wide;
      i += 1;
      break;
    default:
      break;
  }
  if (i >= end) return end + 1;
  char16_t t = s[i];
  switch (t) {
    case u'd':
    case u'i':
    case u'u':
    case u'o':
    case u'x':
    case u'X':
    case u'p':
    case u's':
    case u'S':
    case u'c':
    case u'C':
      conv->type = t;
      return i + 1;
    default:
      return end + 1;
  }
}

// The emulated ANSI code page.
char16_t from_ansi(uint64_t byte) {
  return detail::ansi_to_unicode(static_cast<uint8_t>(byte));
}

bool put_padded_text(Writer &w, const Conversion &conv, const WCHAR *wide,
                     const char *narrow, size_t n) {
  uint64_t pad = static_cast<uint64_t>(conv.width) > n ? conv.width - n : 0;
  char16_t padc = conv.zero && !conv.left ? u'0' : kSpace;
  if (!conv.left && !w.fill(padc, pad)) return false;
  if (wide) {
    if (!w.put(wide, n)) return false;
  } else {
    for (size_t k = 0; k < n; ++k)
      if (!w.put(from_ansi(static_cast<unsigned char>(narrow[k])))) return false;
  }
  return conv.left ? w.fill(kSpace, pad) : true;
}

bool put_string(Writer &w, const Conversion &conv, uint64_t value, bool narrow) {
  static const char kNull[] = "(null)";
  const char *nptr = narrow ? reinterpret_cast<const char *>(value) : nullptr;
  const WCHAR *wptr = narrow ? nullptr : reinterpret_cast<const WCHAR *>(value);
  if (value == 0) {
    nptr = kNull;
    wptr = nullptr;
  }
  // At most `precision` units are read: the text need not end within them.
  size_t limit = conv.precision >= 0 ? static_cast<size_t>(conv.precision) : SIZE_MAX;
  size_t n = 0;
  if (wptr)
    n = limit == SIZE_MAX ? units::Length(wptr) : units::LengthWithin(wptr, limit);
  else
    while (n < limit && nptr[n] != 0) ++n;
  return put_padded_text(w, conv, wptr, nptr, n);
}

bool put_char(Writer &w, const Conversion &conv, uint64_t value, bool narrow) {
  WCHAR c = narrow ? from_ansi(value & 0xFF) : static_cast<WCHAR>(value & 0xFFFF);
  return put_padded_text(w, conv, &c, nullptr, 1);
}

bool put_integer(Writer &w, Conversion conv, uint64_t value) {
  bool is_signed = conv.type == u'd' || conv.type == u'i';
  bool negative = false;
  uint64_t magnitude = value;
  switch (conv.len) {
    case Len::Short:
      magnitude = is_signed ? static_cast<uint64_t>(static_cast<int16_t>(value))
                            : static_cast<uint16_t>(value);
      break;
    case Len::Long64:
      break;
    default:
      magnitude = is_signed ? static_cast<uint64_t>(static_cast<int32_t>(value))
                            : static_cast<uint32_t>(value);
      break;
  }
  if (conv.type == u'p') {
    // A pointer: all of its hexadecimal digits, in capitals.
    conv.precision = 2 * sizeof(void *);
    conv.alt = false;
    magnitude = value;
  }
  if (is_signed && static_cast<int64_t>(magnitude) < 0) {
    negative = true;
    magnitude = 0 - magnitude;
  }
  unsigned base = 10;
  const char *digits = "0123456789abcdef";
  if (conv.type == u'o') base = 8;
  if (conv.type == u'x') base = 16;
  if (conv.type == u'X' || conv.type == u'p') {
    base = 16;
    digits = "0123456789ABCDEF";
  }
  char16_t text[24];
  size_t n = 0;
  for (uint64_t v = magnitude; v != 0; v /= base) text[n++] = digits[v % base];
  char16_t prefix[2];
  size_t prefix_n = 0;
  if (negative)
    prefix[prefix_n++] = u'-';
  else if (is_signed && conv.plus)
    prefix[prefix_n++] = u'+';
  else if (is_signed && conv.blank)
    prefix[prefix_n++] = kSpace;
  if (conv.alt && magnitude != 0 && base == 16) {
    prefix[prefix_n++] = u'0';
    prefix[prefix_n++] = conv.type;
  }
  uint64_t precision = conv.precision >= 0 ? static_cast<uint64_t>(conv.precision) : 1;
  if (conv.alt && base == 8 && precision <= n) precision = n + 1;
  uint64_t zeros = precision > n ? precision - n : 0;
  uint64_t total = prefix_n + zeros + n;
  uint64_t pad = static_cast<uint64_t>(conv.width) > total ? conv.width - total : 0;
  bool zero_pad = conv.zero && !conv.left && conv.precision < 0;
  if (!conv.left && !zero_pad && !w.fill(kSpace, pad)) return false;
  if (!w.put(prefix, prefix_n)) return false;
  if (zero_pad && !w.fill(u'0', pad)) return false;
  if (!w.fill(u'0', zeros)) return false;
  for (size_t k = n; k > 0; --k)
    if (!w.put(text[k - 1])) return false;
  return conv.left ? w.fill(kSpace, pad) : true;
}

// An insert's number and the format between its bangs (from == to: none).
struct InsertMark {
  int nr = 0;
  size_t from = 0, to = 0;
};

// Reads an insert whose first digit `digit` lies just before text[*i]: a
// second digit, then an optional !format!; *i ends past it.  False for a
// format whose closing bang is missing.
bool read_insert(const WCHAR *text, size_t length, char16_t digit, size_t *i,
                 InsertMark *mark) {
  mark->nr = digit - u'0';
  if (*i < length && is_digit(text[*i])) mark->nr = mark->nr * 10 + (text[(*i)++] - u'0');
  mark->from = mark->to = *i;
  if (*i < length && text[*i] == u'!') {
    size_t close = *i + 1;
    while (close < length && text[close] != 0 && text[close] != u'!') ++close;
    if (close >= length || text[close] != u'!') return false;
    mark->from = *i + 1;
    mark->to = close;
    *i = close + 1;
  }
  return true;
}

enum class Outcome { Ok, Overflow, Invalid };

// Insert `nr` with its format s[from, to) (the text between the bangs, or
// empty for the default !s!).  `whole` is the insert as written, for a
// format this formatter does not know, which is copied through unchanged.
// Empty bangs (%1!!) make a printf format of a lone '%', which prints
// nothing: the argument is taken and nothing is written.
Outcome insert(Writer &w, Args &args, int nr, const WCHAR *s, size_t from, size_t to,
               const WCHAR *whole, size_t whole_n) {
  if (!args.present()) return Outcome::Invalid;
  Conversion conv;
  if (from == to && whole[whole_n - 1] == u'!') {
    uint64_t unused[3];
    return args.take(nr, 0, 0, unused) ? Outcome::Ok : Outcome::Invalid;
  }
  size_t after = from == to ? to : parse_conversion(s, from, to, &conv);
  if (from == to) conv.type = u's';
  if (after > to) return w.put(whole, whole_n) ? Outcome::Ok : Outcome::Overflow;
  int stars = (conv.width_star ? 1 : 0) + (conv.precision_star ? 1 : 0);
  uint64_t values[3] = {};
  // Every value but the text of a string conversion is a number.
  const bool text = conv.type == u's' || conv.type == u'S';
  if (!args.take(nr, stars, text ? stars : stars + 1, values)) return Outcome::Invalid;
  int k = 0;
  if (conv.width_star) {
    int32_t v = static_cast<int32_t>(values[k++]);
    if (v < 0) {
      conv.left = true;
      conv.width = -static_cast<int64_t>(v);
    } else {
      conv.width = v;
    }
  }
  if (conv.precision_star) {
    int32_t v = static_cast<int32_t>(values[k++]);
    conv.precision = v < 0 ? -1 : v;
  }
  uint64_t value = values[k];
  bool ok;
  switch (conv.type) {
    case u's':
      ok = put_string(w, conv, value, conv.len == Len::Short);
      break;
    case u'S':
      ok = put_string(w, conv, value, conv.len != Len::Wide);
      break;
    case u'c':
      ok = put_char(w, conv, value, conv.len == Len::Short);
      break;
    case u'C':
      ok = put_char(w, conv, value, conv.len != Len::Wide);
      break;
    default:
      ok = put_integer(w, conv, value);
      break;
  }
  if (!ok) return Outcome::Overflow;
  // Anything after the type within the bangs is plain text.
  return w.put(s + after, to - after) ? Outcome::Ok : Outcome::Overflow;
}

// Formats straight into `out`.  Exact for every width byte: under wrapping
// widths only while the text fits, since a break moves text already written.
DWORD format_direct(const WCHAR *text, size_t length, unsigned width, bool ignore_inserts,
                    const MessageArgs &margs, WCHAR *out, size_t capacity,
                    size_t *written) {
  Writer w(out, capacity, width == kNoLimit ? 0 : width);
  Args args(margs);
  *written = 0;
  auto overflow = [&]() -> DWORD {
    if (capacity > 0) w.finish();
    return ERROR_INSUFFICIENT_BUFFER;
  };
  size_t i = 0;
  while (i < length && text[i] != 0) {
    if (!w.wrapping()) {
      // Without wrapping, a run of plain characters (blanks included) goes
      // out as it is.
      const size_t j = i + units::Find(text + i, length - i, kRunEnd);
      if (j > i) {
        if (!w.put(text + i, j - i)) return overflow();
        i = j;
        continue;
      }
    }
    char16_t c = text[i++];
    bool ok = true;
    if (c == kCr || c == kLf) {
      // CR LF, a lone CR and a lone LF are each one line break.
      if (c == kCr && i < length && text[i] == kLf) ++i;
      ok = width == 0 ? w.crlf() : w.space();
    } else if (c == kSpace) {
      ok = w.space();
    } else if (c == kTab) {
      ok = w.tab();
    } else if (c != u'%') {
      ok = w.put(c);
    } else {
      // A failure other than the buffer's size leaves the units written so
      // far in the buffer, without a terminator, as Windows does.
      if (i >= length || text[i] == 0) return ERROR_INVALID_PARAMETER;
      char16_t e = text[i++];
      if (e == u'0') break;
      switch (e) {
        case u'n':
          ok = w.crlf();
          break;
        case u'r':
          ok = w.put(kCr);
          w.new_line();
          break;
        case u't':
          // A TAB under every width byte.
          ok = w.tab();
          break;
        default:
          if (ignore_inserts) {
            ok = w.put(u'%') && w.put(e);
          } else if (!is_digit(e)) {
            ok = w.put(e);
          } else {
            const size_t start = i - 2;
            InsertMark mark;
            if (!read_insert(text, length, e, &i, &mark)) return ERROR_INVALID_PARAMETER;
            Outcome step = insert(w, args, mark.nr, text, mark.from, mark.to,
                                  text + start, i - start);
            if (step == Outcome::Invalid) return ERROR_INVALID_PARAMETER;
            ok = step == Outcome::Ok;
          }
          break;
      }
    }
    if (!ok || !w.wrap()) return overflow();
  }
  if (capacity == 0) return ERROR_INSUFFICIENT_BUFFER;
  *written = w.finish();
  return 0;
}

}  // namespace

bool MessagePlan::build(const WCHAR *text, size_t length, unsigned width,
                        bool ignore_inserts) {
  steps_.clear();
  width &= 0xFF;
  if ((width != 0 && width != kNoLimit) || length > UINT32_MAX) return false;
  auto add = [&](Step step) {
    if (steps_.size() == kMostSteps) return false;
    steps_.push_back(step);
    return true;
  };
  auto units = [](char16_t a, char16_t b = 0) {
    Step step;
    step.kind = Step::kUnits;
    step.count = b != 0 ? 2 : 1;
    step.units[0] = a;
    step.units[1] = b;
    return step;
  };
  auto fail = [&]() {
    steps_.clear();
    return false;
  };
  Step crlf;
  crlf.kind = Step::kCrlf;
  size_t i = 0;
  // The same reading of the text as format_direct's, step by step.
  while (i < length && text[i] != 0) {
    const size_t j = i + units::Find(text + i, length - i, kRunEnd);
    if (j > i) {
      Step run;
      run.at = static_cast<uint32_t>(i);
      run.n = static_cast<uint32_t>(j - i);
      if (!add(run)) return fail();
      i = j;
      continue;
    }
    const char16_t c = text[i++];
    if (c == kCr || c == kLf) {
      if (c == kCr && i < length && text[i] == kLf) ++i;
      if (!add(width == 0 ? crlf : units(kSpace))) return fail();
      continue;
    }
    // c is '%'.
    if (i >= length || text[i] == 0) {
      Step invalid;
      invalid.kind = Step::kInvalid;
      return add(invalid) || fail();
    }
    const char16_t e = text[i++];
    if (e == u'0') break;
    bool ok;
    switch (e) {
      case u'n':
        ok = add(crlf);
        break;
      case u'r':
        ok = add(units(kCr));
        break;
      case u't':
        ok = add(units(kTab));
        break;
      default:
        if (ignore_inserts) {
          ok = add(units(u'%', e));
        } else if (!is_digit(e)) {
          ok = add(units(e));
        } else {
          Step inserted;
          inserted.kind = Step::kInsert;
          const size_t start = i - 2;
          InsertMark mark;
          if (!read_insert(text, length, e, &i, &mark)) {
            Step invalid;
            invalid.kind = Step::kInvalid;
            return add(invalid) || fail();
          }
          if (mark.from == mark.to && text[i - 1] != u'!')
            inserted.kind = Step::kPlainInsert;
          inserted.nr = static_cast<uint8_t>(mark.nr);
          inserted.at = static_cast<uint32_t>(start);
          inserted.n = static_cast<uint32_t>(i - start);
          inserted.from = static_cast<uint32_t>(mark.from);
          inserted.to = static_cast<uint32_t>(mark.to);
          ok = add(inserted);
        }
        break;
    }
    if (!ok) return fail();
  }
  return true;
}

DWORD MessagePlan::run(const WCHAR *text, const MessageArgs &margs, WCHAR *out,
                       size_t capacity, size_t *written) const {
  Writer w(out, capacity, 0);
  Args args(margs);
  *written = 0;
  for (const Step &step : steps_) {
    bool ok = true;
    switch (step.kind) {
      case Step::kRun:
        ok = w.put(text + step.at, step.n);
        break;
      case Step::kUnits:
        ok = w.put(step.units[0]) && (step.count < 2 || w.put(step.units[1]));
        break;
      case Step::kCrlf:
        ok = w.crlf();
        break;
      case Step::kPlainInsert:
        if (margs.array != nullptr) {
          // What insert() does for such an insert, without reading a format.
          static const Conversion kText = [] {
            Conversion c;
            c.type = u's';
            return c;
          }();
          ok = put_string(w, kText, args.take_text(step.nr), false);
          break;
        }
        [[fallthrough]];
      case Step::kInsert: {
        const Outcome result =
            insert(w, args, step.nr, text, step.from, step.to, text + step.at, step.n);
        if (result == Outcome::Invalid) return ERROR_INVALID_PARAMETER;
        ok = result == Outcome::Ok;
        break;
      }
      case Step::kInvalid:
        return ERROR_INVALID_PARAMETER;
    }
    if (!ok) {
      if (capacity > 0) w.finish();
      return ERROR_INSUFFICIENT_BUFFER;
    }
  }
  if (capacity == 0) return ERROR_INSUFFICIENT_BUFFER;
  *written = w.finish();
  return 0;
}

DWORD format_growing(const WCHAR *text, size_t length, unsigned width,
                     bool ignore_inserts, const MessageArgs &args,
                     std::vector<WCHAR> &scratch, size_t limit, size_t *written) {
  width &= 0xFF;
  if (scratch.size() < 256) scratch.resize(256);
  DWORD code;
  for (;;) {
    // Each try reads a copy of a va_list, so that a longer try starts again
    // from the first argument.
    va_list copy;
    MessageArgs attempt = args;
    if (args.list) {
      va_copy(copy, *args.list);
      attempt.list = &copy;
    }
    code = format_direct(text, length, width, ignore_inserts, attempt, scratch.data(),
                         scratch.size(), written);
    if (args.list) va_end(copy);
    if (code != ERROR_INSUFFICIENT_BUFFER || scratch.size() > limit) break;
    scratch.resize(scratch.size() * 2);
  }
  // Once more on the caller's own va_list, which Windows leaves consumed.
  if (code == 0 && args.list)
    code = format_direct(text, length, width, ignore_inserts, args, scratch.data(),
                         scratch.size(), written);
  return code;
}

DWORD format_message(const WCHAR *text, size_t length, unsigned width,
                     bool ignore_inserts, const MessageArgs &args, WCHAR *out,
                     size_t capacity, size_t *written) {
  width &= 0xFF;
  *written = 0;
  if (width == 0 || width == kNoLimit)
    return format_direct(text, length, width, ignore_inserts, args, out, capacity,
                         written);
  // Wrapping: the whole text is formatted apart, then as much of it copied as
  // fits, so that a too-small buffer holds the beginning of the same text.
  // A text well past the buffer's size fails however it goes on, so the
  // formatting stops there too (the beginning kept is then exact unless a
  // single line is longer than the buffer).
  thread_local std::vector<WCHAR> scratch;
  size_t limit = std::min(kWrapLimit, std::max<size_t>(2 * capacity + 1024, 4096));
  size_t n = 0;
  DWORD code =
      format_growing(text, length, width, ignore_inserts, args, scratch, limit, &n);
  if (code != 0 && code != ERROR_INSUFFICIENT_BUFFER) return code;
  if (code == 0 && n < capacity) {
    std::memcpy(out, scratch.data(), (n + 1) * sizeof(WCHAR));
    *written = n;
    return 0;
  }
  if (capacity > 0) {
    std::memcpy(out, scratch.data(), (capacity - 1) * sizeof(WCHAR));
    out[capacity - 1] = 0;
  }
  return ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace vesk::emu

// UTF-16 code units to UTF-8, as the walk turns every text of a row into
// UTF-8.  An unpaired surrogate becomes U+FFFD.
#pragma once

#include <cstddef>
#include <string>

namespace vesk::walk {

// Appends the UTF-8 form of `n` units at `text`.  Runs of ASCII (nearly all
// of an event log's text) are converted four units at a time into space
// reserved at once.
void append_utf8(std::string &out, const char16_t *text, size_t n);

// The same for `n` units stored little-endian at `bytes`, which need not be
// aligned (the strings inside a raw record).
void append_utf8_le(std::string &out, const unsigned char *bytes, size_t n);

// The same one unit at a time: the reference that append_utf8 must match.
void append_utf8_scalar(std::string &out, const char16_t *text, size_t n);

}  // namespace vesk::walk

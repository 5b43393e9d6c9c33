// Several logs as one timeline: the raw records of every log are scanned
// once for their write times (12 bytes kept per selected record, whatever
// its text), sorted, and each row is read again by number in that order.
#include <algorithm>

#include "walk/walk.h"

namespace vesk::walk {

namespace {

struct Key {
  uint32_t time;    // time written; 0 for a record that could not be read
  uint32_t log;     // the log's place in the list
  uint32_t number;  // record number
};
static_assert(sizeof(Key) == 12);

bool before(const Key &a, const Key &b) {
  if (a.time != b.time) return a.time < b.time;
  if (a.log != b.log) return a.log < b.log;
  return a.number < b.number;
}

}  // namespace

struct Merge::Impl {
  std::vector<std::unique_ptr<Log>> logs;
  bool reverse = false;
  bool scanned = false;
  std::vector<Key> keys;
  size_t next = 0;
  Record scratch;

  void scan() {
    scanned = true;
    // One key per record in the logs' ranges at most: reserved at once, so
    // the vector does not double past what the logs hold.
    uint64_t most = 0;
    for (const auto &log : logs) most += log->span();
    keys.reserve(static_cast<size_t>(most));
    for (size_t i = 0; i < logs.size(); ++i)
      while (logs[i]->next_raw(scratch))
        keys.push_back(Key{scratch.has_raw ? scratch.raw.time_written : 0u,
                           static_cast<uint32_t>(i), scratch.number});
    if (reverse)
      std::sort(keys.begin(), keys.end(),
                [](const Key &a, const Key &b) { return before(b, a); });
    else
      std::sort(keys.begin(), keys.end(), before);
    keys.shrink_to_fit();
  }
};

Merge::Merge(std::vector<std::unique_ptr<Log>> logs, bool reverse)
    : impl_(std::make_unique<Impl>()) {
  impl_->logs = std::move(logs);
  impl_->reverse = reverse;
}

Merge::~Merge() = default;

bool Merge::next(Record &out) {
  if (!impl_->scanned) impl_->scan();
  while (impl_->next < impl_->keys.size()) {
    const Key k = impl_->keys[impl_->next++];
    if (impl_->logs[k.log]->read(k.number, out, true)) return true;
  }
  return false;
}

const std::vector<std::unique_ptr<Log>> &Merge::logs() const { return impl_->logs; }

uint64_t Merge::total() const { return impl_->keys.size(); }

}  // namespace vesk::walk

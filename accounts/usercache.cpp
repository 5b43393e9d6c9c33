#include "accounts/usercache.h"

#include <new>

CUserCache::~CUserCache() { Release(); }

bool CUserCache::Alloc(DWORD count) {
  Release();
  slots_ = new (std::nothrow) CUserSlot[count];
  if (slots_ == nullptr) return false;
  count_ = count;
  for (DWORD i = 0; i < count_; ++i) {
    slots_[i].sid = nullptr;
    slots_[i].name[0] = 0;
    slots_[i].last_use = 0;
  }
  return true;
}

void CUserCache::Release() {
  for (DWORD i = 0; i < count_; ++i)
    if (slots_[i].last_use != 0 && slots_[i].sid != nullptr) LocalFree(slots_[i].sid);
  delete[] slots_;
  slots_ = nullptr;
  count_ = 0;
}

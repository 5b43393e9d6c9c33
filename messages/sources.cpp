#include "messages/sources.h"

void CEvtModule::Release() {
  if (module != nullptr) FreeLibrary(module);
  module = nullptr;
  if (path != nullptr) LocalFree(path);
  path = nullptr;
}

void CEvtSource::Release() {
  if (name != nullptr) LocalFree(name);
  name = nullptr;
  while (failed != nullptr) {
    CEvtFailed *f = failed;
    failed = f->next;
    delete f;
  }
  while (modules != nullptr) {
    CEvtModuleRef *r = modules;
    modules = r->next;
    delete r;
  }
}

void ReleaseModules(CEvtModule **list) {
  while (*list != nullptr) {
    CEvtModule *m = *list;
    *list = m->next;
    m->Release();
    delete m;
  }
}

void ReleaseSources(CEvtSource **list) {
  while (*list != nullptr) {
    CEvtSource *s = *list;
    *list = s->next;
    s->Release();
    delete s;
  }
}

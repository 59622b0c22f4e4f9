#include "core/KvBase.h"

#include <cstring>

KvBaseClass::~KvBaseClass() = default;

int KvBaseClass::IsClass(const char* name) const {
  if (name == nullptr) return 0;
  return std::strcmp(GetClassName(), name) == 0 ? 1 : 0;
}

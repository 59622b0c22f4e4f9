// Root of the library's polymorphic classes and the two-valued Boolean of
// every interface.
#pragma once

#include <cstdint>

enum Boolean : int32_t { False = 0, True = 1 };

// Every polymorphic library object derives from this class. The valid flag is
// 1 after construction and 0 after a constructor or operation ran out of
// memory; factories destroy and refuse objects whose flag is 0.
class KvBaseClass {
 public:
  KvBaseClass() = default;
  virtual ~KvBaseClass();
  virtual uint32_t GetClassId() const = 0;
  virtual const char* GetClassName() const = 0;
  // Non-zero exactly when name equals GetClassName() (case-sensitive; a
  // derived class is not IsClass of its parent's name).
  virtual int IsClass(const char* name) const;

  uint32_t IsValid() const { return valid_; }

 protected:
  void SetValid(uint32_t valid) { valid_ = valid; }

  uint32_t valid_ = 1;
};

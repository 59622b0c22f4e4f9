// Feature parameter sets: W, F, O, C and named parameters, with their
// command-line ("W=%f:F=%c:O=%d:C=%d:P...") and query-string forms.
#pragma once

#include <cstdint>

#include "core/KvBase.h"
#include "core/KvDatum.h"

class KvParameterClass : public KvBaseClass {
 public:
  KvParameterClass();
  ~KvParameterClass() override;
  KvParameterClass(const KvParameterClass&) = delete;
  // Copies W, F, O, C and every named parameter with its number.
  KvParameterClass& operator=(const KvParameterClass& source);

  uint32_t GetClassId() const override { return 558797; }
  const char* GetClassName() const override { return "KvParameterClass"; }

  double GetW() const { return w_; }
  void SetW(double w) { w_ = w; }
  Boolean GetF() const { return f_; }
  void SetF(Boolean f) { f_ = f; }
  int32_t GetO() const { return o_; }
  void SetO(int32_t o) { o_ = o; }
  int32_t GetC() const { return c_; }
  void SetC(int32_t c) { c_ = c; }

  // Replaces the value of an existing name or appends a new parameter. -1
  // (and the object becomes invalid) when a copy cannot be made.
  int SetParameter(const char* name, const char* value);
  // The value text for name, or null.
  const char* GetParameter(const char* name) const;
  // Stores the numeric form of an existing parameter: 0, or 1 when absent.
  int SetParameterNumber(const char* name, double number);
  // The numeric form of name into *number: 0, or 1 when absent.
  int GetParameterNumber(const char* name, double* number) const;
  int ReAllocateStorage(uint32_t index);

  uint32_t GetCount() const { return count_; }
  const char* GetName(uint32_t i) const { return i < count_ ? names_[i] : nullptr; }
  const char* GetValue(uint32_t i) const { return i < count_ ? values_[i] : nullptr; }
  double GetNumber(uint32_t i) const { return i < count_ ? numbers_[i] : 0.0; }

  int ToCommandLineString(KvDatumClass& out) const;
  // 0 at the end of the text, 1 for an item that starts with an unknown
  // letter, -1 when a parameter cannot be stored or the text would give the
  // set more than 1024 named parameters (items read before stay applied).
  int FromCommandLineString(const char* text);
  int FromCommandLineString(const KvDatumClass& in);
  int ToQueryString(KvDatumClass& out) const;
  int FromQueryString(const KvDatumClass& in);
  int FromQueryStringInFile(const char* fileName);

 private:
  double w_ = 1.0;
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
  char** values_ = nullptr;
  char** names_ = nullptr;
  double* numbers_ = nullptr;
  int32_t o_ = 0;
  int32_t c_ = 0;
  Boolean f_ = False;
};

// Feature parameter sets and their text forms.
#include "data/KvParameter.h"
#include "core/KvRegularFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

#include "core/KvEnv.h"
#include "core/KvError.h"

namespace {

constexpr uint32_t kSlotStep = 16;
constexpr size_t kMaxWord = 255;
// Most named parameters a text may give a set: feature parameter sets hold a
// handful, and storage grows 16 slots at a time, so an unbounded list would
// cost time quadratic in its length.
constexpr uint32_t kMaxNamedFromText = 1024;
// A parameter file larger than this is not a parameter file.
constexpr long kMaxParameterFile = 16L << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The first blank-free word of [begin, end), at most 255 characters.
std::string FirstWord(const char* begin, const char* end) {
  while (begin < end && IsBlank(*begin)) ++begin;
  const char* stop = begin;
  while (stop < end && !IsBlank(*stop)) ++stop;
  if (static_cast<size_t>(stop - begin) > kMaxWord) stop = begin + kMaxWord;
  return std::string(begin, stop);
}

// Text after the item letter and its '=' (or whatever stands in its place).
const char* ValueText(const char* item) { return item[1] != '\0' ? item + 2 : item + 1; }

// Reads the value of a W, F, O or C item: the text up to the next ':' (an
// empty value is 0). False, with the error recorded at severity 1, when it is
// not a number (or, with integer, not a whole number): a weight read from
// "abc" as 0 would silently rank every image alike.
bool ReadNumber(const char* item, bool integer, double* out) {
  const char* text = ValueText(item);
  const char* end = text;
  while (*end != '\0' && *end != ':') ++end;
  const std::string value(text, end);
  size_t first = 0;
  while (first < value.size() && IsBlank(value[first])) ++first;
  if (first == value.size()) {
    *out = 0.0;
    return true;
  }
  const char* start = value.c_str() + first;
  char* stop = nullptr;
  const double v = integer ? static_cast<double>(std::strtoll(start, &stop, 10)) : std::strtod(start, &stop);
  while (stop != nullptr && IsBlank(*stop)) ++stop;
  if (stop == start || stop == nullptr || *stop != '\0') {
    const std::string text = std::string("KvParameterClass::FromCommandLineString: ") + item[0] + "=" + value +
                             (integer ? " is not a whole number" : " is not a number");
    KvError(KERR_General, KERR_Fatal, text.c_str());
    return false;
  }
  *out = v;
  return true;
}

// A whole number cut to the 32-bit range.
int32_t ClampInt(double v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace

KvParameterClass::KvParameterClass() {
  values_ = static_cast<char**>(KvCNew(kSlotStep, sizeof(char*), "KvParameterClass()", KERR_Fatal));
  names_ = static_cast<char**>(KvCNew(kSlotStep, sizeof(char*), "KvParameterClass()", KERR_Fatal));
  numbers_ = static_cast<double*>(KvCNew(kSlotStep, sizeof(double), "KvParameterClass()", KERR_Fatal));
  if (values_ == nullptr || names_ == nullptr || numbers_ == nullptr) {
    valid_ = 0;
  } else {
    capacity_ = kSlotStep;
  }
}

KvParameterClass::~KvParameterClass() {
  for (uint32_t i = 0; i < count_; ++i) {
    KvDelete(names_[i]);
    KvDelete(values_[i]);
  }
  KvDelete(values_);
  KvDelete(names_);
  KvDelete(numbers_);
}

int KvParameterClass::ReAllocateStorage(uint32_t index) {
  if (!valid_) return -1;
  if (index < capacity_) return 0;
  const uint32_t capacity = capacity_ + kSlotStep;
  const char* tag = "KvParameterClass::ReAllocateStorage()";
  char** values = static_cast<char**>(KvCNew(capacity, sizeof(char*), tag, KERR_Fatal));
  char** names = values != nullptr ? static_cast<char**>(KvCNew(capacity, sizeof(char*), tag, KERR_Fatal))
                                   : nullptr;
  double* numbers =
      names != nullptr ? static_cast<double*>(KvCNew(capacity, sizeof(double), tag, KERR_Fatal)) : nullptr;
  if (numbers == nullptr) {
    KvDelete(values);
    KvDelete(names);
    return -1;
  }
  std::memcpy(values, values_, capacity_ * sizeof(char*));
  std::memcpy(names, names_, capacity_ * sizeof(char*));
  std::memcpy(numbers, numbers_, capacity_ * sizeof(double));
  KvDelete(values_);
  KvDelete(names_);
  KvDelete(numbers_);
  values_ = values;
  names_ = names;
  numbers_ = numbers;
  capacity_ = capacity;
  return 0;
}

int KvParameterClass::SetParameter(const char* name, const char* value) {
  if (!valid_ || name == nullptr) return -1;
  if (value == nullptr) value = "";
  for (uint32_t i = 0; i < count_; ++i) {
    if (std::strcmp(names_[i], name) == 0) {
      char* copy = KvStrDup(value, 0);
      if (copy == nullptr) {
        valid_ = 0;
        return -1;
      }
      KvDelete(values_[i]);
      values_[i] = copy;
      return 0;
    }
  }
  if (ReAllocateStorage(count_) != 0) return -1;
  char* nameCopy = KvStrDup(name, 0);
  char* valueCopy = nameCopy != nullptr ? KvStrDup(value, 0) : nullptr;
  if (valueCopy == nullptr) {
    KvDelete(nameCopy);
    valid_ = 0;
    return -1;
  }
  names_[count_] = nameCopy;
  values_[count_] = valueCopy;
  numbers_[count_] = 0.0;
  ++count_;
  return 0;
}

const char* KvParameterClass::GetParameter(const char* name) const {
  if (name == nullptr) return nullptr;
  for (uint32_t i = 0; i < count_; ++i) {
    if (std::strcmp(names_[i], name) == 0) return values_[i];
  }
  return nullptr;
}

int KvParameterClass::SetParameterNumber(const char* name, double number) {
  if (name == nullptr) return 1;
  for (uint32_t i = 0; i < count_; ++i) {
    if (std::strcmp(names_[i], name) == 0) {
      numbers_[i] = number;
      return 0;
    }
  }
  return 1;
}

int KvParameterClass::GetParameterNumber(const char* name, double* number) const {
  if (name == nullptr) return 1;
  for (uint32_t i = 0; i < count_; ++i) {
    if (std::strcmp(names_[i], name) == 0) {
      if (number != nullptr) *number = numbers_[i];
      return 0;
    }
  }
  return 1;
}

KvParameterClass& KvParameterClass::operator=(const KvParameterClass& source) {
  if (&source == this) return *this;
  w_ = source.w_;
  f_ = source.f_;
  o_ = source.o_;
  c_ = source.c_;
  for (uint32_t i = 0; i < source.count_; ++i) {
    if (SetParameter(source.names_[i], source.values_[i]) != 0) break;
    SetParameterNumber(source.names_[i], source.numbers_[i]);
  }
  return *this;
}

int KvParameterClass::ToCommandLineString(KvDatumClass& out) const {
  // "%f" of a large weight takes up to 317 characters: the head is sized
  // from what it prints, so no weight is ever cut short.
  const char* format = "W=%f:F=%c:O=%d:C=%d:P";
  const char f = f_ ? '1' : '0';
  const int headLength = std::snprintf(nullptr, 0, format, w_, f, o_, c_);
  if (headLength < 0) return -1;
  std::string text(static_cast<size_t>(headLength) + 1, '\0');
  std::snprintf(&text[0], text.size(), format, w_, f, o_, c_);
  text.resize(static_cast<size_t>(headLength));
  for (uint32_t i = 0; i < count_; ++i) {
    if (i > 0) text += ',';
    text += names_[i];
    text += '=';
    text += values_[i];
  }
  char* buffer = static_cast<char*>(
      KvNew(text.size() + 1, "KvParameterClass::ToCommandLineString", KERR_Fatal));
  if (buffer == nullptr) return -1;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  out.SetBytes(text.size(), reinterpret_cast<unsigned char*>(buffer), KvOwnKvDelete);
  return 0;
}

int KvParameterClass::FromCommandLineString(const char* text) {
  if (text == nullptr) return 0;
  // Slots of the names held, so that a long list of pairs is read in time
  // proportional to its length (SetParameter looks names up one by one).
  std::unordered_map<std::string, uint32_t> slots;
  bool indexed = false;
  auto store = [&](const std::string& name, const std::string& value) {
    if (!indexed) {
      for (uint32_t i = 0; i < count_; ++i) slots.emplace(names_[i], i);
      indexed = true;
    }
    const auto found = slots.find(name);
    if (found != slots.end()) {
      char* copy = KvStrDup(value.c_str(), 0);
      if (copy == nullptr) {
        valid_ = 0;
        return -1;
      }
      KvDelete(values_[found->second]);
      values_[found->second] = copy;
      return 0;
    }
    if (count_ >= kMaxNamedFromText) {
      KvError(KERR_General, KERR_NonFatal,
              "KvParameterClass::FromCommandLineString: more than 1024 named parameters");
      return -1;
    }
    if (SetParameter(name.c_str(), value.c_str()) != 0) return -1;
    slots.emplace(name, count_ - 1);
    return 0;
  };
  try {
    const char* p = text;
    while (*p != '\0') {
      switch (*p) {
        case 'W':
        case 'F':
        case 'O':
        case 'C': {
          double v = 0.0;
          if (!ReadNumber(p, *p != 'W', &v)) return -1;
          if (*p == 'W') w_ = v;
          if (*p == 'F') f_ = ClampInt(v) != 0 ? True : False;
          if (*p == 'O') o_ = ClampInt(v);
          if (*p == 'C') c_ = ClampInt(v);
          break;
        }
        case 'P': {
          const char* q = p + 1;
          while (*q != '\0' && *q != ':') {
            const char* end = q;
            while (*end != '\0' && *end != ',' && *end != ':') ++end;
            const char* eq = static_cast<const char*>(std::memchr(q, '=', static_cast<size_t>(end - q)));
            const std::string name = FirstWord(q, eq != nullptr ? eq : end);
            const std::string value = eq != nullptr ? FirstWord(eq + 1, end) : std::string();
            // A pair without a name carries nothing; a name without '=' gets
            // an empty value.
            if (!name.empty() && store(name, value) != 0) return -1;
            q = end;
            if (*q == ',') ++q;
          }
          p = q;
          break;
        }
        default:
          return 1;
      }
      while (*p != '\0' && *p != ':') ++p;
      if (*p == ':') ++p;
    }
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, -1, "KvParameterClass::FromCommandLineString");
    return -1;
  }
  return 0;
}

int KvParameterClass::FromCommandLineString(const KvDatumClass& in) {
  unsigned long size = 0;
  const char* bytes = nullptr;
  in.GetBytes(size, bytes);
  if (bytes == nullptr || size == 0) return 0;
  const void* nul = std::memchr(bytes, '\0', size);
  const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : size;
  const std::string text(bytes, length);
  return FromCommandLineString(text.c_str());
}

int KvParameterClass::ToQueryString(KvDatumClass& out) const {
  KvDatumClass line;
  if (ToCommandLineString(line) != 0) return -1;
  const size_t length = line.Size();
  char* buffer = static_cast<char*>(KvNew(length + 10, "KvParameterClass::ToQueryString", KERR_Fatal));
  if (buffer == nullptr) return -1;
  std::memcpy(buffer, "< ", 2);
  std::memcpy(buffer + 2, line.Data(), length);
  std::memcpy(buffer + 2 + length, " >", 3);
  out.SetBytes(length + 5, reinterpret_cast<unsigned char*>(buffer), KvOwnKvDelete);
  return 0;
}

int KvParameterClass::FromQueryString(const KvDatumClass& in) {
  unsigned long size = 0;
  const char* bytes = nullptr;
  in.GetBytes(size, bytes);
  if (bytes == nullptr || size == 0) return 0;
  const char* p = bytes;
  const char* end = bytes + size;
  while (p < end && IsBlank(*p)) ++p;
  if (p == end || *p == '\0') return 0;
  if (*p != '<') {
    KvError(KERR_General, KERR_NonFatal, "KvParameterClass::FromQueryString: parameter text must begin with <");
    return -1;
  }
  ++p;
  while (p < end && IsBlank(*p)) ++p;
  const char* stop = p;
  while (stop < end && *stop != '\0' && !IsBlank(*stop)) ++stop;
  std::string word(p, stop);
  // "< >" carries no parameters.
  if (word.empty() || word == ">") return 0;
  return FromCommandLineString(word.c_str());
}

int KvParameterClass::FromQueryStringInFile(const char* fileName) {
  if (fileName == nullptr) return -1;
  FILE* file = KvOpenRegularFile(fileName, "rb");
  if (file == nullptr) return -1;
  long length = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
  if (length < 0 || length > kMaxParameterFile || std::fseek(file, 0, SEEK_SET) != 0) {
    std::fclose(file);
    if (length > kMaxParameterFile) {
      KvError(KERR_General, KERR_NonFatal, "KvParameterClass::FromQueryStringInFile: file too large");
    }
    return -1;
  }
  char* buffer = static_cast<char*>(
      KvNew(static_cast<size_t>(length) + 1, "KvParameterClass::FromQueryStringInFile", KERR_Fatal));
  if (buffer == nullptr) {
    std::fclose(file);
    return -1;
  }
  const size_t got = std::fread(buffer, 1, static_cast<size_t>(length), file);
  std::fclose(file);
  buffer[got] = '\0';
  KvDatumClass in;
  in.SetBytes(got + 1, reinterpret_cast<unsigned char*>(buffer), KvOwnKvDelete);
  return FromQueryString(in);
}

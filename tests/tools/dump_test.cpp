// Table dumps of the command library: text or hex forms of raw records, and
// records decoded by a feature, against an in-memory table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "KivoWrap.h"
#include "core/KvError.h"
#include "features/KvFeature.h"
#include "storage/KvConnect.h"

namespace {

using Record = std::pair<std::string, std::string>;

// Walks a fixed list of records; can be told to fail at one step.
class FakeIterator : public KvDbIteratorClass {
 public:
  FakeIterator(std::vector<Record> records, int failAt) : records_(std::move(records)), failAt_(failAt) {}
  uint32_t GetClassId() const override { return 543976; }
  const char* GetClassName() const override { return "FakeIterator"; }
  int HasCurrent() override { return position_ < records_.size(); }
  int First() override {
    position_ = 0;
    return records_.empty() ? 1 : 0;
  }
  int Next(KvDatumClass& key, KvDatumClass& data, int mode) override {
    if (mode != 1 || position_ >= records_.size()) return -1;
    if (static_cast<int>(position_) == failAt_) {
      KvError(KERR_General, KERR_Fatal, "iterator step failed");
      ++position_;
      return -1;
    }
    const Record& r = records_[position_++];
    key.CopyBytes(r.first.data(), r.first.size(), "FakeIterator");
    data.CopyBytes(r.second.data(), r.second.size(), "FakeIterator");
    return 0;
  }
  int NextView(KvDatumClass& key, KvDatumClass& data) override { return Next(key, data, 1); }

 private:
  std::vector<Record> records_;
  size_t position_ = 0;
  int failAt_;
};

class FakeTable : public KvDatabaseClass {
 public:
  explicit FakeTable(std::vector<Record> records, int failAt = -1)
      : KvDatabaseClass(nullptr), records_(std::move(records)), failAt_(failAt) {}
  uint32_t GetClassId() const override { return 452398; }
  const char* GetClassName() const override { return "FakeTable"; }
  int Open(const char*, const char*) override { return 0; }
  int OpenForWrite(const char*) override { return 0; }
  int Close() override { return 0; }
  int Remove() override { return 0; }
  int Sync() override { return 0; }
  int Insert(const KvDatumClass&, const KvDatumClass&) override { return -1; }
  int Update(const KvDatumClass&, const KvDatumClass&, Boolean) override { return -1; }
  int Get(const KvDatumClass&, KvDatumClass&) override { return 1; }
  int Delete(const KvDatumClass&) override { return 1; }
  KvDbIteratorClass* NewIterator() override { return new FakeIterator(records_, failAt_); }
  const char* GetTableName() const override { return "fake"; }
  long GetCount() override { return records_.empty() ? 0 : 1; }

 private:
  std::vector<Record> records_;
  int failAt_;
};

// A 4-byte feature whose text form is the big-endian number in decimal.
class FakeFeature : public KvFeatureClass {
 public:
  const char* GetClassName() const override { return "FakeFeature"; }
  int ToByteString(KvDatumClass& out) override {
    unsigned char b[4] = {static_cast<unsigned char>(value_ >> 24), static_cast<unsigned char>(value_ >> 16),
                          static_cast<unsigned char>(value_ >> 8), static_cast<unsigned char>(value_)};
    return out.CopyBytes(b, 4, "FakeFeature");
  }
  int FromByteString(const KvDatumClass& in) override {
    if (in.Size() != 4) {
      KvError(KERR_ByteStringSize, KERR_NonFatal, "FakeFeature", static_cast<int>(in.Size()), 4);
      return -1;
    }
    const unsigned char* b = in.Data();
    value_ = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    return 0;
  }
  unsigned long GetByteStringSize() override { return 4; }
  int ComputeFeature(KvGenericDataClass*, KvParameterClass*) override { return -1; }
  float Distance(KvFeatureClass*, KvParameterClass*, float) override { return -1.0f; }
  float GetDistanceHintForParameters(KvFeatureClass*, KvParameterClass*, float d) override { return d; }
  float GetDistanceHintForTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long, const char*,
                                KvParameterClass*) override {
    return 0.0f;
  }
  int SearchTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long, const char*, KvParameterClass*,
                  KvKeyDatabaseClass*) override {
    return -1;
  }
  const char* GetDataClassName() override { return "KvGenericImageDataClass"; }
  const char* GetParameterClassName() override { return "KvParameterClass"; }
  KvParameterClass* GetParameters() override { return nullptr; }
  int ToAsciiString(KvDatumClass& out) override {
    const std::string text = std::to_string(value_);
    return out.CopyBytes(text.c_str(), text.size(), "FakeFeature");
  }

 private:
  uint32_t value_ = 0;
};

// Collects what a function writes to a stream.
class Capture {
 public:
  Capture() : stream_(open_memstream(&buffer_, &size_)) {}
  ~Capture() {
    if (stream_ != nullptr) std::fclose(stream_);
    std::free(buffer_);
  }
  FILE* stream() { return stream_; }
  std::string Text() {
    std::fflush(stream_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* stream_;
};

std::string WithNul(const std::string& text) { return text + std::string(1, '\0'); }

TEST(Tools, IsBinaryTable) {
  struct Case {
    std::string bytes;
    int binary;
  };
  const Case cases[] = {
      {WithNul("img01"), 0},
      {WithNul("two words\tand\nlines"), 0},
      {WithNul(""), 0},
      {"img01", 1},                       // no terminating NUL
      {std::string("a\0b\0", 4), 1},      // NUL inside
      {WithNul("caf\xe9"), 1},            // byte above 127
      {WithNul(std::string(1, '\x01')), 1},
      {std::string("\x00\x00\x00\x05", 4), 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KivoWrapClass::IsBinary(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()),
              c.binary)
        << c.bytes.size() << " bytes";
  }
  EXPECT_EQ(KivoWrapClass::IsBinary(nullptr, 0), 1);
}

TEST(Tools, PrintHexGroupsAndLines) {
  struct Case {
    std::vector<unsigned char> bytes;
    std::string text;
  };
  std::vector<unsigned char> forty(40);
  for (int i = 0; i < 40; ++i) forty[i] = static_cast<unsigned char>(i * 7);
  std::string fortyText;
  for (int i = 0; i < 40; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", forty[i]);
    fortyText += hex;
    if ((i + 1) % 4 == 0) fortyText += ' ';
    if ((i + 1) % 32 == 0) fortyText += '\n';
  }
  const Case cases[] = {
      {{}, ""},
      {{0x0a, 0xbc, 0xff}, "0abcff"},
      {{0x00, 0x01, 0x02, 0x03}, "00010203 "},
      {{0xde, 0xad, 0xbe, 0xef, 0x10}, "deadbeef 10"},
      {forty, fortyText},
  };
  for (const Case& c : cases) {
    Capture out;
    KivoWrapClass::PrintHex(c.bytes.data(), c.bytes.size(), out.stream());
    EXPECT_EQ(out.Text(), c.text);
  }
}

TEST(Tools, DumpTableRawPrintsTextAndHex) {
  const std::string threeBytes("\x01\x02\x03", 3);
  std::string fortyBytes(40, '\x11');
  fortyBytes[39] = '\x7f';
  FakeTable table({{WithNul("img01"), WithNul("0000000002 0000000000")},
                   {WithNul("img02"), threeBytes},
                   {"raw", fortyBytes}});
  KivoWrapClass wrap;
  Capture out;
  EXPECT_EQ(wrap.DumpTable(&table, nullptr, out.stream()), 0);
  std::string expected =
      "Key[6]: img01\n"
      "Data[22]: 0000000002 0000000000\n\n"
      "Key[6]: img02\n"
      "BData[3]: 010203\n\n"
      "BKey[3]: 726177\n"
      "BData[40]:\n"
      "11111111 11111111 11111111 11111111 11111111 11111111 11111111 11111111 \n"
      "11111111 1111117f \n\n";
  EXPECT_EQ(out.Text(), expected);
}

TEST(Tools, DumpTableDecodesAndSkipsBadRecords) {
  FakeTable table({{WithNul("a"), std::string("\x00\x00\x01\x00", 4)},
                   {WithNul("broken"), std::string("\x00\x01", 2)},
                   {WithNul("c"), std::string("\x00\x00\x00\x07", 4)}});
  FakeFeature feature;
  KivoWrapClass wrap;
  Capture out;
  EXPECT_EQ(wrap.DumpTable(&table, &feature, out.stream()), 0);
  EXPECT_EQ(out.Text(),
            "a 256\n"
            "Error=10008  Severity=0\nFakeFeature: FromByteString read 2 bytes, expected 4. \n"
            "c 7\n");
}

TEST(Tools, DumpTableStopsAtAFailingStep) {
  FakeTable table({{WithNul("a"), std::string("\x00\x00\x00\x01", 4)},
                   {WithNul("b"), std::string("\x00\x00\x00\x02", 4)},
                   {WithNul("c"), std::string("\x00\x00\x00\x03", 4)}},
                  1);
  FakeFeature feature;
  KivoWrapClass wrap;
  Capture out;
  // What was printed is not the whole table: the dump fails.
  EXPECT_EQ(wrap.DumpTable(&table, &feature, out.stream()), -1);
  EXPECT_EQ(out.Text(), "a 1\nError=10001  Severity=1\nKIVO error: iterator step failed \n");
}

}  // namespace

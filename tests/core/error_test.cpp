#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "KvTestUtil.h"
#include "core/KvError.h"

namespace {

std::string Printed() {
  char* text = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  KvPrintErrorMessage(stream);
  std::fclose(stream);
  std::string result(text, size);
  free(text);
  return result;
}

TEST(Error, FormatsTableRowsAndUnknownCodes) {
  struct Case {
    KERR_Type code;
    std::string expected;
  };
  kvtest::ClearError();
  KvError(KERR_Alloc, KERR_Fatal, 64, "X");
  EXPECT_EQ(GetErrorMSGNumber(), KERR_Alloc);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
  EXPECT_STREQ(GetErrorMSG(), "KIVO: Unable to allocate 64 bytes of storage at X.");
  EXPECT_EQ(Printed(), "Error=10007  Severity=1\nKIVO: Unable to allocate 64 bytes of storage at X. \n");

  KvError(KERR_Type(12345), KERR_Fatal);
  EXPECT_EQ(GetErrorMSGNumber(), 12345);
  EXPECT_STREQ(GetErrorMSG(), "kuError: Message 12345 not found in error table.");

  KvError(KERR_Empty, KERR_NonFatal);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_Empty);
  EXPECT_STREQ(GetErrorMSG(), "");

  // Rows 50 and 51 stand in swapped order; lookup is by code.
  KvError(KERR_CatRemoveTable, KERR_Fatal, "t", 3);
  EXPECT_STREQ(GetErrorMSG(), "KvCatCls: Close and remove on table t failed with rc 3.");
  KvError(KERR_CatCreateTable, KERR_Fatal, "t", 4);
  EXPECT_STREQ(GetErrorMSG(), "KvCatCls: Create of catalog table t failed with rc 4.");
  KvError(KERR_IndexUpdate2, KERR_NonFatal, "i", "k", 1);
  EXPECT_STREQ(GetErrorMSG(), "KvCatCls: Update of index i with key k failed with rc 1.");
}

TEST(Error, NoErrorCodeOnlyRecordedWhenFatal) {
  KvError(KERR_General, KERR_Fatal, "first");
  KvError(KERR_NoError, KERR_NonFatal);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: first");
  KvError(KERR_NoError, KERR_Fatal);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_NoError);
  EXPECT_STREQ(GetErrorMSG(), "KIVO: No error occured, This error should not occur.");
}

TEST(Error, LongMessagesAreCutNotOverflowed) {
  const std::string huge(10000, 'x');
  KvError(KERR_General, KERR_NonFatal, huge.c_str());
  EXPECT_EQ(std::string(GetErrorMSG()).size(), 4095u);
  SetErrorMSG(huge.c_str());
  EXPECT_EQ(std::string(GetErrorMSG()).size(), 4095u);
}

TEST(Error, SettersAndInitialize) {
  SetErrorMSGNumber(KERR_General);
  SetErrorMSGSeverity(KERR_Fatal);
  SetErrorMSG("hello");
  EXPECT_EQ(Printed(), "Error=10001  Severity=1\nhello \n");
  KvInitializeErrorStructure();
  EXPECT_EQ(Printed(), "Error=0  Severity=0\n \n");
}

TEST(Error, RecordIsPerThread) {
  KvError(KERR_General, KERR_Fatal, "main thread");
  std::thread other([] { KvError(KERR_NoPixels, KERR_NonFatal, "other"); });
  other.join();
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: main thread");
}

TEST(Memory, AllocationAndFailure) {
  void* p = KvCNew(4, 8, "test", KERR_Fatal);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(static_cast<unsigned char*>(p)[i], 0);
  KvDelete(p);
  KvDelete(nullptr);
  void* zero = KvCNew(0, 8, "test", KERR_Fatal);
  KvDelete(zero);

  kvtest::ClearError();
  EXPECT_EQ(KvCNew(static_cast<size_t>(-1) / 2, 4, "KvTest:overflow", KERR_NonFatal), nullptr);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_Alloc);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_NE(std::string(GetErrorMSG()).find("at KvTest:overflow."), std::string::npos);
}

}  // namespace

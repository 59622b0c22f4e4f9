// KivoWrapClass::DumpDatabase: prints the records of one table file, or of
// the feature tables of a catalog, raw or decoded by a feature class.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "KivoWrap.h"
#include "KivoWrapText.h"
#include "KvFactory.h"
#include "core/KvError.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvStoreCheck.h"

using kivowrap::CopyName;

namespace {

// Prints one raw key or data value: as text when it is a NUL-terminated
// printable string, else as hex (on the same line up to 32 bytes).
void PrintRawValue(const char* textLabel, const char* binaryLabel, const KvDatumClass& value,
                   FILE* out) {
  const unsigned char* bytes = value.Data();
  const unsigned long length = bytes != nullptr ? value.Size() : 0;
  if (!KivoWrapClass::IsBinary(bytes, length)) {
    std::fprintf(out, "%s[%lu]: %s", textLabel, length, reinterpret_cast<const char*>(bytes));
  } else {
    std::fprintf(out, "%s[%lu]:%c", binaryLabel, length, length <= 32 ? ' ' : '\n');
    KivoWrapClass::PrintHex(bytes, length, out);
  }
}

// The text of a datum that may or may not carry its NUL.
std::string DatumText(const KvDatumClass& datum) {
  const char* bytes = reinterpret_cast<const char*>(datum.Data());
  if (bytes == nullptr) return std::string();
  return std::string(bytes, strnlen(bytes, datum.Size()));
}

}  // namespace

int KivoWrapClass::IsBinary(const unsigned char* bytes, unsigned long length) {
  // Nothing to print as text: an empty value is shown in the hex form.
  if (bytes == nullptr || length == 0) return 1;
  for (unsigned long i = 0; i + 1 < length; ++i) {
    const int c = bytes[i];
    if (!std::isprint(c) && !std::isspace(c)) return 1;
  }
  return bytes[length - 1] != 0 ? 1 : 0;
}

void KivoWrapClass::PrintHex(const unsigned char* bytes, unsigned long length, FILE* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (unsigned long i = 0; i < length; ++i) {
    std::fprintf(out, "%c%c", kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0x0f]);
    if ((i + 1) % 4 == 0) std::fputc(' ', out);
    if ((i + 1) % 32 == 0) std::fputc('\n', out);
  }
}

int KivoWrapClass::DumpTable(KvDatabaseClass* table, KvFeatureClass* feature, FILE* out) {
  return kivowrap::Guarded("KivoWrapClass::DumpTable", [&]() -> int {
    if (out == nullptr) out = stdout;
    std::unique_ptr<KvDbIteratorClass> iterator(table != nullptr ? table->NewIterator() : nullptr);
    if (iterator == nullptr) {
      KvPrintErrorMessage(out);
      return -1;
    }
    while (iterator->HasCurrent()) {
      KvDatumClass key;
      KvDatumClass data;
      if (iterator->Next(key, data, 1) != 0) {
        // A table that cannot be read to its end (a damaged page) fails the
        // dump: what was printed is not the whole table.
        KvPrintErrorMessage(out);
        return -1;
      }
      if (feature != nullptr) {
        // A record that does not decode is reported and skipped.
        if (feature->FromByteString(data) != 0) {
          KvPrintErrorMessage(out);
          continue;
        }
        KvDatumClass text;
        if (feature->ToAsciiString(text) == 0) {
          std::fprintf(out, "%s %s\n", DatumText(key).c_str(), DatumText(text).c_str());
        } else {
          KvPrintErrorMessage(out);
        }
      } else {
        PrintRawValue("Key", "BKey", key, out);
        std::fputc('\n', out);
        PrintRawValue("Data", "BData", data, out);
        std::fputs("\n\n", out);
      }
    }
    return 0;
  });
}

int KivoWrapClass::DumpDatabase(int argc, char** argv, FILE* out) {
  return kivowrap::Guarded("KivoWrapClass::DumpDatabase", [&]() -> int {
    if (argc <= 1) return DumpDatabaseUsage(stdout, nullptr);
    FILE* stream = out != nullptr ? out : stdout;
    const char* catalogName = GetOption(argc, argv, 'c', 0);
    const char* databaseName = GetOption(argc, argv, 'd', 0);
    // Features this build does not know are left out: the dump goes on with
    // the others (the reason is on standard error).
    while (const char* spec = GetOption(argc, argv, 'f', 0)) AddFeature(spec);
    kivowrap::DropOptionsEnd(argc, argv);
    const char* fileName = argc > 1 ? argv[1] : nullptr;
    if (catalogName == nullptr && fileName == nullptr) {
      DumpDatabaseUsage(stdout, nullptr);
      Close();
      return 0;
    }

    const char* database = databaseName != nullptr ? databaseName : "./";
    if (!CopyName(databaseName_, database)) {
      KvError(KERR_General, KERR_Fatal, "database name longer than 255 characters");
      KvPrintErrorMessage(stdout);
      Close();
      return -1;
    }
    if (!AcquireConnection(databaseName_, "r")) {
      KvPrintErrorMessage(stdout);
      Close();
      return -1;
    }
    std::unique_ptr<KvDatabaseClass> table(connection_->NewDatabase());
    if (table == nullptr) {
      KvPrintErrorMessage(stdout);
      Close();
      return -1;
    }

    int result = 0;
    if (catalogName != nullptr) {
      catalog_ = connection_->NewCatalog();
      if (catalog_ == nullptr) {
        KvPrintErrorMessage(stdout);
        table.reset();
        Close();
        return -1;
      }
      CopyName(catalogName_, catalogName);
      if (catalog_->Open(catalogName) != 0) {
        KvPrintErrorMessage(stdout);
        table.reset();
        Close();
        return -1;
      }
      if (featureCount_ == 0) {
        DumpDatabaseUsage(stdout, nullptr);
      }
      for (int i = 0; i < featureCount_; ++i) {
        KvStringClass tableName(64ul);
        // A table that cannot be dumped fails the command once the others
        // are done: a partial dump must not look complete.
        if (catalog_->GetFeatureTableName(featureNames_[i], tableName) != 0) {
          KvPrintErrorMessage(stdout);
          result = -1;
          continue;
        }
        const unsigned long failures = KvStoreFailureCount();
        if (table->OpenForWrite(tableName.c_str()) != 0) {
          std::printf("Unable to open %s. Skipping it. \n", tableName.c_str());
          // A damaged table keeps the storage's record, which says what is wrong.
          if (KvStoreFailureCount() == failures) {
            KvError(KERR_OpenFile, KERR_NonFatal, "KivoWrapClass::DumpDatabase", tableName.c_str());
          }
          result = -1;
          continue;
        }
        if (DumpTable(table.get(), features_[i], stream) != 0) result = -1;
        table->Close();
      }
    } else {
      const unsigned long failures = KvStoreFailureCount();
      if (table->OpenForWrite(fileName) != 0) {
        std::printf("Unable to open %s. File may not exist.\n", fileName);
        if (KvStoreFailureCount() == failures) {
          KvError(KERR_OpenFile, KERR_Fatal, "KivoWrapClass::DumpDatabase", fileName);
        }
        result = -1;
      } else {
        if (DumpTable(table.get(), featureCount_ > 0 ? features_[0] : nullptr, stream) != 0) result = -1;
        table->Close();
      }
    }
    // The table refers to the connection, which Close releases.
    table.reset();
    Close();
    return result;
  });
}

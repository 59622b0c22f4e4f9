// Named settings, file search along path lists, small string helpers, word
// scanners and byte-order helpers.
#pragma once

#include <cstdint>

#include "core/KvBase.h"

// Sets the in-process override of one of the known settings (a copy of
// value is kept; null removes the override). -1 for an unknown name.
int Kvsetenv(const char* name, const char* value);
// The override of a known setting, else the process environment's value, else
// null. The text stays valid until the setting is changed again.
char* Kvgetenv(const char* name);
// Removes every override (tests and long-lived shells).
void KvClearSettings();

// findfile flags: bit 1 searches the current directory first, bit 2 takes
// pathList as the name of a setting.
enum { KV_FIND_CURRENT_DIR = 1, KV_FIND_PATH_IS_SETTING = 2 };
// Searches name along the ';'-separated pathList. 0 found (full path in out),
// 1 not found or empty name (out empty), -1 allocation failure or a found path
// that does not fit out (error recorded, out empty).
int findfile(int flags, const char* pathList, const char* name, char* out, int outSize);

// KvNew copy of text with extra spare bytes; null for a null text or failure.
char* KvStrDup(const char* text, unsigned long extra);
// Concatenation of the non-null arguments in a new buffer released with
// KvDelete; null (10007 recorded) on failure.
char* KvStrCat(const char* a, const char* b = nullptr, const char* c = nullptr,
               const char* d = nullptr, const char* e = nullptr, const char* f = nullptr);

// Skips the current word and the white space behind it.
const char* KvNextWord(const char* p);
// Characters from p up to the first white space or the end.
unsigned long KvNextWordSize(const char* p);

Boolean KvIsBigEndian();
uint16_t KvSwabShort(uint16_t value);
uint32_t KvSwabLong(uint32_t value);
uint16_t KvShortToBigEndian(uint16_t value);
uint32_t KvLongToBigEndian(uint32_t value);

// Integrity of table files: a check of every page's header when a table is
// opened, the library's own verification of a whole file, and the salvage of
// the records a damaged file still holds.
//
// The library's page checksums catch flipped bytes, but a page whose header
// reads as all zeros (a zeroed range, a hole left by a cut) passes as a page
// never written: a walk then ends early without an error, and a lookup may
// read through garbage offsets. Every page is therefore looked at once, when
// its table is opened, and a table with such a page is refused.
#pragma once

#include <functional>
#include <string>

struct __db;

// How many storage failures this thread has recorded (a table that exists
// but cannot be read, a library failure). A caller compares the count before
// and after a call to tell a damaged table from an absent one.
unsigned long KvStoreFailureCount();
void KvStoreNoteFailure();

// Reads the header of every page of the open table db (from the file, and
// through its cache where the file's copy looks wrong) and checks that each
// names itself, is of a B-tree kind, and lies within the file. True when
// all do; otherwise records an error naming path and the page, and returns
// false (*result: the library's result for a page that could not be read at
// all, else 0).
bool KvStoreCheckPages(__db* db, const std::string& path, int* result);

// The library's verification of the table file at path, read on its own
// (outside any environment; the file must not be written meanwhile). True when
// the file is sound; otherwise false with what is wrong in *problem.
bool KvStoreVerifyFile(const std::string& path, std::string* problem);

// Every record of the sound table file at path, in key order, passed to
// take; false (the reason in *problem) when the file cannot be read whole.
bool KvStoreWalkFile(const std::string& path,
                     const std::function<bool(const std::string& key, const std::string& data)>& take,
                     std::string* problem);

// Every record the library can still read from the table file at path, passed
// to take (key, data) in the order found; take returns false to stop. False
// when nothing could be read (the reason in *problem).
bool KvStoreSalvageFile(const std::string& path,
                        const std::function<bool(const std::string& key, const std::string& data)>& take,
                        std::string* problem);

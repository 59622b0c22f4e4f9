// Stamps of table files whose pages were all found sound: a later opener of
// the same, unchanged file skips the page check (one read of the whole file).
//
// A stamp is a small file kKvStoreStampDirectory/<table file> in the
// environment's directory, naming the table file's identity (device, inode,
// size, modification and change times) and the version of the page check.
// Every write of the table changes its modification time or size, and setting
// the times back changes its change time, so a stamp matches only the file it
// was written for, as it was when its pages were checked. A byte changed in
// place without any of that is still caught by the page's checksum when the
// page is read.
#pragma once

#include <sys/stat.h>

#include <string>

inline constexpr const char* kKvStoreStampDirectory = "checked";

// The identity of a table file, as a stamp records it.
struct KvStoreFileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified {};
  struct timespec changed {};
  struct timespec taken {};  // the clock just before the file was looked at
};

// The identity of the file at path; false when it cannot be looked at.
bool KvStoreIdentityOf(const std::string& path, KvStoreFileIdentity* identity);

// True when home (an environment directory) holds a stamp for table file name
// with exactly this identity. A missing, unreadable or garbled stamp, or one
// for another identity or check version, is no stamp: false, nothing recorded.
bool KvStoreStamped(const std::string& home, const std::string& name, const KvStoreFileIdentity& identity);

// Records that table file name, with this identity, had every page sound:
// written whole (a temporary file renamed over the old stamp) or not at all.
// Nothing is written for a file changed so recently that a later change could
// keep its times (the file system's clock ticks coarsely). A failure to write
// is not an error: the next opener checks the pages again.
void KvStoreStamp(const std::string& home, const std::string& name, const KvStoreFileIdentity& identity);

// Removes the stamp of table file name (its file is being removed).
void KvStoreUnstamp(const std::string& home, const std::string& name);

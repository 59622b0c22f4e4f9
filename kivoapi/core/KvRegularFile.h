// Opening files that come from outside (images, masks, lists, keyword texts,
// parameter and match files) without ever blocking on one that is not a
// regular file: a FIFO would block open() until a writer comes, a device
// may never end. The file is opened non-blocking, checked with fstat, and
// only then read.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

// A stdio stream on path (mode "r" or "rb"), or null with errno set: EISDIR
// for a directory, EINVAL for anything else that is not a regular file
// (FIFO, device, socket), or the error of open. The caller closes it.
inline FILE* KvOpenRegularFile(const char* path, const char* mode) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  // Reads of a regular file never block; the flag goes all the same, so
  // that stdio sees an ordinary descriptor.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* file = ::fdopen(fd, mode);
  if (file == nullptr) ::close(fd);
  return file;
}

#pragma once

// File calls that also take paths longer than the kernel's limit (PATH_MAX, 4,096 bytes):
// such a path is opened one part at a time, each relative to the folder before it. POSIX;
// each returns what the call it stands for returns, with errno set.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace stowkeep::engine {

int openLong(const std::string& path, int flags, mode_t mode = 0);
int statLong(const std::string& path, struct stat* st);
int lstatLong(const std::string& path, struct stat* st);
ssize_t readlinkLong(const std::string& path, char* buffer, size_t size);

// Opens path as open() does, but follows no link below its first rootLength bytes (the
// folder it lies in, which may be reached through links): a link on the way fails with ELOOP.
int openBeneath(const std::string& path, size_t rootLength, int flags);

} // namespace stowkeep::engine

// UNIX stream sockets named by a file: the listening side of a program that
// other programs of the same user reach on this machine, and their way to it.
#pragma once

#include <sys/types.h>

#include <string>

namespace kelvox {

/// A listening socket at a path, and the file it made there.
struct TLocalListener {
  int Fd = -1;     // non-blocking, close-on-exec; -1 when it failed
  int Error = 0;   // the errno of the failure; EADDRINUSE: a live program holds the path
  dev_t Device = 0;
  ino_t Inode = 0;
};

/// Listens at `path`. The socket file is readable and writable by this user
/// alone (mode 0600) from its making. A socket file that nobody accepts on (its
/// program has ended) is replaced; one that a program accepts on is left alone,
/// and so is a file that is no socket (EEXIST). The umask is narrowed while the
/// file is made: call it before other threads make files.
TLocalListener ListenLocal(const std::string& path);

/// Closes the listener and removes its file, unless another file has taken its place.
void CloseLocal(TLocalListener& listener, const std::string& path);

/// A blocking, close-on-exec socket connected to the program listening at
/// `path`; -1 with errno set (ENOENT or ECONNREFUSED: nobody listens there).
int ConnectLocal(const std::string& path);

}  // namespace kelvox

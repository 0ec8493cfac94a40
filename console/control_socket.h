// The control socket: consoles that attach to the running program. A UNIX
// stream socket beside the settings takes connections from the operator's
// `kelvox --console`; each connection is a console of its own, which sees every
// line the text console shows and types commands, one line each.
//
// All of it runs on the event loop. A console never holds the bouncer up: its
// output is kept here up to a limit, and one that falls further behind (it
// stops reading) is dropped.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/text_console.h"
#include "net/event_loop.h"
#include "net/local_socket.h"

namespace kelvox {

class TControlSocket {
 public:
  /// The name of the socket file in the settings folder.
  static constexpr const char* kFileName = "kelvox.sock";
  /// Output a console may be behind before it is dropped.
  static constexpr std::size_t kOutputLimit = 1024 * 1024;
  /// The longest line a console may type.
  static constexpr std::size_t kLineLimit = 64 * 1024;
  /// Consoles attached at once; one more is closed at once.
  static constexpr std::size_t kConsoleLimit = 16;

  TControlSocket(TEventLoop& loop, TTextConsole& console);
  /// Closes every console, each sent what the loop can take at once, and
  /// removes the socket file.
  ~TControlSocket();
  TControlSocket(const TControlSocket&) = delete;
  TControlSocket& operator=(const TControlSocket&) = delete;

  /// Listens at `path` (see ListenLocal); 0, or the errno of the failure:
  /// EADDRINUSE when another program serves that path.
  int Listen(const std::string& path);
  /// Takes no more consoles and removes the socket file; those attached stay.
  void Close();

  /// A line typed at an attached console, run as a task of its own while the
  /// console is attached (so that a question asked under one line is answered
  /// by the next).
  std::function<void(TConsoleSink& from, const std::string& line)> OnLine;
  /// The console's input has ended, after its last line; the owner detaches
  /// it once it is done with it.
  std::function<void(TConsoleSink& from)> OnEnd;

  /// Ends an attached console: it sees no more lines, what it was sent still
  /// leaves (the loop's closer), and its lines not yet run are dropped.
  void Detach(TConsoleSink& from);

  std::size_t Count() const { return consoles_.size(); }
  void SetOutputLimit(std::size_t bytes) { output_limit_ = bytes; }

 private:
  class TAttached;

  void WatchListener();
  void Accept();
  /// Ends a console at once, what it was not yet sent dropped.
  void Drop(TAttached& console);
  /// Removes the console from the list, which owns it; `closer` takes its
  /// descriptor with its unsent output, else both go.
  void Remove(TAttached& console, bool closer);

  TEventLoop& loop_;
  TTextConsole& console_;
  std::string path_;
  TLocalListener listener_;
  std::size_t output_limit_ = kOutputLimit;
  std::vector<std::unique_ptr<TAttached>> consoles_;
  TAlive alive_;
};

}  // namespace kelvox

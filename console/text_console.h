// The text console: the console model, with every change the operator would see
// written as one line ("status 0: ...", "users: 3", "beep"), and the operator's
// answer to a question taken from the next input line.
//
// The lines go to the program's own output and to every console attached
// besides it (over the control socket). What a command prints in answer, and a
// question it asks, goes to the console that typed it alone.
//
// Nothing a user sent reaches the terminal raw: control bytes are shown escaped
// (\x1b), so a nick cannot drive the operator's terminal.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_model.h"
#include "net/alive.h"

namespace kelvox {

/// One place the text console's lines go: the program's standard output, or a
/// console attached over the control socket.
class TConsoleSink {
 public:
  /// Takes whole lines, each ending in '\n'. Never calls back into the console.
  virtual void Write(std::string_view lines) = 0;
  /// For the work that may outlive an attached console (its lines, waiting).
  TAlive::TWatch Watch() const { return alive_.Watch(); }

 protected:
  ~TConsoleSink() = default;

 private:
  TAlive alive_;
};

class TTextConsole : public TConsoleModel {
 public:
  TTextConsole(TEventLoop& loop, std::ostream& out);

  /// The text with every byte below 0x20, DEL and the backslash written as \xNN
  /// (the backslash as \\).
  static std::string Escape(std::string_view text);

  void SetStatusText(int panel, const std::string& text) override;
  void SetUserCount(const std::string& text) override;
  void SetTrayHint(const std::string& text) override;
  void PlayBeep() override;
  /// To the console whose command runs, as its answer; else to every console.
  void ShowError(const std::string& text) override;
  /// "update: <text>", then "update: <link>" when there is a link.
  void SetUpdateText(const std::string& text, const std::string& link) override;
  /// Prints "ask: <text>" to the console whose command runs (the own one when
  /// none does) and waits, the loop running on as under a modal box, for that
  /// console's next line: "ok" (any case, blanks around it ignored) is OK,
  /// anything else, the end of its input, or the loop told to quit, is Cancel.
  bool AskOkCancel(const std::string& text, const std::string& caption) override;

  /// Writes one line, escaped (help texts, answers): to the console whose
  /// command runs, else to every console.
  void Print(std::string_view line);
  /// Writes the grid, header row first, where Print writes: each row's cells,
  /// escaped, joined by TAB.
  void PrintGrid();
  /// Offers a line typed at `from` to a question waiting for that console;
  /// false when none waits for it and the line is a command.
  bool TakeAnswer(const std::string& line, const TConsoleSink& from);
  bool TakeAnswer(const std::string& line) { return TakeAnswer(line, own_); }
  /// The console a question waits for; null while none waits.
  const TConsoleSink* Asked() const { return asked_; }
  /// The input of `from` has ended: a question waiting for it is cancelled;
  /// the own console's later questions are not asked (Cancel).
  void InputEnded(const TConsoleSink& from);
  void InputEnded() { InputEnded(own_); }

  /// The program's own output: always there.
  TConsoleSink& Own() { return own_; }
  /// A console that sees every line from now on, until Detach.
  void Attach(TConsoleSink& sink);
  /// The console sees no more lines; a question waiting for it is cancelled,
  /// and a command it typed that still runs prints to every console.
  void Detach(TConsoleSink& sink);
  /// The console whose command runs, while this lives: what the command prints
  /// and asks goes there alone. They nest (a command run under a question).
  class TTyping {
   public:
    TTyping(TTextConsole& console, TConsoleSink& sink);
    ~TTyping();
    TTyping(const TTyping&) = delete;
    TTyping& operator=(const TTyping&) = delete;

   private:
    TTextConsole& console_;
  };
  /// The console whose command runs; null when none does (or it has gone).
  TConsoleSink* Typing() const { return typing_.empty() ? nullptr : typing_.back(); }
  /// Whether the command that runs was typed at an attached console.
  bool TypedAttached() const { return Typing() != nullptr && Typing() != &own_; }

 protected:
  void SetUptimeText(const std::string& text) override;

 private:
  /// Standard output, flushed after each write.
  class TStreamSink final : public TConsoleSink {
   public:
    explicit TStreamSink(std::ostream& out) : out_(out) {}
    void Write(std::string_view lines) override { out_ << lines << std::flush; }

   private:
    std::ostream& out_;
  };

  /// A change: to every console.
  void Emit(std::string_view prefix, std::string_view text);
  void Broadcast(std::string_view lines);
  /// An answer: to the console whose command runs, else to every console.
  void Answer(std::string_view lines);

  TEventLoop& loop_;
  TStreamSink own_;
  std::vector<TConsoleSink*> attached_;
  std::vector<TConsoleSink*> typing_;  // innermost last; null: none (a question's wait, a gone console)
  const TConsoleSink* asked_ = nullptr;
  bool answer_ = false;
  bool input_ended_ = false;  // the own console's
};

}  // namespace kelvox

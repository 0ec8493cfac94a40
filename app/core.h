// What both programs are made of, whatever front end shows it: the event loop
// with the stop and reload signals, the settings with their rules and the
// start-at-logon entry, the transport and the bouncer, the update check, and
// the bounded wait for the users' last bytes at the end. A program makes one
// core, opens it over its console, runs its own loop between Start and Finish,
// and the core takes everything down in one order once the loop has stopped.
// Both programs start, reload and end through this code, and tell a service
// manager that listens (NOTIFY_SOCKET) when they are ready, reloading or
// stopping, and how many users they serve.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/signals.h"
#include "net/event_loop.h"

namespace kelvox {

class TBouncer;
class TConfigurationDialog;
class TConsole;
class TFigures;
class TMetricsServer;
class TSettings;
class TSocketTransport;
class TUpdateCheck;

/// The longest the users' last notices may take to leave once the bouncer has
/// stopped; a second stop signal cuts it short.
inline constexpr std::chrono::seconds kShutdownLimit{10};

class TCore {
 public:
  /// What a front end adds to the core besides its console.
  struct TFrontEnd {
    /// What the error about Log on with an empty Logfile adds, in this front
    /// end's words ("config set Logfile PATH").
    std::string LogfileCure;
    /// The bouncer has closed (the close request, DIE, a stop signal): the
    /// front end ends its loop, and Finish follows.
    std::function<void()> OnClosed;
    /// SIGHUP has read the settings again.
    std::function<void()> OnReloaded;
  };

  /// The loop, and the stop and reload signals turned into its tasks. Make the
  /// core before any other thread starts (Qt's), so that the signals come only
  /// here. `folder` is the settings folder, ready (see ReadySettingsFolder).
  explicit TCore(std::string folder);
  ~TCore();
  TCore(const TCore&) = delete;
  TCore& operator=(const TCore&) = delete;

  TEventLoop& Loop() { return loop_; }

  /// Makes the settings, the transport, the bouncer and the rest over
  /// `console`. Once, before Start. They are taken down with the core, in the
  /// reverse order of their making, after the front end's objects made after
  /// the core (which may act on them to the end); nothing they run on the way
  /// down calls the console.
  TCore& Open(TConsole& console, TFrontEnd front);

  /// The first start: the settings are read when there are any, else made with
  /// a port that this process can listen on, and always written back, so a
  /// first start leaves a complete set of files behind. True when the port was
  /// changed so. The first showing (TBouncer::FormShow) is the front end's,
  /// before its loop first turns: a service manager hears READY=1 at that turn.
  bool Start();

  /// Once the front end's loop has ended: the users have been told and closed,
  /// their departures and last bytes are on their way; the loop runs on for
  /// them, at most kShutdownLimit or until a second stop signal.
  void Finish();

  /// The bouncer has closed: the program is ending.
  bool Stopping() const { return stopping_; }

  // What Open made.
  TSettings& Settings();
  TSocketTransport& Transport();
  TBouncer& Bouncer();
  TConfigurationDialog& Rules();
  /// Made at the first check, when the version page's address is read.
  TUpdateCheck& Update();
  /// What `stats` prints and the metrics serve.
  const TFigures& Figures() const;
  TMetricsServer& Metrics();

 private:
  struct TParts;

  /// SIGINT and SIGTERM close without asking, as DIE does (a second one ends
  /// the wait for the users' last bytes); SIGHUP reads the settings again.
  void OnSignal(int signo);
  /// Config.ini and the list files read again, as the settings dialog's
  /// opening reads them, and in force at once; nobody is dropped. The listener
  /// keeps its port until the operator restarts it, and a new port in the
  /// file says so on the status bar.
  void Reload();
  /// Serves the metrics at the Metrics port, or stops for an empty one; a
  /// port that cannot be had is told in an error box. At the start, at every
  /// confirmation and at every reading of the settings.
  void ServeMetrics();

  const std::string folder_;
  // In the order of their making; they are taken down the other way round.
  TEventLoop loop_;
  TSignals signals_;
  std::unique_ptr<TParts> parts_;
  TFrontEnd front_;
  bool stopping_ = false;  // the bouncer has closed
  bool hurry_ = false;     // a second stop signal: end without waiting
};

}  // namespace kelvox

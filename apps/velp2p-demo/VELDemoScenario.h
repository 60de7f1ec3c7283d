// The demo's scenario: consoles started as separate processes find each other, talk and build a group tree,
// while every expected record is awaited with a deadline and the outcome is reported at the end.
#ifndef VELP2P_APPS_VELDEMOSCENARIO_H
#define VELP2P_APPS_VELDEMOSCENARIO_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "VELDemoConsole.h"
#include "VELDemoMatch.h"

class VELDemoScenario {
 public:
  // console: the velp2p program; port: the first of the two multicast ports the scenario uses.
  VELDemoScenario(std::string console, int port);
  ~VELDemoScenario();

  // Runs both parts; true when every expectation was met.
  bool Run();

  // Time allowed for one expected record, and for the whole run.
  static constexpr int kStepMs = 20000;
  static constexpr int kTotalMs = 120000;

 private:
  void Collaboration();
  void Standard();

  VELDemoConsole* Launch(const std::string& label, std::vector<std::string> arguments);
  // Waits for a record of console that matches, among those not yet matched from the console's mark on.
  const VELDemoRecord* Expect(VELDemoConsole* console, const VELDemoMatch& match, const std::string& what);
  // Sends a command line and checks its reply (the next reply of that command) against match.
  const VELDemoRecord* Command(VELDemoConsole* console, const std::string& line, VELDemoMatch match,
                               const std::string& what);
  const VELDemoRecord* Command(VELDemoConsole* console, const std::string& line, const std::string& what);
  // Quits the console and waits for it to end with status 0.
  void Quit(VELDemoConsole* console);
  // From now on, expectations about console look only at records that arrive later.
  void Mark(VELDemoConsole* console);
  // Reads the consoles' output for at most timeoutMs, printing every record.
  void Pump(int timeoutMs);
  // Milliseconds until the step's deadline, never past the run's.
  int Remaining(std::chrono::steady_clock::time_point stepDeadline) const;
  double Seconds() const;
  void Count(bool seen, const std::string& what, const std::string& detail);
  std::string WriteConfig(const std::string& name, int port);
  void StopAll();

  std::string _console;
  int _port;
  std::string _directory;  // temporary directory of the configuration files
  std::vector<std::string> _files;
  std::vector<std::unique_ptr<VELDemoConsole>> _consoles;
  std::chrono::steady_clock::time_point _start;
  std::chrono::steady_clock::time_point _deadline;  // of the whole run
  int _expected = 0;
  int _seen = 0;
  std::vector<std::string> _missing;
};

#endif

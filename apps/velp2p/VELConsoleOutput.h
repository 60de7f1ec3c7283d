// Where the console's records go: standard output, one flushed line at a time, with the prompt kept out of
// the way of events that arrive while the user types.
#ifndef VELP2P_APPS_VELCONSOLEOUTPUT_H
#define VELP2P_APPS_VELCONSOLEOUTPUT_H

#include <string>

class VELConsoleOutput {
 public:
  // interactive: standard input and output are terminals, so a prompt is shown and redrawn.
  explicit VELConsoleOutput(bool interactive) : _interactive(interactive) {}

  // Writes text (one or several lines, without the final line end) and flushes. In interactive mode the
  // prompt on the current line is wiped first and shown again afterwards.
  void Line(const std::string& text);
  // Shows the prompt (interactive mode only).
  void Prompt();
  // The user ended a line: the terminal's cursor already stands on a fresh line.
  void PromptAnswered() { _promptShown = false; }
  // Stops showing the prompt, for the end of the session.
  void EndPrompt();

  // "[HH:MM:SS.mmm] ", local time, for the human-readable events.
  static std::string TimeStamp();
  // "2026-01-31T12:34:56.789Z", UTC, for the records of scripts.
  static std::string IsoTime();

 private:
  void Write(const std::string& text);

  bool _interactive;
  bool _promptShown = false;  // the prompt is the last thing on the terminal's current line
};

#endif

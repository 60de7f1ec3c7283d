// velp2p ping: round trips over the message service. A request is a message of a type kept for the
// purpose; every console and tool answers it with the same data, and the pinging side times the answer.
#ifndef VELP2P_APPS_VELCONSOLEPING_H
#define VELP2P_APPS_VELCONSOLEPING_H

#include <map>
#include <vector>

#include "VELConsoleTool.h"

class VELConsolePing : public VELConsoleTool {
 public:
  explicit VELConsolePing(const VELConsoleOptions& options) : VELConsoleTool(options) {}

  // The message type of requests and answers; the header tells which one it is.
  static const unsigned char kType = 250;
  // Answers notification when it is a ping request; anything else is left alone.
  static void Answer(VELIP2PPeer* peer, VELNotification* notification);

 protected:
  void Notified(VELNotification* notification) override;
  bool Done() const override;
  int Finish(bool timedOut) override;
  double DefaultTimeout() const override { return 10.0 + _options.count * _options.interval; }

 private:
  void SendNext();

  std::string _target;  // the peer's full name, once it is present
  int _sent = 0;
  std::map<int, double> _sentAt;  // request number -> when it left, in ms
  std::vector<double> _rtts;      // ms, in the order the answers came
  double _lastSentMs = 0;
};

#endif

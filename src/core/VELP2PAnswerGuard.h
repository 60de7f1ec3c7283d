// What the send path may do with the addresses other peers announce, and how often it answers them. A
// group datagram can name any address and be sent by anyone, so the answers it provokes are bounded.
#ifndef VELP2P_CORE_VELP2PANSWERGUARD_H
#define VELP2P_CORE_VELP2PANSWERGUARD_H

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "transport/VELP2PReceiver.h"

class VELP2PAnswerGuard {
 public:
  static constexpr int kAnswerBurst = 8;       // answers one sender name may provoke at once
  static constexpr int kAnswersPerSecond = 4;  // and then steadily
  static constexpr size_t kMaxNames = 1024;    // names remembered; the stalest is forgotten first

  static VELP2PAnswerGuard& Instance();

  // Spans the dispatch of one received message. The sends made inside the dispatch of a group message are
  // automatic answers: each takes one record and one unit of the sender's allowance.
  class Scope {
   public:
    Scope(const std::string& sender, bool group, VELP2POrigin origin);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    friend class VELP2PAnswerGuard;
    std::string _sender;
    bool _group;
    VELP2POrigin _origin;
    Scope* _outer;
  };

  // False for an address no record may name, and for a loopback one unless the datagram that announced it
  // (or, outside a dispatch, the last datagram heard from peerName) came from this host.
  bool MayConnect(uint32_t addressNetworkOrder, const std::string& peerName);
  bool Answering() const { return _current && _current->_group; }
  // Inside a group message's dispatch: takes one answer from the sender's allowance, false when spent.
  bool TakeAnswer();

  void Reset();  // for tests

 private:
  struct Entry {
    bool elsewhere = false;  // its last datagram came from another host
    double tokens = kAnswerBurst;
    std::chrono::steady_clock::time_point refilled = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point touched;
  };
  Entry& Find(const std::string& name);

  Scope* _current = nullptr;
  std::unordered_map<std::string, Entry> _names;
};

#endif

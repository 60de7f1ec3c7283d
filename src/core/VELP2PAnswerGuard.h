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
    Scope(const std::string& sender, bool group, const VELP2PSource& source);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    friend class VELP2PAnswerGuard;
    uint64_t _sender;
    bool _group;
    VELP2PSource _source;
    Scope* _outer;
  };

  // False for an address no record may name, and for a loopback one unless the datagram that announced it
  // (or, outside a dispatch, the last datagram heard from peerName) came from this host.
  bool MayConnect(uint32_t addressNetworkOrder, const std::string& peerName);
  bool Answering() const { return _current && _current->_group; }
  // Where the message being dispatched came from; null outside a dispatch.
  const VELP2PSource* CurrentSource() const { return _current ? &_current->_source : nullptr; }
  // Inside a group message's dispatch: takes one answer from the sender's allowance, false when spent.
  bool TakeAnswer();

  void Reset();  // for tests

 private:
  // Times are milliseconds since _epoch, modulo 2^32: only differences of less than 49 days are used.
  struct Entry {
    float tokens = kAnswerBurst;
    uint32_t refilled = 0;
    uint32_t touched = 0;
    bool elsewhere = false;  // its last datagram came from another host
  };

  VELP2PAnswerGuard();
  // Names are kept as a keyed hash, a quarter of a string's size. The key is secret and random, so a sender
  // cannot choose a name that collides with another's; two names that collide by chance (with a full table,
  // a chance near 2^-45) share one entry: one allowance and one last origin.
  uint64_t Key(const std::string& name) const;
  uint32_t NowMs() const;
  Entry& Find(uint64_t key);

  Scope* _current = nullptr;
  uint64_t _secret[2];
  std::chrono::steady_clock::time_point _epoch;
  std::unordered_map<uint64_t, Entry> _names;
};

#endif

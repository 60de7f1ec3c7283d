// What the send path may do with the addresses other peers announce, and how much work other hosts can make
// the local peer do on its own. A group datagram can name any address and be sent by anyone, so the answers
// it provokes, and the checks of quiet peers, are bounded per host they come from and per address they go
// to, apart from what the application sends.
#ifndef VELP2P_CORE_VELP2PANSWERGUARD_H
#define VELP2P_CORE_VELP2PANSWERGUARD_H

#include <chrono>
#include <cstdint>

#include "core/VELP2PAddressBudgets.h"
#include "transport/VELP2PReceiver.h"

class VELP2PPeerInfo;

class VELP2PAnswerGuard {
 public:
  // Automatic sends that the messages of one host may cause: a burst, then steadily. A host that starts
  // tens of peers at once gets each of them answered.
  static constexpr float kHostBurst = 128;
  static constexpr float kHostPerSecond = 32;
  // Connections to one address, whatever the port and however many records name it, answers and checks
  // together: to an address something came from...
  static constexpr float kHeardBurst = 128;
  static constexpr float kHeardPerSecond = 32;
  // ...and to any other.
  static constexpr float kUnheardBurst = 1;
  static constexpr float kUnheardPerSecond = 1;
  static constexpr size_t kMaxAddresses = 4096;  // remembered; see VELP2PAddressBudgets

  // One per node: the budgets are those of the node's own work.
  VELP2PAnswerGuard();
  VELP2PAnswerGuard(const VELP2PAnswerGuard&) = delete;
  VELP2PAnswerGuard& operator=(const VELP2PAnswerGuard&) = delete;

  // Spans the dispatch of one received message. The sends made inside the dispatch of a group message are
  // automatic answers.
  class Scope {
   public:
    Scope(VELP2PAnswerGuard& guard, bool group, const VELP2PSource& source);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   protected:
    struct ForApplication {};
    Scope(VELP2PAnswerGuard& guard, ForApplication);

   private:
    friend class VELP2PAnswerGuard;
    VELP2PAnswerGuard& _guard;
    bool _group = false;
    bool _application = false;
    VELP2PSource _source;
    Scope* _outer;
  };
  // Spans a notification to the application: what it sends from there is its own, whichever message is
  // being dispatched.
  class ApplicationScope : public Scope {
   public:
    explicit ApplicationScope(VELP2PAnswerGuard& guard) : Scope(guard, ForApplication()) {}
  };

  // False for an address no record may name, and for an address of this host named by another host: by the
  // group message being dispatched, or by a record that came from elsewhere.
  bool MayConnect(uint32_t addressNetworkOrder, const VELP2PPeerInfo* record) const;
  bool Answering() const { return _current && !_current->_application && _current->_group; }
  // Where the message being dispatched came from; null outside a dispatch and in a notification to the
  // application.
  const VELP2PSource* CurrentSource() const {
    return _current && !_current->_application ? &_current->_source : nullptr;
  }
  // For an automatic answer to destination: one unit of the budget of the host the message came from and
  // one of the destination's, or false when either is spent. True for any other send.
  bool TakeAnswer(uint32_t destinationNetworkOrder);
  // For a check of a quiet peer at address (where its traffic came from), record being the peer's directory
  // record when there is one: false where MayConnect refuses or when the address's budget is spent;
  // otherwise takes one unit of that budget.
  bool MayCheck(uint32_t addressNetworkOrder, const VELP2PPeerInfo* record = nullptr);
  bool IsHeard(uint32_t addressNetworkOrder) const { return _budgets.IsHeard(addressNetworkOrder); }

 private:
  // Milliseconds since _epoch, modulo 2^32.
  uint32_t NowMs() const;
  void HearLocal(uint32_t addressNetworkOrder, uint32_t nowMs);

  Scope* _current = nullptr;
  std::chrono::steady_clock::time_point _epoch;
  VELP2PAddressBudgets _budgets;
};

#endif

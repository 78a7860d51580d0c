// Watches a transport's events for the disconnection of one peer while its
// owner does something else on the same strand: a connection's reader its
// reads, a heartbeat task its sleeps. The wait on the subscription stays
// pending while nothing is published, so that a read or a sleep costs the
// watch nothing: no wait to start and none to cancel per read or per sleep
// (a cancelled wait posts its completion, which wakes an idle worker for
// nothing).
//
// The owner keeps the watch in a shared object that the pending wait holds
// (`keep`), so the watch outlives its wait; the owner calls stop() when it
// ends, which completes the pending wait and lets go of that object. A
// context that is torn down abandons the wait, and the object with it.
// Every member is used on the owner's strand only.
#pragma once

#include <memory>
#include <system_error>
#include <utility>
#include <variant>

#include "async/asio.h"
#include "transport/transport.h"

namespace vardimont::transport {

class DisconnectionWatch {
 public:
  enum class Seen { Nothing, OwnDisconnection, Closed };

  // `events` is the owner's subscription, taken when the owner started: what
  // was published since then is looked at once the watch follows a peer.
  explicit DisconnectionWatch(EventReceiver events) : events_(std::move(events)) {}
  DisconnectionWatch(const DisconnectionWatch&) = delete;
  DisconnectionWatch& operator=(const DisconnectionWatch&) = delete;

  // The peer whose disconnection ends the owner; set before the first take()
  // or arm().
  void follow(NodeId peer) { peer_ = std::move(peer); }

  // Takes every event that is ready now; lag notices and other peers' events
  // are skipped.
  Seen take() {
    while (auto item = events_.try_recv()) {
      if (std::holds_alternative<async::Closed>(*item)) return Seen::Closed;
      if (const auto* event = std::get_if<Event>(&*item)) {
        const auto* gone = std::get_if<PeerDisconnected>(event);
        if (gone && gone->peer == peer_) return Seen::OwnDisconnection;
      }
    }
    return Seen::Nothing;
  }

  // Waits for the next events; once some are ready, runs `on_events(take())`
  // on `strand`, unless stop() came first. One wait at a time: on_events arms
  // the next one if the owner goes on watching.
  template <class OnEvents>
  void arm(const async::Executor& strand, std::shared_ptr<void> keep, OnEvents on_events) {
    pending_ = true;
    events_.async_wait_ready(
        strand, asio::bind_cancellation_slot(cancel_.slot(), [this, keep = std::move(keep), on_events = std::move(
                                                                                                on_events)](
                                                                 std::error_code ec) mutable {
          pending_ = false;
          // A wake already posted when stop() came completes without error:
          // it must not run on_events, which could arm the watch again.
          if (!ec && !stopped_) on_events(take());
        }));
  }

  // After stop() no on_events runs and the pending wait, if any, completes.
  void stop() {
    stopped_ = true;
    if (pending_) cancel_.emit(asio::cancellation_type::all);
  }

 private:
  EventReceiver events_;
  NodeId peer_;
  asio::cancellation_signal cancel_;
  bool pending_ = false;
  bool stopped_ = false;
};

}  // namespace vardimont::transport

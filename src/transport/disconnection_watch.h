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
  // are skipped, and looked at where they are held rather than copied: a
  // peer's error detail can be megabytes, and every reader and heartbeat task
  // of the node watches.
  Seen take() {
    std::optional<EventReceiver::Item> item = events_.try_recv_wanted([this](const Event& event) {
      const auto* gone = std::get_if<PeerDisconnected>(&event);
      return gone != nullptr && gone->peer == peer_;
    });
    if (!item) return Seen::Nothing;
    return std::holds_alternative<async::Closed>(*item) ? Seen::Closed : Seen::OwnDisconnection;
  }

  // Watches until the peer's disconnection, the broadcast's end or stop():
  // whenever events are ready, runs `on_events(take())` on `strand` (the
  // Seen of each batch; Nothing for a batch of other events), unless stop()
  // came first, and waits again after a batch of Nothing. One watch at a time.
  template <class OnEvents>
  void watch(const async::Executor& strand, std::shared_ptr<void> keep, OnEvents on_events) {
    arm(Rearm<OnEvents>{this, strand, std::move(keep), std::move(on_events)});
  }

  // After stop() no on_events runs and the pending wait, if any, completes.
  void stop() {
    stopped_ = true;
    if (pending_) cancel_.emit(asio::cancellation_type::all);
  }

 private:
  // The pending wait's handler; it holds `keep`, so the watch outlives it.
  template <class OnEvents>
  struct Rearm {
    DisconnectionWatch* watch;
    async::Executor strand;
    std::shared_ptr<void> keep;
    OnEvents on_events;

    void operator()(std::error_code ec) {
      watch->pending_ = false;
      // A wake already posted when stop() came completes without error: it
      // runs nothing and waits no more.
      if (ec || watch->stopped_) return;
      const Seen seen = watch->take();
      on_events(seen);
      if (seen == Seen::Nothing && !watch->stopped_) watch->arm(std::move(*this));
    }
  };

  template <class OnEvents>
  void arm(Rearm<OnEvents> handler) {
    pending_ = true;
    const async::Executor strand = handler.strand;
    events_.async_wait_ready(strand, asio::bind_cancellation_slot(cancel_.slot(), std::move(handler)));
  }

  EventReceiver events_;
  NodeId peer_;
  asio::cancellation_signal cancel_;
  bool pending_ = false;
  bool stopped_ = false;
};

}  // namespace vardimont::transport

#include "transport/disconnections.h"

#include <algorithm>

namespace vardimont::transport {

Disconnections::Following& Disconnections::Following::operator=(Following&& other) noexcept {
  if (this != &other) {
    stop();
    table_ = std::move(other.table_);
    peer_ = std::move(other.peer_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void Disconnections::Following::stop() noexcept {
  if (table_ && id_ != 0) table_->unfollow(peer_, id_);
  table_.reset();
  id_ = 0;
}

Disconnections::Mark Disconnections::mark() const {
  std::lock_guard lock(mu_);
  return announced_;
}

Disconnections::Following Disconnections::follow(const NodeId& peer, Mark since,
                                                 std::function<void()> on_disconnected) {
  {
    std::lock_guard lock(mu_);
    const Mark oldest = announced_ > RECENT ? announced_ - RECENT + 1 : 1;
    bool seen = false;
    for (Mark n = std::max(since + 1, oldest); n <= announced_ && !seen; ++n) seen = recent_[n % RECENT] == peer;
    if (!seen) {
      const std::uint64_t id = ++next_id_;
      followers_[peer].push_back(Follower{id, std::move(on_disconnected)});
      return Following(shared_from_this(), peer, id);
    }
  }
  on_disconnected();
  return {};
}

void Disconnections::announce(const NodeId& peer) {
  std::vector<Follower> fired;
  {
    std::lock_guard lock(mu_);
    ++announced_;
    recent_[announced_ % RECENT] = peer;
    auto it = followers_.find(peer);
    if (it != followers_.end()) {
      fired = std::move(it->second);
      followers_.erase(it);
    }
  }
  // Each follower is told once; its Following then has nothing to remove.
  for (Follower& f : fired) f.on_disconnected();
}

std::size_t Disconnections::followers(const NodeId& peer) const {
  std::lock_guard lock(mu_);
  auto it = followers_.find(peer);
  return it == followers_.end() ? 0 : it->second.size();
}

void Disconnections::unfollow(const NodeId& peer, std::uint64_t id) noexcept {
  std::vector<Follower> gone;  // destroyed outside the lock
  std::lock_guard lock(mu_);
  auto it = followers_.find(peer);
  if (it == followers_.end()) return;
  auto& list = it->second;
  auto f = std::find_if(list.begin(), list.end(), [id](const Follower& x) { return x.id == id; });
  if (f == list.end()) return;
  gone.push_back(std::move(*f));
  if (list.size() == 1) {
    followers_.erase(it);
  } else {
    *f = std::move(list.back());
    list.pop_back();
  }
}

}  // namespace vardimont::transport

#include "async/context.h"

#include "async/wait.h"

namespace vardimont::async {

namespace {

// A timer's service makes the reactor, with its descriptors.
void make_reactor(asio::io_context& ctx) { asio::steady_timer timer(ctx); }

// The context's own registry, holding its waits.
std::shared_ptr<detail::WaitCore> adopt_waits(asio::execution_context& ctx) {
  std::shared_ptr<detail::WaitCore>& core = asio::use_service<detail::WaitRegistry>(ctx).core;
  core = std::make_shared<detail::WaitCore>();
  return core;
}

}  // namespace

Context::Context() : waits_(adopt_waits(*this)) { make_reactor(*this); }

Context::Context(int concurrency_hint) : asio::io_context(concurrency_hint), waits_(adopt_waits(*this)) {
  make_reactor(*this);
}

Context::~Context() { waits_->abandon_all(); }

void Context::shutdown() {
  waits_->abandon_all();
  asio::execution_context::shutdown();
}

}  // namespace vardimont::async

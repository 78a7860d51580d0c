#include "async/context.h"

#include "async/wait.h"

namespace vardimont::async {

namespace {

// A timer's service makes the reactor, with its descriptors.
void make_reactor(asio::io_context& ctx) { asio::steady_timer timer(ctx); }

}  // namespace

Context::Context() : waits_(asio::use_service<detail::WaitRegistry>(*this).core) { make_reactor(*this); }

Context::Context(int concurrency_hint)
    : asio::io_context(concurrency_hint), waits_(asio::use_service<detail::WaitRegistry>(*this).core) {
  make_reactor(*this);
}

Context::~Context() { waits_->abandon_all(); }

void Context::shutdown() {
  waits_->abandon_all();
  asio::execution_context::shutdown();
}

}  // namespace vardimont::async

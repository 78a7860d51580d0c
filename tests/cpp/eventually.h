// Polling with a deadline, for tests that wait for something another thread does.
#pragma once

#include <chrono>
#include <thread>

namespace vardimont::test {

// Polls `pred` until it holds or `timeout` passes; the final answer of pred.
// The deadline is generous because sanitizer builds on a loaded machine are
// slow; a passing test never waits for it.
template <class Pred>
bool eventually(Pred&& pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace vardimont::test

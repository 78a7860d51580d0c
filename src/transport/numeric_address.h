// Reading the host of a node id as a numeric address, which then needs no
// lookup. Listening and dialling read IPv6 in different forms: a listener
// takes it bare (::1), and the bracketed form goes to the resolver; a dial
// takes it in square brackets ([::1]), and the bare form goes to the
// resolver. An IPv4 address reads the same in both.
#pragma once

#include <optional>
#include <string>
#include <system_error>

#include "async/asio.h"

namespace vardimont::transport {

enum class Ipv6Form {
  Bare,       // ::1, as a listener reads it
  Bracketed,  // [::1], as a dial reads it
};

// The address `host` is written as, or nullopt when it is not numeric in the
// forms read here.
inline std::optional<asio::ip::address> numeric_address(const std::string& host, Ipv6Form v6_form) {
  std::error_code ec;
  if (v6_form == Ipv6Form::Bracketed && host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    const asio::ip::address_v6 v6 = asio::ip::make_address_v6(host.substr(1, host.size() - 2), ec);
    if (!ec) return asio::ip::address(v6);
    return std::nullopt;
  }
  const asio::ip::address_v4 v4 = asio::ip::make_address_v4(host, ec);
  if (!ec) return asio::ip::address(v4);
  if (v6_form == Ipv6Form::Bare) {
    const asio::ip::address_v6 v6 = asio::ip::make_address_v6(host, ec);
    if (!ec) return asio::ip::address(v6);
  }
  return std::nullopt;
}

}  // namespace vardimont::transport

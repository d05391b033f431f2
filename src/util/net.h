#pragma once

// Every Asio include goes through this header: Boost 1.74's awaitable.hpp uses
// std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace tarvo {
namespace net = boost::asio;
}  // namespace tarvo

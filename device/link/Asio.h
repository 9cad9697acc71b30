// Boost.Asio for the serial link. Boost 1.74's Asio needs <utility> ahead of it under
// GCC 12 in C++20 mode; including it through this header keeps that true everywhere.
#pragma once

#include <utility>

#include <boost/asio.hpp>

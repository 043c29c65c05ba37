// The interface through which a server holds its network ingress.
//
// Operations, all callable from any thread: `start` begins serving (or
// returns an error text), `shutdown` stops serving (no result, harmless when
// not started), `port` is the bound port while started.
#pragma once

#include <cstdint>
#include <optional>

#include "result.h"

namespace ravo::transport {

class Transport {
public:
    virtual ~Transport() = default;
    virtual Status start() = 0;
    virtual void shutdown() = 0;
    virtual std::optional<std::uint16_t> port() = 0;
};

}  // namespace ravo::transport

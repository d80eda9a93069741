// Time-outs and sizes of the exchange, shared by both of its paths.
#pragma once

namespace cnc {

constexpr long kFirstByteTimeout = 5;  // seconds to the first byte of a reply
constexpr long kNextByteTimeout = 1;   // seconds between further bytes
constexpr long kFlushSize = 1024;      // stale bytes discarded before a send

}  // namespace cnc

// How long each agent operation took inside the host, for the benchmark
// that sets the bridge's own cost apart from the agent's. Off unless
// NPSIGIL_BRIDGE_TIMINGS names a file; a line per call, "<method> <µs>",
// never an argument or a result.
#pragma once

#include <chrono>
#include <string_view>

namespace bridge {

inline constexpr char kCallTimingsVariable[] = "NPSIGIL_BRIDGE_TIMINGS";

void RecordCallTime(std::string_view method, std::chrono::steady_clock::duration took);

}  // namespace bridge

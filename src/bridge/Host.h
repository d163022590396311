// The host's read loop: hello first, then every frame the browser sends,
// until its end of input. Runs in-process on any pair of descriptors, so
// tests and benchmarks drive the same loop the browser starts.
#pragma once

#include "bridge/Services.h"

namespace bridge {

struct HostOptions {
  // How long the end waits for calls still running inside an agent.
  int drainMilliseconds = 2000;
};

// 0 at the browser's end of input (or when it can no longer be written to).
int RunHost(int inFd, int outFd, Services& services, const HostOptions& options = {});

}  // namespace bridge

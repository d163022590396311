// What `npsigil-bridge --self-test` checks before a browser ever starts the
// host: that this installation can answer a page. Each check prints one
// line ("ok ..." or "FAILED ...: why"); the result is the exit code.
#pragma once

#include <cstdio>

namespace bridge {

// 0 when every check passed, 1 otherwise.
int RunSelfTest(std::FILE* out);

}  // namespace bridge

// The answers to the options page's "manage" messages: the user's standing
// approvals and granted folders (and the machine's, which the page shows
// but cannot change), and taking a site or a folder back. Answered at once
// on the host's reading thread: each is one read or write of the sites file.
#pragma once

#include <string>

#include "bridge/Messages.h"

namespace bridge {

// {"type":"managed","id":N,"ok":true,"value":...} or ok false with a message.
std::string AnswerManage(const ManageMessage& message);

}  // namespace bridge

#include "bridge/Host.h"

#include <memory>
#include <string>
#include <variant>

#include "bridge/Framing.h"
#include "bridge/Manage.h"
#include "bridge/Messages.h"
#include "bridge/MethodTable.h"
#include "bridge/SessionTable.h"

namespace bridge {

namespace {

std::string AnswerBad(const BadMessage& bad) {
  if (bad.session && bad.id)
    return FailureFrame(*bad.session, *bad.id, {"protocol", kBridgeInvalidArg, bad.message});
  return ErrorFrame("protocol", kBridgeInvalidArg, bad.message, bad.session);
}

}  // namespace

int RunHost(int inFd, int outFd, Services& services, const HostOptions& options) {
  auto writer = std::make_shared<FrameWriter>(outFd);
  if (!writer->Write(HelloFrame(ModuleVersion()))) return 0;
  SessionTable sessions(writer, services);
  FrameReader reader(inFd);
  std::string text;
  for (;;) {
    const FrameStatus status = reader.Next(&text);
    if (status == FrameStatus::End || status == FrameStatus::Truncated) break;
    std::string answer;
    if (status == FrameStatus::TooLarge) {
      answer = ErrorFrame("too-large", kBridgeOutOfMemory,
                          "The message is larger than the bridge accepts (32 MiB).");
    } else {
      Message message = ParseMessage(text);
      if (auto* open = std::get_if<OpenMessage>(&message))
        answer = sessions.Open(*open);
      else if (auto* call = std::get_if<CallMessage>(&message))
        answer = sessions.Call(std::move(*call));
      else if (auto* close = std::get_if<CloseMessage>(&message))
        sessions.Close(close->session);
      else if (auto* manage = std::get_if<ManageMessage>(&message))
        answer = AnswerManage(*manage);
      else
        answer = AnswerBad(std::get<BadMessage>(message));
    }
    // A 32 MiB request must not stay held while the next frame is read.
    text.clear();
    text.shrink_to_fit();
    if (!answer.empty() && !writer->Write(answer) && writer->Broken()) break;
  }
  sessions.CloseAll(options.drainMilliseconds);
  return 0;
}

}  // namespace bridge

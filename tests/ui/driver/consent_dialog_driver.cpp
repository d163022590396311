// Puts one consent request in front of the real helper program, through
// the same call the agent makes, and prints what came back, for the Xvfb
// test that clicks the buttons:
//   answer <allow-once|allow-always|deny|failed>
//   failure 0x<8 hex digits>
//   folder <path>             (only when the user granted one)
// Arguments: origin, secure (0 or 1), asks ("keys", "files" or
// "keys files"), language (LANGID in decimal) and, for a frame of another
// origin, the top page's origin.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/ConsentProtocol.h"

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: %s origin secure asks language [within]\n", argv[0]);
    return 2;
  }
  ui::ConsentRequest request;
  request.origin = argv[1];
  request.secure = std::string(argv[2]) == "1";
  const std::string asks = argv[3];
  request.asksKeys = asks.find("keys") != std::string::npos;
  request.asksFiles = asks.find("files") != std::string::npos;
  request.language = static_cast<LANGID>(std::strtoul(argv[4], nullptr, 10));
  request.method = "SignMsgPKCS7";
  if (argc == 6) request.within = argv[5];

  const ui::ConsentResponse response = ui::RunConsentPrompt(request);
  const char* answer = "deny";
  switch (response.answer) {
    case ui::ConsentAnswer::kAllowOnce:
      answer = "allow-once";
      break;
    case ui::ConsentAnswer::kAllowAlways:
      answer = "allow-always";
      break;
    case ui::ConsentAnswer::kDeny:
      break;
    case ui::ConsentAnswer::kFailed:
      answer = "failed";
      break;
  }
  std::printf("answer %s\nfailure 0x%08x\n", answer, static_cast<unsigned>(response.failure));
  if (!response.folder.empty()) std::printf("folder %s\n", response.folder.c_str());
  return 0;
}

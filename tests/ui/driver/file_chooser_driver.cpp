// Asks for one file through the same call the bridge makes, with the real
// helper program, and prints what came back, for the Xvfb test that
// answers the chooser:
//   result 0x<8 hex digits>
//   path <path>                (only for a choice)
// Arguments: origin, mode ("open" or "save"), language (LANGID in decimal).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/FileChooser.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s origin open|save language\n", argv[0]);
    return 2;
  }
  ui::FileChoice request;
  request.origin = argv[1];
  request.save = std::string(argv[2]) == "save";
  request.language = static_cast<LANGID>(std::strtoul(argv[3], nullptr, 10));
  StepTrace trace(kTraceGuidUi, u"file_chooser_driver", u"ChooseFile");
  std::string path;
  const HRESULT hr = ui::ChooseFile(request, &path, trace);
  std::printf("result 0x%08x\n", static_cast<unsigned>(hr));
  if (SUCCEEDED(hr)) std::printf("path %s\n", path.c_str());
  return 0;
}

// The texts that cross to and from the helper program when the user picks a
// file for a web page (the request and answer of FileChooser.h), apart from
// the running so that both sides and the tests share one strict reading.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"
#include "ui/FileChooser.h"

namespace ui {

inline constexpr std::string_view kFileChoiceMagic = "npsigil-choose 1";
inline constexpr std::size_t kMaxFileChoiceRequestBytes = 4096;
inline constexpr std::size_t kMaxFileChoiceOriginBytes = 1024;
// PATH_MAX: no longer path can be opened anyway.
inline constexpr std::size_t kMaxFileChoicePathBytes = 4096;
// The longest path with every byte escaped, or a failure with its text.
inline constexpr std::size_t kMaxFileChoiceAnswerBytes = 2 * kMaxFileChoicePathBytes + 64;

enum class FileChoiceOutcome { kChosen, kCancelled, kFailed };
struct FileChoiceAnswer {
  FileChoiceOutcome outcome = FileChoiceOutcome::kCancelled;
  std::string path;        // kChosen
  HRESULT failure = S_OK;  // kFailed
  std::string message;     // kFailed
};

std::string EncodeFileChoiceRequest(const FileChoice& request);
// False for anything but one complete request of this version: each key
// once, nothing after "end", the origin printable ASCII.
bool DecodeFileChoiceRequest(std::string_view text, FileChoice* request);

std::string EncodeFileChoiceAnswer(const FileChoiceAnswer& answer);
// False for anything but one answer line (a carriage return before its
// newline allowed). A chosen path must be absolute, of at most
// kMaxFileChoicePathBytes, without NUL and without empty, "." or ".."
// components: the helper has no reason to send anything else, so anything
// else is not taken for the user's choice.
bool DecodeFileChoiceAnswer(std::string_view text, FileChoiceAnswer* answer);

inline constexpr char kFileChooserPathVariable[] = "NPSIGIL_FILE_CHOOSER";

}  // namespace ui

#include "ui/CertificateDialogs.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/LastError.h"
#include "platform/Resources.h"
#include "resources/ModuleResources.h"
#include "resources/ResultCodes.h"
#include "resources/StringTable.h"
#include "smengine/LastErrorResult.h"
#include "trace/Trace.h"
#include "ui/CertificateRows.h"
#include "ui/DialogProtocol.h"

extern char** environ;

namespace {

constexpr LPCWSTR kSourceUnit = u"CertificateDialogs";
constexpr DWORD kSelectDialogModeModule = 0;
constexpr DWORD kSelectDialogModeTexts = 1;
constexpr std::size_t kHeaderChars = 128;
// One response line is a few dozen bytes; anything longer is not an answer.
constexpr std::size_t kMaxResponseBytes = 4096;

// The dialog's own codes carry the customer bit (0x20000000) and map into
// our facility; other Win32 errors map as HRESULT_FROM_WIN32 does.
HRESULT ResultFromDialogError(DWORD dwError) {
  const auto nError = static_cast<LONG>(dwError);
  if (nError > 0 && (dwError & 0x20000000u) != 0)
    return MakeHResult(0xA0070000u | (dwError & 0xFFFFu));
  if (nError > 0) return MakeHResult(0x80070000u | (dwError & 0xFFFFu));
  // No certificate came back, so whatever is left is still a failure.
  return nError == 0 ? E_FAIL : nError;
}

HRESULT ResultFromErrno(int err) { return HRESULT_FROM_WIN32(Win32ErrorFromErrno(err)); }

class FileDescriptor {
 public:
  FileDescriptor() = default;
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }
  void Reset(int fd) {
    Close();
    m_fd = fd;
  }
  void Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

// A pipe whose ends are close-on-exec (no other child of the browser's
// process inherits them) and above the standard descriptors, so moving one
// end onto the helper's stdin or stdout never overwrites the other.
bool OpenPipe(FileDescriptor& readEnd, FileDescriptor& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int& fd : fds) {
    if (fd > STDERR_FILENO) continue;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int err = errno;
    close(fd);
    fd = moved;
    errno = err;
  }
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
  return readEnd.IsOpen() && writeEnd.IsOpen();
}

class SpawnSetup {
 public:
  SpawnSetup() {
    m_actionsReady = posix_spawn_file_actions_init(&m_actions) == 0;
    m_attrReady = posix_spawnattr_init(&m_attr) == 0;
  }
  ~SpawnSetup() {
    if (m_actionsReady) posix_spawn_file_actions_destroy(&m_actions);
    if (m_attrReady) posix_spawnattr_destroy(&m_attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // The helper reads stdin and answers on stdout; the signal state the
  // browser set up for itself is not handed on.
  int Prepare(int stdinFd, int stdoutFd) {
    if (!m_actionsReady || !m_attrReady) return ENOMEM;
    int err = posix_spawn_file_actions_adddup2(&m_actions, stdinFd, STDIN_FILENO);
    if (err == 0) err = posix_spawn_file_actions_adddup2(&m_actions, stdoutFd, STDOUT_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
    if (err == 0) err = posix_spawnattr_setsigmask(&m_attr, &none);
    if (err == 0) err = posix_spawnattr_setsigdefault(&m_attr, &defaults);
    if (err == 0)
      err = posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    return err;
  }
  const posix_spawn_file_actions_t* Actions() const { return &m_actions; }
  const posix_spawnattr_t* Attributes() const { return &m_attr; }

 private:
  posix_spawn_file_actions_t m_actions{};
  posix_spawnattr_t m_attr{};
  bool m_actionsReady = false;
  bool m_attrReady = false;
};

// A helper that stops reading must not kill the browser: SIGPIPE is held
// back for this thread while we talk to it, and one raised by our own
// writes is taken off again before the old mask comes back.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    m_wasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &m_old);
  }
  ~SigpipeBlock() {
    if (m_raised && !m_wasPending) {
      sigset_t pipeOnly;
      sigemptyset(&pipeOnly);
      sigaddset(&pipeOnly, SIGPIPE);
      const timespec now{};
      while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  void NoteRaised() { m_raised = true; }

 private:
  sigset_t m_old{};
  bool m_wasPending = false;
  bool m_raised = false;
};

// Writes the request and reads the answer to its end at the same time, so
// neither side can stall on a full pipe. Returns when the helper closes its
// stdout, which is when the user has made a choice.
void Converse(FileDescriptor& toHelper, FileDescriptor& fromHelper, std::string_view request,
              std::string* output, bool* truncated) {
  SigpipeBlock sigpipe;
  fcntl(toHelper.Get(), F_SETFL, fcntl(toHelper.Get(), F_GETFL) | O_NONBLOCK);
  std::size_t written = 0;
  if (request.empty()) toHelper.Close();
  while (fromHelper.IsOpen()) {
    pollfd fds[2] = {{fromHelper.Get(), POLLIN, 0}, {toHelper.Get(), POLLOUT, 0}};
    const nfds_t count = toHelper.IsOpen() ? 2 : 1;
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (count == 2 && fds[1].revents != 0) {
      const ssize_t n = write(toHelper.Get(), request.data() + written, request.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno == EPIPE) sigpipe.NoteRaised();
      const bool retry = n < 0 && (errno == EAGAIN || errno == EINTR);
      // Done, or the helper stopped reading: its stdin ends here either way.
      if (written == request.size() || (n < 0 && !retry)) toHelper.Close();
    }
    if (fds[0].revents != 0) {
      char buffer[1024];
      const ssize_t n = read(fromHelper.Get(), buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) break;
      const std::size_t room = kMaxResponseBytes - output->size();
      if (static_cast<std::size_t>(n) > room) *truncated = true;
      output->append(buffer, std::min(room, static_cast<std::size_t>(n)));
    }
  }
  toHelper.Close();
  fromHelper.Close();
}

std::string SelectDialogPath() {
  const char* override = std::getenv(kSelectDialogPathVariable);
  if (override != nullptr && *override != '\0') return override;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&RunSelectCertificateDialog), &info) == 0 ||
      info.dli_fname == nullptr || *info.dli_fname == '\0')
    return {};
  std::error_code error;
  const std::filesystem::path module = std::filesystem::absolute(info.dli_fname, error);
  if (error) return {};
  return (module.parent_path() / kSelectDialogProgram).string();
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Starts the helper, hands it the request and waits for it to end. The
// helper is always reaped before this returns.
HRESULT RunHelper(const std::string& program, const std::string& request, std::string* output,
                  StepTrace& trace) {
  trace.Step(u"pipe2");
  FileDescriptor requestRead, requestWrite, answerRead, answerWrite;
  if (!OpenPipe(requestRead, requestWrite) || !OpenPipe(answerRead, answerWrite))
    return trace.Failed(ResultFromErrno(errno), u"pipe2 != 0");
  trace.Passed();

  trace.Step(u"posix_spawn");
  SpawnSetup setup;
  int err = setup.Prepare(requestRead.Get(), answerWrite.Get());
  pid_t pid = -1;
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  if (err == 0)
    err = posix_spawn(&pid, program.c_str(), setup.Actions(), setup.Attributes(), argv, environ);
  if (err != 0) return trace.Failed(ResultFromErrno(err), u"posix_spawn != 0");
  requestRead.Close();
  answerWrite.Close();
  trace.Passed();

  trace.Step(u"Converse");
  bool truncated = false;
  Converse(requestWrite, answerRead, request, output, &truncated);
  int status = 0;
  // A browser that reaps every child itself leaves us ECHILD; nothing is
  // left over in either case.
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (truncated) return trace.Failed(E_FAIL, u"answer too long");
  trace.Passed();
  return S_OK;
}

// The dialog's answer, or the failure that stands in for one.
HRESULT ReadAnswer(const std::string& output, std::size_t rowCount, std::size_t* index,
                   bool* cancelled, StepTrace& trace) {
  trace.Step(u"DecodeResponse");
  ui::DialogResponse response;
  if (output.empty()) return trace.Failed(E_FAIL, u"no answer");
  if (!ui::DecodeResponse(output, &response)) return trace.Failed(E_FAIL, u"malformed answer");
  switch (response.outcome) {
    case ui::DialogOutcome::kCancelled:
      *cancelled = true;
      break;
    case ui::DialogOutcome::kFailed:
      return trace.Failed(FAILED(response.failure) ? response.failure : E_FAIL, u"failed answer");
    case ui::DialogOutcome::kSelected:
      if (response.index >= rowCount) return trace.Failed(E_INVALIDARG, u"index >= rows");
      *index = response.index;
      break;
  }
  trace.Passed();
  return S_OK;
}

}  // namespace

HRESULT CustomCryptUIDlgSelectCertificate(PCSELECT_CERTIFICATE_PARA pPara,
                                          const CERTIFICATE_SET& vtrCertSet,
                                          PCCERT_CONTEXT* ppCertContext) {
  TraceHelper helper("CustomCryptUIDlgSelectCertificate");
  StepTrace trace(kTraceGuidUi, kSourceUnit, u"CustomCryptUIDlgSelectCertificate");
  trace.Step(u"Check parameters");
  if (pPara == nullptr || ppCertContext == nullptr)
    return trace.Failed(E_INVALIDARG, u"pPara == NULL || ppCertContext == NULL");
  *ppCertContext = nullptr;
  trace.Passed();

  // Nothing to choose: the one certificate is the answer.
  if (pPara->pwszTitle == nullptr && vtrCertSet.size() == 1) {
    trace.Step(u"CertDuplicateCertificateContext");
    SetLastError(ERROR_SUCCESS);
    PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(vtrCertSet.front());
    if (pDuplicate == nullptr)
      return trace.Failed(ResultFromDialogError(GetLastError()), u"pCertContext == NULL");
    *ppCertContext = pDuplicate;
    trace.Passed();
    return S_OK;
  }

  trace.Step(u"CertOpenStore");
  SetLastError(ERROR_SUCCESS);
  HCERTSTORE hCacheCertStore =
      CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr);
  if (hCacheCertStore == nullptr)
    return trace.Failed(ResultFromDialogError(GetLastError()), u"hCacheCertStore == NULL");
  StoreCloser closer(hCacheCertStore);
  trace.Passed();

  // The same certificate given twice becomes one row.
  trace.Step(u"CertAddCertificateContextToStore");
  for (PCCERT_CONTEXT pCertContext : vtrCertSet) {
    SetLastError(ERROR_SUCCESS);
    if (!CertAddCertificateContextToStore(hCacheCertStore, pCertContext,
                                          CERT_STORE_ADD_USE_EXISTING, nullptr))
      return trace.Failed(ResultFromDialogError(GetLastError()),
                          u"!CertAddCertificateContextToStore");
  }
  trace.Passed();

  trace.Step(u"CustomCryptUIDlgSelectCertificateFromStore");
  PCCERT_CONTEXT pSelected = CustomCryptUIDlgSelectCertificateFromStore(pPara, hCacheCertStore);
  if (pSelected == nullptr)
    return trace.Failed(ResultFromDialogError(GetLastError()), u"pCertContext == NULL");
  *ppCertContext = pSelected;
  trace.Passed();
  return S_OK;
}

PCCERT_CONTEXT CustomCryptUIDlgSelectCertificateFromStore(PCSELECT_CERTIFICATE_PARA pPara,
                                                          HCERTSTORE hCertStore) {
  TraceHelper helper("CustomCryptUIDlgSelectCertificateFromStore");
  StepTrace trace(kTraceGuidUi, kSourceUnit, u"CustomCryptUIDlgSelectCertificateFromStore");
  trace.Step(u"Check parameter(dwMode)");
  if (pPara == nullptr ||
      (pPara->dwMode != kSelectDialogModeModule && pPara->dwMode != kSelectDialogModeTexts)) {
    trace.Failed(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), u"dwMode not 0 or 1");
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  trace.Passed();

  SELECT_DIALOG_INIT init{};
  init.hResourceModule = pPara->hResourceModule;
  init.hCertStore = hCertStore;
  if (pPara->dwMode == kSelectDialogModeTexts) {
    init.pwszTitle = pPara->pwszTitle;
    init.pwszOKText = pPara->pwszOKText;
    init.pwszCancelText = pPara->pwszCancelText;
  }

  PCCERT_CONTEXT pSelected = nullptr;
  DWORD dwResultCode = 0;
  RunSelectCertificateDialog(&init, &pSelected, &dwResultCode);
  SetLastError(dwResultCode);
  return pSelected;
}

void RunSelectCertificateDialog(PCSELECT_DIALOG_INIT pInit, PCCERT_CONTEXT* ppSelected,
                                DWORD* pdwResultCode) {
  TraceHelper helper("RunSelectCertificateDialog");
  StepTrace trace(kTraceGuidUi, kSourceUnit, u"RunSelectCertificateDialog");
  if (ppSelected != nullptr) *ppSelected = nullptr;
  // Whatever keeps the dialog from giving an answer reads as Cancel: the
  // failure is in the trace, the caller sees the user's way out.
  if (pdwResultCode != nullptr) *pdwResultCode = SIGIL_LASTERROR_CANCELED;

  trace.Step(u"Check parameters");
  if (pInit == nullptr || ppSelected == nullptr || pdwResultCode == nullptr) {
    trace.Failed(E_INVALIDARG, u"lParam == NULL");
    return;
  }
  trace.Passed();

  trace.Step(u"Check display");
  if (!HasDisplay()) {
    trace.Failed(E_FAIL, u"DISPLAY == NULL && WAYLAND_DISPLAY == NULL");
    return;
  }
  trace.Passed();

  const HMODULE hModule =
      pInit->hResourceModule != nullptr ? pInit->hResourceModule : GetSigilModuleHandle();
  ui::DialogRequest request;
  request.language = GetUserDefaultUILanguage();
  if (pInit->pwszTitle != nullptr) request.title = pInit->pwszTitle;
  if (pInit->pwszOKText != nullptr) request.okText = pInit->pwszOKText;
  if (pInit->pwszCancelText != nullptr) request.cancelText = pInit->pwszCancelText;
  if (pInit->pwszHeader != nullptr && *pInit->pwszHeader != u'\0') {
    request.header = std::u16string(pInit->pwszHeader).substr(0, kHeaderChars - 1);
  } else {
    trace.Step(u"LoadString (Header)");
    WCHAR wszHeader[kHeaderChars] = {};
    SetLastError(ERROR_SUCCESS);
    if (LoadStringW(hModule, IDS_SELECT_CERT_HEADER, wszHeader, kHeaderChars) == 0) {
      trace.Failed(FailureFromLastError(), u"LoadString == 0");
      return;
    }
    request.header = wszHeader;
    trace.Passed();
  }

  trace.Step(u"LoadCertificates");
  CERTIFICATE_SET vtrCertSet;
  CertificateSetReleaser releaser(vtrCertSet);
  CERT_LIST vtrRows;
  const HRESULT hLoad = LoadCertificates(hModule, pInit->hCertStore, vtrCertSet, vtrRows);
  if (FAILED(hLoad)) {
    trace.Failed(hLoad, u"FAILED(hResult)");
    return;
  }
  request.rows = ToDialogRows(vtrRows);
  trace.Passed();

  trace.Step(u"Find npsigil-select-dialog");
  const std::string program = SelectDialogPath();
  if (program.empty()) {
    trace.Failed(E_FAIL, u"dladdr");
    return;
  }
  TraceValue(kTraceGuidUi, "program", program.c_str());
  trace.Passed();

  std::string output;
  if (FAILED(RunHelper(program, ui::EncodeRequest(request), &output, trace))) return;
  std::size_t index = 0;
  bool cancelled = false;
  if (FAILED(ReadAnswer(output, vtrRows.size(), &index, &cancelled, trace)) || cancelled) return;

  trace.Step(u"CertDuplicateCertificateContext");
  SetLastError(ERROR_SUCCESS);
  PCCERT_CONTEXT pSelected = CertDuplicateCertificateContext(vtrRows[index].pCertContext);
  if (pSelected == nullptr) {
    const HRESULT hResult = FailureFromLastError();
    *pdwResultCode = static_cast<DWORD>(hResult);
    trace.Failed(hResult, u"m_pstCertificate == NULL");
    return;
  }
  *ppSelected = pSelected;
  *pdwResultCode = ERROR_SUCCESS;
  trace.Passed();
}

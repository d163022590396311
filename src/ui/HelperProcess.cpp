#include "ui/HelperProcess.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/base/LastError.h"

extern char** environ;

namespace ui {
namespace {

using Clock = std::chrono::steady_clock;

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

// Milliseconds left for poll(): -1 without a deadline, 0 once it passed.
int PollTimeout(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60 * 60 * 1000));
}

enum class ConverseEnd { kClosed, kTruncated, kTimedOut };

// Writes the request and reads the answer to its end at the same time, so
// neither side can stall on a full pipe. Returns when the helper closes its
// stdout, which is when the user has made a choice, or at the deadline.
ConverseEnd Converse(FileDescriptor& toHelper, FileDescriptor& fromHelper, std::string_view request,
                     std::size_t maxBytes, const std::optional<Clock::time_point>& deadline,
                     std::string* output) {
  SigpipeBlock sigpipe;
  fcntl(toHelper.Get(), F_SETFL, fcntl(toHelper.Get(), F_GETFL) | O_NONBLOCK);
  std::size_t written = 0;
  bool truncated = false;
  bool timedOut = false;
  if (request.empty()) toHelper.Close();
  while (fromHelper.IsOpen()) {
    pollfd fds[2] = {{fromHelper.Get(), POLLIN, 0}, {toHelper.Get(), POLLOUT, 0}};
    const nfds_t count = toHelper.IsOpen() ? 2 : 1;
    const int ready = poll(fds, count, PollTimeout(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      timedOut = true;
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
      const std::size_t room = maxBytes - output->size();
      if (static_cast<std::size_t>(n) > room) truncated = true;
      output->append(buffer, std::min(room, static_cast<std::size_t>(n)));
    }
  }
  toHelper.Close();
  fromHelper.Close();
  if (timedOut) return ConverseEnd::kTimedOut;
  return truncated ? ConverseEnd::kTruncated : ConverseEnd::kClosed;
}

// Reaps the helper. Past the deadline (or at once when `kill` is set) it is
// killed first, so nothing outlives the call. A browser that reaps every
// child itself leaves us ECHILD; the exit is then unknown but nothing is
// left over.
bool Reap(pid_t pid, const std::optional<Clock::time_point>& deadline, bool killNow, bool* killed) {
  int status = 0;
  if (killNow) {
    kill(pid, SIGKILL);
    *killed = true;
  }
  for (;;) {
    const bool waitFreely = !deadline || *killed;
    const pid_t done = waitpid(pid, &status, waitFreely ? 0 : WNOHANG);
    if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return true;  // ECHILD: someone else took the status
    if (PollTimeout(deadline) == 0) {
      kill(pid, SIGKILL);
      *killed = true;
      continue;
    }
    const timespec pause{0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

std::string HelperProgramPath(const char* overrideVariable, const char* program) {
  const char* override = overrideVariable ? std::getenv(overrideVariable) : nullptr;
  if (override != nullptr && *override != '\0') return override;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&HelperProgramPath), &info) == 0 ||
      info.dli_fname == nullptr || *info.dli_fname == '\0')
    return {};
  // Linked into an executable (a host program rather than the plug-in's
  // module), dladdr names the program as it was started: argv[0], which may
  // be a bare name found through PATH and says nothing about the folder.
  // The kernel's own link to the executable does.
  Dl_info mainInfo{};
  const auto entry = reinterpret_cast<void*>(getauxval(AT_ENTRY));
  const bool bInMainProgram = entry != nullptr && dladdr(entry, &mainInfo) != 0 &&
                              mainInfo.dli_fbase == info.dli_fbase;
  std::error_code error;
  std::filesystem::path module;
  if (bInMainProgram || info.dli_fname[0] != '/') {
    module = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !module.is_absolute()) return {};
  } else {
    module = info.dli_fname;
  }
  return (module.parent_path() / program).string();
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

HRESULT RunHelperProcess(const std::string& program, std::string_view request,
                         const HelperLimits& limits, HelperResult* result, StepTrace& trace) {
  *result = HelperResult{};
  // One helper window on screen at a time in a process: a host running
  // several pages' sessions on threads would otherwise stack prompts the
  // user cannot tell apart. The deadline starts once it is this one's turn.
  static std::mutex oneAtATime;
  const std::lock_guard<std::mutex> turn(oneAtATime);
  std::optional<Clock::time_point> deadline;
  if (limits.deadline) deadline = Clock::now() + *limits.deadline;

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
  const ConverseEnd end =
      Converse(requestWrite, answerRead, request, limits.maxAnswerBytes, deadline, &result->output);
  bool killed = false;
  const bool exitedCleanly = Reap(pid, deadline, end == ConverseEnd::kTimedOut, &killed);
  result->exitedCleanly = exitedCleanly && !killed;
  if (end == ConverseEnd::kTruncated) return trace.Failed(E_FAIL, u"answer too long");
  if (killed) {
    result->output.clear();
    return trace.Failed(kHelperTimedOut, u"no answer before the deadline");
  }
  trace.Passed();
  return S_OK;
}

}  // namespace ui

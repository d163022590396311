#include "support/Subprocess.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

ProcessResult RunProcess(const std::vector<std::string>& argv) {
  ProcessResult result;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int pipeFds[2];
  if (argv.empty() || pipe(pipeFds) != 0) return result;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return result;
  }
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);

  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0)
    if (errno != EINTR) return result;
  result.started = true;
  result.maxRssKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

}  // namespace testsupport

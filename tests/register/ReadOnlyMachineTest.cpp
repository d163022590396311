// Installing without the right to write machine state. Tests run as root,
// where permission bits stop nothing, so the import runs in a child that
// has dropped to an unprivileged user before it meets the 0555 folders.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "register/CertificateChainOperate.h"
#include "register/ChainTestSupport.h"
#include "support/TempEnvironment.h"

namespace {

using namespace chaintest;
namespace fs = std::filesystem;

void SetTreeMode(const fs::path& top, bool writable) {
  for (const auto& entry : fs::recursive_directory_iterator(top))
    fs::permissions(entry.path(), fs::perms(entry.is_directory() ? (writable ? 0755 : 0555)
                                                                 : (writable ? 0644 : 0444)));
  fs::permissions(top, fs::perms(writable ? 0755 : 0555));
}

// The child's result code, or its exit status when it could not give one.
std::int64_t ImportUnprivileged(const std::string& xml) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 ||
                             ::setuid(65534) != 0 || ::geteuid() == 0))
      ::_exit(2);
    const HRESULT hResult = Import(xml);
    ::_exit(::write(fds[1], &hResult, sizeof hResult) == sizeof hResult ? 0 : 3);
  }
  ::close(fds[1]);
  HRESULT hResult = 0;
  const bool read = ::read(fds[0], &hResult, sizeof hResult) == sizeof hResult;
  ::close(fds[0]);
  int status = -1;
  ::waitpid(pid, &status, 0);
  return read && status == 0 ? static_cast<DWORD>(hResult) : -status;
}

TEST(ReadOnlyMachine, ImportFailsWithAccessDeniedAndWritesNothing) {
  // Below /tmp, which the unprivileged user can pass, not the test's own
  // private folder.
  std::string top = (fs::temp_directory_path() / "npsigil-readonly-XXXXXX").string();
  ASSERT_NE(::mkdtemp(top.data()), nullptr);
  fs::permissions(top, fs::perms(0755));
  testsupport::ScopedEnv machine("NPSIGIL_MACHINE_ROOT", (fs::path(top) / "machine").c_str());
  const TestChain chain = MakeTestChain();
  PlantInMachineCa(chain.rsaIntermediate);  // stores as an administrator left them
  ASSERT_EQ(RegWriteBinaryValue(kMachineRootCertificatesPath, u"0000", nullptr, 0), S_OK);
  const auto before = MachineHiveSnapshot();

  SetTreeMode(fs::path(top) / "machine", false);
  EXPECT_EQ(ImportUnprivileged(FullChainXml(chain)), 0x80070005);
  SetTreeMode(fs::path(top) / "machine", true);
  EXPECT_EQ(MachineHiveSnapshot(), before);
  fs::remove_all(top);
}

}  // namespace

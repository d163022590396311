// The npsigil-cert commands. Each takes the arguments after its name and
// returns the process exit code (kExitOk, kExitFailure, kExitUsage).
#pragma once

#include <span>
#include <string>

namespace certcli {

// Certificate stores.
int RunList(std::span<const std::string> args);
int RunImport(std::span<const std::string> args);
int RunDelete(std::span<const std::string> args);

// Keys into containers.
int RunImportPfx(std::span<const std::string> args);
int RunSm2Container(std::span<const std::string> args);

// Providers and containers.
int RunProviders(std::span<const std::string> args);
int RunProvider(std::span<const std::string> args);
int RunContainers(std::span<const std::string> args);
int RunDeleteContainer(std::span<const std::string> args);

// The plug-in module's CA chain installation (NP_Install).
int RunInstallCa(std::span<const std::string> args);

// RSA envelope files.
int RunEncrypt(std::span<const std::string> args);
int RunDecrypt(std::span<const std::string> args);

// Web sites' standing approvals and the machine's site policy.
int RunSites(std::span<const std::string> args);

// The bridge's host registered with the browsers, and why a browser does
// not find it.
int RunBrowser(std::span<const std::string> args);

}  // namespace certcli

namespace certcli {

// Installs the software SM2 provider's entry when it is missing, telling
// the user; false after a message when that fails.
bool EnsureSm2ProviderInstalled();

}  // namespace certcli

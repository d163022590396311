// npsigil-cert: certificate stores, key containers and providers of the
// npSigil platform layer, for the user at a terminal.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "CliSupport.h"
#include "Commands.h"

namespace {

constexpr char kUsage[] =
    "usage: npsigil-cert COMMAND [ARGS]\n"
    "\n"
    "Certificate stores (the user's, or the machine's with --machine):\n"
    "  list [--machine] [STORE...]          certificates of the stores\n"
    "                                       (default MY ADDRESSBOOK CA ROOT)\n"
    "  import [--machine] STORE FILE        add the DER or PEM certificate(s) of FILE\n"
    "  delete [--machine] STORE THUMBPRINT  remove the certificate with that SHA-1\n"
    "\n"
    "Keys:\n"
    "  import-pfx FILE [--password P] [--provider NAME] [--container NAME] [--replace]\n"
    "      key into a container of an RSA provider, certificate into the user's MY\n"
    "  sm2-container NAME (--key KEY --cert CERT | --softcert FILE.sm2 --password P)\n"
    "                [--pair exchange|signature|both] [--replace]\n"
    "      key pair(s) with their certificate in the SM2 software provider\n"
    "  An existing container is written only with --replace, which overwrites the\n"
    "  key pairs named and keeps the others.\n"
    "\n"
    "Providers and containers:\n"
    "  providers                            installed providers\n"
    "  provider install-sm2                 install the SM2 software provider\n"
    "  containers [PROVIDER]                containers with their key pairs\n"
    "  delete-container PROVIDER NAME       remove a container and its keys\n"
    "\n"
    "The plug-in's CA chain (machine stores; needs root unless NPSIGIL_MACHINE_ROOT\n"
    "is set):\n"
    "  install-ca [--module PATH]           run the module's NP_Install and show what\n"
    "                                       it added to and removed from ROOT and CA\n"
    "      (default module: ../plugins/npSigil.TEAL.x86.so beside this tool's folder);\n"
    "      fails unless every root is then in ROOT and every other CA in CA\n"
    "\n"
    "RSA envelope files (CMS EnvelopedData, streamed whatever the size):\n"
    "  encrypt --to CERT [--to CERT...] [--cipher 3des|rc4] IN OUT\n"
    "      for the certificates' holders (each needs a subject key identifier)\n"
    "  decrypt IN OUT                       with a key behind the user's MY store\n"
    "  OUT is created new: an existing file is never overwritten, and nothing is\n"
    "  left behind when the operation fails.\n"
    "\n"
    "Web sites (which pages may use your certificates, keys and files unasked):\n"
    "  sites list                           your approvals and granted folders, the\n"
    "                                       machine policy's pre-approved sites and\n"
    "                                       its lock\n"
    "  sites allow ORIGIN                   let ORIGIN (https://host[:port], or http\n"
    "                                       on localhost) use keys and files\n"
    "  sites revoke ORIGIN                  take your approval back, and the folders\n"
    "                                       granted to ORIGIN\n"
    "  sites grant ORIGIN FOLDER            let ORIGIN's pages name files inside FOLDER\n"
    "                                       (stored with its links resolved)\n"
    "  sites ungrant ORIGIN FOLDER          take the folder back\n"
    "\n"
    "Browsers (Chromium, Chrome and Firefox reach npSigil through npsigil-bridge):\n"
    "  browser install [--user|--system] [--browser chromium|chrome|firefox|all]\n"
    "          [--host PATH]                register the host where the browsers look\n"
    "                                       (--user is the default)\n"
    "          [--system --policy [--update-url URL] [--xpi-url URL]]\n"
    "                                       also make the browsers install the signed\n"
    "                                       extension from there by machine policy\n"
    "  browser uninstall [--user|--system] [--browser ...] [--policy]\n"
    "                                       remove our registrations, nothing else\n"
    "  browser status [--user|--system] [--browser ...] [--root DIR] [--json]\n"
    "                                       why a browser does or does not find\n"
    "                                       npSigil, one line per finding; exit 1\n"
    "                                       when something is wrong\n"
    "  browser test [--browser ...] [--host PATH] [--timeout SECONDS]\n"
    "                                       one call from a page through each browser\n"
    "                                       (headless, a throw-away profile) to the\n"
    "                                       host it finds\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 usage error.\n";

struct Command {
  std::string_view name;
  int (*run)(std::span<const std::string>);
};

constexpr Command kCommands[] = {
    {"list", certcli::RunList},
    {"import", certcli::RunImport},
    {"delete", certcli::RunDelete},
    {"import-pfx", certcli::RunImportPfx},
    {"sm2-container", certcli::RunSm2Container},
    {"providers", certcli::RunProviders},
    {"provider", certcli::RunProvider},
    {"containers", certcli::RunContainers},
    {"delete-container", certcli::RunDeleteContainer},
    {"install-ca", certcli::RunInstallCa},
    {"encrypt", certcli::RunEncrypt},
    {"decrypt", certcli::RunDecrypt},
    {"sites", certcli::RunSites},
    {"browser", certcli::RunBrowser},
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return certcli::kExitUsage;
  }
  if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, stdout);
    return certcli::kExitOk;
  }
  for (const Command& command : kCommands)
    if (args[0] == command.name) {
      const int nExit = command.run(std::span(args).subspan(1));
      if (nExit == certcli::kExitUsage) std::fputs("(npsigil-cert help shows the usage)\n", stderr);
      return nExit;
    }
  certcli::Error("unknown command \"" + args[0] + "\"");
  std::fputs(kUsage, stderr);
  return certcli::kExitUsage;
}

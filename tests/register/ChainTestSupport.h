// Test chains written as the installer's XML resource, and views of the
// machine state the installer changes.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "platform/base/WinTypes.h"

namespace chaintest {

using testpki::Bytes;
using testpki::Identity;

struct TestChain {  // an RSA and an SM2 root, one intermediate under each
  Identity rsaRoot, sm2Root, rsaIntermediate, sm2Intermediate;
};
TestChain MakeTestChain();
Identity MakeSm2(const std::string& subject, const std::string& serialHex,
                 const Identity* issuer = nullptr);

std::string Thumbprint(const Identity& id);  // 40 upper-case hex digits
Bytes SerializedBlob(const Identity& id);    // as the system stores keep it
std::string Base64Lines(const Bytes& bytes);

// <Certificate> with ImportPath, EntryPoint, Content; <RootCACertificate>;
// <P7bContent>; the document with its declaration, comments and <root>.
std::string CertificateElement(const Identity& root);
std::string RootCaElement(const std::vector<std::string>& certificateElements);
std::string P7bElement(const std::vector<const Identity*>& certs);
std::string ChainXml(const std::string& rootChildren);
std::string FullChainXml(const TestChain& chain);  // both roots, all four in the bundle

HRESULT Import(const std::string& xml);
std::set<std::string> MachineStore(const char16_t* name);  // thumbprints
void PlantInMachineCa(const Identity& id);
std::map<std::string, std::string> MachineHiveSnapshot();  // keys and values

}  // namespace chaintest

// The chain import against a private machine root: what reaches the
// trusted roots and the intermediate store, and where a bad resource stops.
#include <gtest/gtest.h>

#include "platform/registry/Registry.h"
#include "platform/base/WideString.h"
#include "plugin/EntryPoints.h"
#include "register/CertificateChainOperate.h"
#include "register/ChainTestSupport.h"
#include "resources/ResultCodes.h"

namespace {

using namespace chaintest;
using Thumbs = std::set<std::string>;

class ChainImport : public ::testing::Test {
 protected:
  TestChain chain = MakeTestChain();
  std::string Rsa() const { return Thumbprint(chain.rsaRoot); }
  std::string Sm2() const { return Thumbprint(chain.sm2Root); }
};

TEST_F(ChainImport, RootsGoToRootAndOnlyIntermediatesToCaTheSameOnEveryRun) {
  PlantInMachineCa(chain.sm2Intermediate);  // already there: skipped silently
  ASSERT_EQ(Import(FullChainXml(chain)), S_OK);
  EXPECT_EQ(MachineStore(u"ROOT"), (Thumbs{Rsa(), Sm2()}));
  EXPECT_EQ(MachineStore(u"CA"),
            (Thumbs{Thumbprint(chain.rsaIntermediate), Thumbprint(chain.sm2Intermediate)}));
  const auto firstRun = MachineHiveSnapshot();
  const Bytes blob = SerializedBlob(chain.sm2Root);  // written as it came
  bool blobWritten = false;
  for (const auto& [name, value] : firstRun)
    blobWritten |= name.find(Sm2()) != std::string::npos &&
                   value.find(std::string(blob.begin(), blob.end())) != std::string::npos;
  EXPECT_TRUE(blobWritten);

  EXPECT_EQ(Import(FullChainXml(chain)), S_OK);
  EXPECT_EQ(MachineHiveSnapshot(), firstRun);
}

TEST_F(ChainImport, MalformedPartsStopTheImportWhereTheyAre) {
  const std::string twoChildren = "<Certificate><ImportPath>SOFTWARE</ImportPath><EntryPoint>" +
                                  Rsa() + "</EntryPoint></Certificate>";
  EXPECT_EQ(Import(ChainXml(RootCaElement({CertificateElement(chain.sm2Root), twoChildren,
                                           CertificateElement(chain.rsaRoot)}) +
                            P7bElement({&chain.sm2Intermediate}))),
            SIGIL_E_INSTALL_CHAIN);
  EXPECT_EQ(MachineStore(u"ROOT"), Thumbs{Sm2()});

  // No bundle: the roots are written, then the import fails.
  EXPECT_EQ(Import(ChainXml(RootCaElement({CertificateElement(chain.rsaRoot)}))), E_INVALIDARG);
  EXPECT_EQ(MachineStore(u"ROOT"), (Thumbs{Rsa(), Sm2()}));
  // No roots: the bundle is never reached.
  EXPECT_EQ(Import(ChainXml(P7bElement({&chain.rsaIntermediate}))), E_INVALIDARG);
  EXPECT_TRUE(MachineStore(u"CA").empty());
}

TEST_F(ChainImport, CertificateChildrenAreTakenByPositionNotByName) {
  const std::string path = "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";
  const std::string content = Base64Lines(SerializedBlob(chain.sm2Root));
  const std::string swapped = "<Certificate><EntryPoint>" + Sm2() + "</EntryPoint><ImportPath>" +
                              path + "</ImportPath><Content>" + content +
                              "</Content></Certificate>";
  EXPECT_EQ(Import(ChainXml(RootCaElement({swapped}) + P7bElement({}))), S_OK);
  EXPECT_TRUE(MachineStore(u"ROOT").empty());
  EXPECT_EQ(MachineHiveSnapshot().count(Sm2() + "/"), 1u);  // the thumbprint taken as the path

  const std::string renamed = "<Certificate><a>" + path + "</a><b>" + Sm2() + "</b><c>" + content +
                              "</c><more>ignored</more></Certificate>";
  EXPECT_EQ(Import(ChainXml(RootCaElement({renamed}) + P7bElement({}))), S_OK);
  EXPECT_EQ(MachineStore(u"ROOT"), Thumbs{Sm2()});
}

// NP_Install over the module's own resource: every root it lists arrives.
TEST(ModuleChain, NpInstallInstallsEveryShippedRoot) {
  BYTE* pbyData = nullptr;
  DWORD dwLength = 0;
  ASSERT_EQ(LoadModuleResource(&pbyData, &dwLength), S_OK);
  std::unique_ptr<BYTE[]> data(pbyData);
  XmlDocument document;
  XmlNode root, roots;
  ASSERT_EQ(LoadXMLDom(data.get(), dwLength, document), S_OK);
  ASSERT_EQ(GetXMLRootNode(document, root), S_OK);
  ASSERT_EQ(FindChildNode(roots, root, u"RootCACertificate"), S_OK);
  Thumbs shipped;
  for (XmlNode entry = roots.FirstChild(); entry; entry = entry.NextSibling())
    shipped.insert(ToUtf8(entry.FirstChild().NextSibling().Text()));
  ASSERT_FALSE(shipped.empty());

  plugin::Install();
  EXPECT_EQ(MachineStore(u"ROOT"), shipped);
  EXPECT_FALSE(MachineStore(u"CA").empty());
}

}  // namespace

// Which child a name finds, and what a text that does not parse leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "register/CertificateChainOperate.h"

namespace {

XmlNode RootOf(XmlDocument& document, const std::string& xml) {
  EXPECT_EQ(LoadXMLDom(reinterpret_cast<const BYTE*>(xml.data()), static_cast<DWORD>(xml.size()),
                       document),
            S_OK);
  XmlNode root;
  GetXMLRootNode(document, root);
  return root;
}

TEST(XmlNodes, FindChildNodeTakesTheFirstNameContainingTheTextIgnoringCase) {
  XmlDocument document;
  const XmlNode root = RootOf(document,
                              "<?xml version=\"1.0\"?><!-- a --><any>\n <!-- b -->\n"
                              " <P7bContentX>1</P7bContentX> <myRootCAcertificateLIST> 2 "
                              "</myRootCAcertificateLIST><rootcacertificate>3</rootcacertificate>"
                              "<P7bContent>4</P7bContent></any>");
  XmlNode found;
  EXPECT_EQ(FindChildNode(found, root, u"RootCACertificate"), S_OK);
  EXPECT_EQ(found.Text(), u"2");
  EXPECT_EQ(FindChildNode(found, root, u"P7bContent"), S_OK);
  EXPECT_EQ(found.Text(), u"1");
  EXPECT_EQ(root.ChildCount(), 5u);  // the comment counts, blank text does not

  EXPECT_EQ(FindChildNode(found, root, u"Certificates"), REGISTER_S_NO_CHILD_NODE);
  EXPECT_FALSE(found);
  EXPECT_EQ(FindChildNode(found, found, u"P7bContent"), REGISTER_S_NO_CHILD_NODE);
}

TEST(XmlNodes, TextThatDoesNotParseLeavesAnEmptyDocument) {
  for (const std::string& xml : std::vector<std::string>{"", "<root><RootCACertificate>", "not xml",
                                                         std::string("<r>\0</r>", 8)}) {
    XmlDocument document;
    EXPECT_FALSE(RootOf(document, xml)) << xml;
  }
  XmlDocument document;
  EXPECT_EQ(LoadXMLDom(nullptr, 4, document), E_INVALIDARG);
}

}  // namespace

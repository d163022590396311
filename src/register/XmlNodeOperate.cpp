// The DOM calls the import makes, each traced as one operation.
#include <cstring>
#include <memory>
#include <new>

#include "platform/base/WideString.h"
#include "register/CertificateChainOperate.h"
#include "register/ChainOperateInternal.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"

using chainoperate::kSourceUnit;

HRESULT LoadXMLDom(const BYTE* pbyXmlData, DWORD dwXmlLength, XmlDocument& xmlDocument) {
  TraceHelper helper("LoadXMLDom");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"LoadXMLDom");
  trace.Step(u"Check parameter(pbyXmlData)");
  if (!pbyXmlData) return trace.Failed(E_INVALIDARG, u"NULL == pbyXmlData");

  // The resource is not terminated; the text ends at its last byte or at
  // the first zero byte, whichever comes first.
  trace.Step(u"new BYTE[]");
  std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<std::size_t>(dwXmlLength) + 1]);
  if (!text) return trace.Failed(E_OUTOFMEMORY, u"Dispatch memory failed.");
  std::memcpy(text.get(), pbyXmlData, dwXmlLength);
  text[dwXmlLength] = '\0';

  trace.Step(u"UTF8ToUTF16");
  LPWSTR pwszXml = nullptr;
  int nXmlChars = 0;
  HRESULT hResult = UTF8ToUTF16(text.get(), &pwszXml, &nXmlChars);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(UTF8ToUTF16)");
  std::unique_ptr<WCHAR[]> wideXml(pwszXml);

  // As with the DOM's loadXML, text that does not parse is reported as
  // S_FALSE and leaves an empty document; the import then finds nothing.
  trace.Step(u"loadXML");
  const bool bLoaded =
      xmlDocument.LoadText(std::u16string_view(wideXml.get(), static_cast<std::size_t>(nXmlChars)));
  trace.Passed(bLoaded ? S_OK : S_FALSE);
  return S_OK;
}

HRESULT GetXMLRootNode(const XmlDocument& xmlDocument, XmlNode& rootNode) {
  TraceHelper helper("GetXMLRootNode");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"GetXMLRootNode");
  trace.Step(u"get_lastChild");
  rootNode = xmlDocument.LastChild();
  const HRESULT hResult = rootNode ? S_OK : S_FALSE;
  trace.Passed(hResult);
  return hResult;
}

HRESULT FindChildNode(XmlNode& childNode, const XmlNode& parentNode, LPCWSTR lpwName) {
  TraceHelper helper("FindChildNode");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"FindChildNode");
  childNode = XmlNode();
  trace.Step(u"Check parameter(lpwName)");
  if (!lpwName) return trace.Failed(E_INVALIDARG, u"NULL == lpwName");
  TraceValue(kTraceGuidRegister, "SearchedNodeName", lpwName);

  trace.Step(u"get_childNodes");
  for (XmlNode child = parentNode.FirstChild(); child; child = child.NextSibling()) {
    const std::u16string name = child.Name();
    if (StrStrIW(name.c_str(), lpwName)) {
      childNode = child;
      trace.Passed();
      return S_OK;
    }
  }
  return trace.Failed(REGISTER_S_NO_CHILD_NODE, u"the child node is not found");
}

HRESULT GetNodeValue(const XmlNode& node, LPWSTR* ppwszValue) {
  TraceHelper helper("GetNodeValue");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"GetNodeValue");
  trace.Step(u"Check parameter");
  if (!node || !ppwszValue) return trace.Failed(E_INVALIDARG, u"NULL == pNode || ppwszValue");

  trace.Step(u"get_text");
  const std::u16string value = node.Text();
  auto* pwszValue = new (std::nothrow) WCHAR[value.size() + 1]();
  if (!pwszValue) return trace.Failed(E_OUTOFMEMORY, u"Dispatch memory failed.");
  value.copy(pwszValue, value.size());
  *ppwszValue = pwszValue;
  trace.Passed();
  return S_OK;
}

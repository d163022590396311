// The import's outline: resource, document, the two parts of the chain.
#include "register/CertificateChainOperate.h"

#include <cstring>
#include <memory>
#include <new>

#include "platform/base/LastError.h"
#include "platform/base/Resources.h"
#include "register/ChainOperateInternal.h"
#include "resources/ModuleResources.h"
#include "resources/ResultCodes.h"
#include "trace/Trace.h"
#include "winsvc/CertificateStore.h"

using chainoperate::kSourceUnit;

using chainoperate::DecodeBase64Text;

namespace {

using WideText = std::unique_ptr<WCHAR[]>;
using ByteBuffer = std::unique_ptr<BYTE[]>;

}  // namespace

HRESULT LoadModuleResource(BYTE** ppbyBuffer, DWORD* pdwLength) {
  TraceHelper helper("LoadModuleResource");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"LoadModuleResource");
  trace.Step(u"Check parameter");
  if (!ppbyBuffer || !pdwLength)
    return trace.Failed(E_INVALIDARG, u"NULL == ppbyBuffer || NULL == pdwLength");

  const HMODULE hModule = GetSigilModuleHandle();
  trace.Step(u"FindResourceW");
  SetLastError(ERROR_SUCCESS);
  HRSRC hResInfo = FindResourceW(hModule, IDR_CERTIFICATE_CHAIN, kCertificateResourceType);
  if (!hResInfo) return trace.Failed(FailureFromLastError(), u"FindResource FAILED.");

  trace.Step(u"SizeofResource");
  const DWORD dwSize = SizeofResource(hModule, hResInfo);
  if (dwSize == 0) return trace.Failed(FailureFromLastError(), u"SizeofResource FAILED.");

  trace.Step(u"LoadResource");
  HRSRC hResData = LoadResource(hModule, hResInfo);
  const void* pvData = hResData ? LockResource(hResData) : nullptr;
  if (!pvData) return trace.Failed(FailureFromLastError(), u"LoadResource FAILED.");

  trace.Step(u"new BYTE[]");
  ByteBuffer copy(new (std::nothrow) BYTE[dwSize]());
  if (!copy) return trace.Failed(E_OUTOFMEMORY, u"Dispatch memory failed.");
  std::memcpy(copy.get(), pvData, dwSize);

  *ppbyBuffer = copy.release();
  *pdwLength = dwSize;
  trace.Passed();
  return S_OK;
}

HRESULT ImportCertificateChainfromBlobData(const BYTE* pbyXmlData, DWORD dwXmlLength) {
  TraceHelper helper("ImportCertificateChainfromBlobData");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"ImportCertificateChainfromBlobData");

  // Obsolete certificates go whatever state the resource is in; a failure
  // here must not keep the current chain from being installed.
  trace.Step(u"DeleteDiscardCert");
  HRESULT hResult = DeleteDiscardCert();
  if (FAILED(hResult))
    trace.Failed(hResult, u"FAILED(DeleteDiscardCert)");
  else
    trace.Passed(hResult);

  trace.Step(u"LoadXMLDom");
  XmlDocument xmlDocument;
  hResult = LoadXMLDom(pbyXmlData, dwXmlLength, xmlDocument);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(LoadXMLDom)");

  trace.Step(u"ImportCertChainfromXMLDOMDoc");
  hResult = ImportCertChainfromXMLDOMDoc(xmlDocument);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ImportCertChainfromXMLDOMDoc)");
  trace.Passed();
  return S_OK;
}

HRESULT ImportCertChainfromXMLDOMDoc(const XmlDocument& xmlDocument) {
  TraceHelper helper("ImportCertChainfromXMLDOMDoc");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"ImportCertChainfromXMLDOMDoc");

  trace.Step(u"GetXMLRootNode");
  XmlNode rootNode;
  HRESULT hResult = GetXMLRootNode(xmlDocument, rootNode);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(GetXMLRootNode)");
  if (rootNode) TraceValue(kTraceGuidRegister, "RootNodeName", rootNode.Name().c_str());

  // A missing element is not a failure of the search itself: the parse
  // step that follows refuses the missing node.
  trace.Step(u"FindChildNode(RootCACertificate)");
  XmlNode rootCACertificateNode;
  hResult = FindChildNode(rootCACertificateNode, rootNode, u"RootCACertificate");
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(FindChildNode)");

  trace.Step(u"ParseRootCACertificateNode");
  hResult = ParseRootCACertificateNode(rootCACertificateNode);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ParseRootCACertificateNode)");

  trace.Step(u"FindChildNode(P7bContent)");
  XmlNode p7bContentNode;
  hResult = FindChildNode(p7bContentNode, rootNode, u"P7bContent");
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(FindChildNode)");

  trace.Step(u"ParseP7bContentNode");
  hResult = ParseP7bContentNode(p7bContentNode);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ParseP7bContentNode)");
  trace.Passed();
  return S_OK;
}

HRESULT ParseRootCACertificateNode(const XmlNode& rootCACertificateNode) {
  TraceHelper helper("ParseRootCACertificateNode");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"ParseRootCACertificateNode");
  trace.Step(u"Check parameter");
  if (!rootCACertificateNode) return trace.Failed(E_INVALIDARG, u"pRootCACertificateNode == NULL");

  for (XmlNode certificateNode = rootCACertificateNode.FirstChild(); certificateNode;
       certificateNode = certificateNode.NextSibling()) {
    trace.Step(u"GetNodeValue");
    LPWSTR pwszText = nullptr;
    HRESULT hResult = GetNodeValue(certificateNode, &pwszText);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(GetNodeValue)");
    WideText text(pwszText);
    TraceValue(kTraceGuidRegister, "CertificateNode", text.get());

    trace.Step(u"ParseCertificateNode");
    hResult = ParseCertificateNode(certificateNode);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ParseCertificateNode)");
  }
  trace.Passed();
  return S_OK;
}

HRESULT ParseCertificateNode(const XmlNode& certificateNode) {
  TraceHelper helper("ParseCertificateNode");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"ParseCertificateNode");

  trace.Step(u"GetRegisteredCertificateInfoNode");
  LPWSTR pwszImportPath = nullptr;
  LPWSTR pwszEntryPoint = nullptr;
  LPWSTR pwszContent = nullptr;
  HRESULT hResult = GetRegisteredCertificateInfoNode(certificateNode, &pwszImportPath,
                                                     &pwszEntryPoint, &pwszContent);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(GetRegisteredCertificateInfoNode)");
  WideText importPath(pwszImportPath);
  WideText entryPoint(pwszEntryPoint);
  WideText content(pwszContent);

  trace.Step(u"WriteCertificatetoRegistry");
  hResult = WriteCertificatetoRegistry(importPath.get(), entryPoint.get(), content.get());
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(WriteCertificatetoRegistry)");
  trace.Passed();
  return S_OK;
}

HRESULT GetRegisteredCertificateInfoNode(const XmlNode& certificateNode, LPWSTR* ppwszImportPath,
                                         LPWSTR* ppwszEntryPoint, LPWSTR* ppwszContent) {
  TraceHelper helper("GetRegisteredCertificateInfoNode");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"GetRegisteredCertificateInfoNode");
  trace.Step(u"Check parameter");
  if (!certificateNode || !ppwszImportPath || !ppwszEntryPoint || !ppwszContent)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertificateNode");

  trace.Step(u"get_childNodes");
  if (certificateNode.ChildCount() <= 2)
    return trace.Failed(SIGIL_E_INSTALL_CHAIN, u"the number of RegeditInfo Child Node is error!");

  // By position: the element names are not looked at.
  WideText values[3];
  XmlNode child = certificateNode.FirstChild();
  for (WideText& value : values) {
    trace.Step(u"GetNodeValue");
    LPWSTR pwszValue = nullptr;
    const HRESULT hResult = GetNodeValue(child, &pwszValue);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(GetNodeValue)");
    value.reset(pwszValue);
    child = child.NextSibling();
  }
  *ppwszImportPath = values[0].release();
  *ppwszEntryPoint = values[1].release();
  *ppwszContent = values[2].release();
  trace.Passed();
  return S_OK;
}

HRESULT ParseP7bContentNode(const XmlNode& p7bContentNode) {
  TraceHelper helper("ParseP7bContentNode");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"ParseP7bContentNode");
  trace.Step(u"Check parameter");
  if (!p7bContentNode) return trace.Failed(E_INVALIDARG, u"pP7bContentNode == NULL");

  trace.Step(u"GetNodeValue");
  LPWSTR pwszText = nullptr;
  HRESULT hResult = GetNodeValue(p7bContentNode, &pwszText);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(GetNodeValue)");
  WideText text(pwszText);

  ByteBuffer p7b;
  int nP7bLength = 0;
  hResult = DecodeBase64Text(trace, text.get(), p7b, nP7bLength);
  if (FAILED(hResult)) return hResult;

  trace.Step(u"ImportP7bCertificatestoStore");
  HCERTSTORE hP7bStore = nullptr;
  hResult = ImportP7bCertificatestoStore(p7b.get(), static_cast<DWORD>(nP7bLength), &hP7bStore);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ImportP7bCertificatestoStore)");
  StoreCloser closer(hP7bStore);

  trace.Step(u"AddCACertficatetoStore");
  hResult = AddCACertficatetoStore(hP7bStore);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(AddCACertficatetoStore)");
  trace.Passed();
  return S_OK;
}

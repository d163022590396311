// Installing the system's CA chain on the machine: the root CA certificates
// of the module's "CERTIFICATE" XML resource go into the machine's trusted
// roots as registry values, the intermediate CA certificates of its PKCS#7
// bundle into the machine's "CA" store, after obsolete certificates are
// removed. Every operation returns a result code and traces its failures.
#pragma once

#include "platform/store/CertStore.h"
#include "platform/base/WinTypes.h"
#include "register/XmlDom.h"
#include "winsvc/CertificateChecks.h"

// The module's CA chain resource.
inline constexpr UINT IDR_CERTIFICATE_CHAIN = 104;
inline constexpr WCHAR kCertificateResourceType[] = u"CERTIFICATE";

// FindChildNode's "no such child": a customer code, not a failure, so the
// caller goes on with no node.
inline constexpr HRESULT REGISTER_S_NO_CHILD_NODE = MakeHResult(0x20001402u);

// Where the trusted roots live below HKEY_LOCAL_MACHINE.
inline constexpr WCHAR kMachineRootCertificatesPath[] =
    u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";

// A new[] copy (caller deletes) of the module's resource 104 of type
// "CERTIFICATE" and its length.
HRESULT LoadModuleResource(BYTE** ppbyBuffer, DWORD* pdwLength);
// Removes the obsolete certificates (whatever the XML holds), then imports
// the chain from the XML bytes. 0 or the first failure.
HRESULT ImportCertificateChainfromBlobData(const BYTE* pbyXmlData, DWORD dwXmlLength);

// UTF-8 XML bytes (read up to the first zero byte) into a document. A text
// that does not parse is not a failure here: the document stays empty.
HRESULT LoadXMLDom(const BYTE* pbyXmlData, DWORD dwXmlLength, XmlDocument& xmlDocument);
HRESULT ImportCertChainfromXMLDOMDoc(const XmlDocument& xmlDocument);
// The document's last child; S_FALSE and no node for an empty document.
HRESULT GetXMLRootNode(const XmlDocument& xmlDocument, XmlNode& rootNode);
// The first child of parentNode whose name contains lpwName, ignoring case.
// REGISTER_S_NO_CHILD_NODE (and no node) when none does.
HRESULT FindChildNode(XmlNode& childNode, const XmlNode& parentNode, LPCWSTR lpwName);
// The node's text as a new[] terminated array (caller deletes).
HRESULT GetNodeValue(const XmlNode& node, LPWSTR* ppwszValue);
// The texts of the first three children, by position whatever their names:
// import path, entry point, Base64 content (new[] arrays, caller deletes).
// SIGIL_E_INSTALL_CHAIN when the node has fewer than three children.
HRESULT GetRegisteredCertificateInfoNode(const XmlNode& certificateNode, LPWSTR* ppwszImportPath,
                                         LPWSTR* ppwszEntryPoint, LPWSTR* ppwszContent);

// Decodes the Base64 content and writes it as value "Blob" of key
// lpwEntryPoint below HKEY_LOCAL_MACHINE\lpwImportPath.
HRESULT WriteCertificatetoRegistry(LPCWSTR lpwImportPath, LPCWSTR lpwEntryPoint,
                                   LPCWSTR lpwContent);
HRESULT RegWriteBinaryValue(LPCWSTR lpwKeyPath, LPCWSTR lpwSubKeyName, const BYTE* pbyData,
                            DWORD dwDataLength);

HRESULT ParseCertificateNode(const XmlNode& certificateNode);
HRESULT ParseRootCACertificateNode(const XmlNode& rootCACertificateNode);
HRESULT ParseP7bContentNode(const XmlNode& p7bContentNode);

// A read-only store over a DER PKCS#7 (caller closes it).
HRESULT ImportP7bCertificatestoStore(const BYTE* pbyP7bData, DWORD dwP7bLength,
                                     HCERTSTORE* phP7bStore);
// Adds every certificate of the store that is not self-issued to the
// machine's "CA" store; ones already there are skipped.
HRESULT AddCACertficatetoStore(HCERTSTORE hP7bStore);

// Deletes every certificate of the machine's "CA" store that passes the
// filter.
HRESULT DeleteSpecifiedCert(PCCERTIFICATE_FILTER pFilter);
// The fixed deletion list: three filters and one trusted-root key.
HRESULT DeleteDiscardCert();
HRESULT RegDeleteSpecificKey();

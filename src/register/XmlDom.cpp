#include "register/XmlDom.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <bit>
#include <climits>

#include "platform/base/WideString.h"

namespace {

bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool IsBlankText(const xmlNode* node) {
  if (node->type != XML_TEXT_NODE) return false;
  if (!node->content) return true;
  for (const xmlChar* p = node->content; *p; ++p)
    if (!IsXmlSpace(static_cast<char16_t>(*p))) return false;
  return true;
}

// The DOM drops white-space-only text and shows no DTD, entity or
// namespace declaration nodes.
bool IsVisible(const xmlNode* node) {
  switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
    case XML_ENTITY_REF_NODE:
      return true;
    case XML_TEXT_NODE:
      return !IsBlankText(node);
    default:
      return false;
  }
}

xmlNode* FirstVisible(xmlNode* node) {
  while (node && !IsVisible(node)) node = node->next;
  return node;
}

std::u16string FromXmlChars(const xmlChar* text) {
  return text ? FromUtf8(reinterpret_cast<const char*>(text)) : std::u16string();
}

}  // namespace

std::u16string XmlNode::Name() const {
  if (!m_node) return {};
  switch (m_node->type) {
    case XML_TEXT_NODE:
      return u"#text";
    case XML_CDATA_SECTION_NODE:
      return u"#cdata-section";
    case XML_COMMENT_NODE:
      return u"#comment";
    case XML_ELEMENT_NODE:
      if (m_node->ns && m_node->ns->prefix)
        return FromXmlChars(m_node->ns->prefix) + u":" + FromXmlChars(m_node->name);
      return FromXmlChars(m_node->name);
    default:
      return FromXmlChars(m_node->name);
  }
}

std::u16string XmlNode::Text() const {
  if (!m_node) return {};
  xmlChar* content = xmlNodeGetContent(m_node);
  std::u16string text = FromXmlChars(content);
  xmlFree(content);
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsXmlSpace(text[begin])) ++begin;
  while (end > begin && IsXmlSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

XmlNode XmlNode::FirstChild() const {
  // Only elements have children in the DOM; an entity reference's children
  // are the entity's declaration, not document content.
  if (!m_node || m_node->type != XML_ELEMENT_NODE) return XmlNode();
  return XmlNode(FirstVisible(m_node->children));
}

XmlNode XmlNode::NextSibling() const {
  if (!m_node) return XmlNode();
  return XmlNode(FirstVisible(m_node->next));
}

std::size_t XmlNode::ChildCount() const {
  std::size_t count = 0;
  for (XmlNode child = FirstChild(); child; child = child.NextSibling()) ++count;
  return count;
}

void XmlDocument::Deleter::operator()(_xmlDoc* doc) const { xmlFreeDoc(doc); }

bool XmlDocument::LoadText(std::u16string_view text) {
  m_doc.reset();
  if (text.size() > static_cast<std::size_t>(INT_MAX) / sizeof(char16_t)) return false;
  // UTF-16 in the machine's order; the declaration's "UTF-8" describes the
  // resource bytes, which are already decoded.
  constexpr int kOptions =
      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_IGNORE_ENC;
  constexpr const char* kEncoding =
      std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
  xmlDoc* doc =
      xmlReadMemory(reinterpret_cast<const char*>(text.data()),
                    static_cast<int>(text.size() * sizeof(char16_t)), nullptr, kEncoding, kOptions);
  if (!doc) return false;
  m_doc.reset(doc);
  return true;
}

XmlNode XmlDocument::LastChild() const {
  if (!m_doc) return XmlNode();
  xmlNode* last = nullptr;
  for (xmlNode* node = m_doc->children; node; node = node->next)
    if (IsVisible(node)) last = node;
  return XmlNode(last);
}

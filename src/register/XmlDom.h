// A small DOM over libxml2: what the CA chain import reads from its XML
// resource. A document owns its whole tree; node handles only point into it
// and must not outlive the document they came from.
#pragma once

#include <memory>
#include <string>

#include "platform/base/WinTypes.h"

struct _xmlDoc;
struct _xmlNode;

// A node of a loaded document, or none (the default). Children are seen as
// the DOM shows them with white space not preserved: elements, comments,
// processing instructions, CDATA and text, but no text node made only of
// white space.
class XmlNode {
 public:
  XmlNode() = default;
  explicit XmlNode(_xmlNode* node) : m_node(node) {}

  explicit operator bool() const { return m_node != nullptr; }
  bool operator==(const XmlNode& other) const { return m_node == other.m_node; }

  // Element and processing-instruction names as written (with any prefix);
  // "#text", "#comment", "#cdata-section" for the others.
  std::u16string Name() const;
  // The text of the node and everything below it, white space at both ends
  // removed.
  std::u16string Text() const;
  XmlNode FirstChild() const;
  XmlNode NextSibling() const;
  std::size_t ChildCount() const;

 private:
  _xmlNode* m_node = nullptr;
};

class XmlDocument {
 public:
  XmlDocument() = default;
  XmlDocument(XmlDocument&&) noexcept = default;
  XmlDocument& operator=(XmlDocument&&) noexcept = default;

  // Parses UTF-16 text (its own encoding declaration is ignored; the text is
  // already decoded). No network access, no external entities, no DTD
  // loading. A text that does not parse leaves an empty document and
  // returns false, as the DOM's load does.
  bool LoadText(std::u16string_view text);
  bool Empty() const { return m_doc == nullptr; }
  // The document's last top-level node (element, comment or processing
  // instruction); none for an empty document.
  XmlNode LastChild() const;

 private:
  struct Deleter {
    void operator()(_xmlDoc* doc) const;
  };
  std::unique_ptr<_xmlDoc, Deleter> m_doc;
};

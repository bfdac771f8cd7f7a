// A read-only XML document through the system's MSXML DOM parser: parse bytes, pick
// attribute values of selected elements. Keeps COM out of the callers.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct IXMLDOMDocument;

class CXmlDocument {
 public:
  CXmlDocument() = default;
  CXmlDocument(const CXmlDocument&) = delete;
  CXmlDocument& operator=(const CXmlDocument&) = delete;
  ~CXmlDocument();

  // Creates the parser. False when the system has none. COM must be initialised.
  bool Create();

  // Parses a whole file's bytes, decoded by the encoding its declaration names. False
  // when the text is not well-formed XML (the document is then empty).
  bool Load(const std::string& bytes);

  // For every element that `path` selects, in document order, the values of the named
  // attributes as UTF-8; no value where the element lacks that attribute.
  std::vector<std::vector<std::optional<std::string>>> SelectAttributes(
      const wchar_t* path, const std::vector<std::wstring>& names) const;

 private:
  IXMLDOMDocument* doc_ = nullptr;
};

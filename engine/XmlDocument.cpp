#include "engine/XmlDocument.h"

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>

#include "base/Utf8.h"
#include "base/Win.h"

namespace {

// MSXML 3.0 DOM document, the parser every Windows since XP carries.
const CLSID kDomDocumentClass = {
    0xF5078F1B, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};

// Owns one interface reference.
template <typename T>
class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (p_) p_->Release();
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T** Put() { return &p_; }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : s_(SysAllocString(text)) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(s_); }
  BSTR Get() const { return s_; }

 private:
  BSTR s_;
};

class Variant {
 public:
  Variant() { VariantInit(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v_); }
  VARIANT* Put() { return &v_; }
  const VARIANT& Get() const { return v_; }

 private:
  VARIANT v_;
};

std::optional<std::string> Attribute(IXMLDOMElement* element, const std::wstring& name) {
  Bstr bname(name.c_str());
  Variant value;
  if (element->getAttribute(bname.Get(), value.Put()) != S_OK) return std::nullopt;
  if (value.Get().vt != VT_BSTR) return std::nullopt;
  BSTR s = value.Get().bstrVal;
  if (!s) return std::string();
  return base::Narrow(std::wstring_view(s, SysStringLen(s)));
}

}  // namespace

CXmlDocument::~CXmlDocument() {
  if (doc_) doc_->Release();
}

bool CXmlDocument::Create() {
  if (doc_) return true;
  if (FAILED(CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                              reinterpret_cast<void**>(&doc_))) ||
      !doc_) {
    doc_ = nullptr;
    return false;
  }
  doc_->put_async(VARIANT_FALSE);
  // The file is data, never a reason to fetch or run anything else.
  doc_->put_resolveExternals(VARIANT_FALSE);
  doc_->put_validateOnParse(VARIANT_FALSE);
  return true;
}

bool CXmlDocument::Load(const std::string& bytes) {
  if (!doc_) return false;
  // From memory rather than by file name: the parser would read a path as a URL, where
  // "#" or "%" in a folder name mean something else.
  Ref<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()))) return false;
  ULONG written = 0;
  if (!bytes.empty() &&
      FAILED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written)))
    return false;
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_UNKNOWN;
  source.punkVal = stream.Get();
  VARIANT_BOOL ok = VARIANT_FALSE;
  HRESULT hr = doc_->load(source, &ok);
  return SUCCEEDED(hr) && ok == VARIANT_TRUE;
}

std::vector<std::vector<std::optional<std::string>>> CXmlDocument::SelectAttributes(
    const wchar_t* path, const std::vector<std::wstring>& names) const {
  std::vector<std::vector<std::optional<std::string>>> rows;
  if (!doc_) return rows;
  Bstr query(path);
  Ref<IXMLDOMNodeList> nodes;
  if (doc_->selectNodes(query.Get(), nodes.Put()) != S_OK || !nodes.Get()) return rows;
  for (;;) {
    Ref<IXMLDOMNode> node;
    if (nodes->nextNode(node.Put()) != S_OK || !node.Get()) break;
    Ref<IXMLDOMElement> element;
    if (FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.Put()))) ||
        !element.Get())
      continue;
    std::vector<std::optional<std::string>> row;
    row.reserve(names.size());
    for (const std::wstring& name : names) row.push_back(Attribute(element.Get(), name));
    rows.push_back(std::move(row));
  }
  return rows;
}

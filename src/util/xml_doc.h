// The one place that creates MSXML documents. Every document is created with DTD processing
// prohibited and external resolution off, and every text or file is checked for a document
// type declaration before the parser sees it: lists come from the network, and an entity
// must never make the parser read a local file, reach a server or expand without bound.
// Thread: the calling thread must have COM initialised (see ComInit).
#pragma once
#include <windows.h>
#include <msxml2.h>

#include <string>
#include <string_view>

#include "util/com.h"
#include "util/handle.h"

namespace mv {

// Owning BSTR.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::wstring_view s);
    ~Bstr();
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return b_; }
    BSTR* put();
    std::wstring str() const;

private:
    BSTR b_ = nullptr;
};

// Creates the DOM document (DOMDocument, CLSCTX_ALL, IUnknown, OleRun, IXMLDOMDocument),
// synchronous, not validating, externals not resolved, DTDs prohibited where the object
// knows the property. Empty on failure.
ComPtr<IXMLDOMDocument> CreateDomDocument();

// True when the bytes of an XML file (any of the encodings a list may use) hold a document
// type declaration, or are in an encoding in which that cannot be checked (UTF-32, UTF-7,
// EBCDIC). Such a document is never handed to the parser.
bool XmlBytesUnsafe(std::string_view bytes);
bool XmlTextUnsafe(std::wstring_view text);

enum class XmlLoad {
    Ok,
    Failed,    // missing or unreadable file, malformed XML
    Refused,   // the document holds a document type declaration (or cannot be checked)
};

// Reads a file once and, after the safety check, parses those same bytes (the document's load
// from a stream over them); the parser never opens the path itself.
// On Failed, `error` (when given) tells why: the parser's line, column and reason, or the
// Win32 error of reading the file.
XmlLoad LoadXmlFile(IXMLDOMDocument* doc, const std::wstring& path, std::wstring* error = nullptr);
// Parses bytes already in memory (a list as it was downloaded and verified) after the safety
// check, finding the encoding in them as in a file.
XmlLoad LoadXmlBytes(IXMLDOMDocument* doc, std::string_view bytes, std::wstring* error = nullptr);
// Parses text already in memory with loadXML after the safety check.
XmlLoad LoadXmlText(IXMLDOMDocument* doc, const std::wstring& text, std::wstring* error = nullptr);
// Saves the document to a file with save. True on success.
bool SaveXmlFile(IXMLDOMDocument* doc, const std::wstring& path);
// Saves the document into bytes, as save writes a file. True on success.
bool SaveXmlBytes(IXMLDOMDocument* doc, std::string& bytes);

// Node helpers. Absent, null or non-text values read as empty.
std::wstring NodeName(IXMLDOMNode* node);
std::wstring NodeText(IXMLDOMNode* node);
std::wstring ElementAttribute(IXMLDOMElement* element, const wchar_t* name);

}  // namespace mv

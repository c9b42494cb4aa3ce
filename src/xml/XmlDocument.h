// CXmlDocument: an XML text held in memory with an element index, a forgiving parser that logs
// every problem, and a cursor to find elements and read attributes.
//
// The text is kept as one string in the process code page; the element index records, for each
// element, where it lies in the text and how it links to its parent, first child and siblings.
// Names, attributes and values are read from the text through the index when asked for; nothing
// is copied at parse time. Parsing never fails and never throws: it indexes whatever elements it
// recognises, repairs unbalanced nesting and writes a description of every problem into the
// result log, itself a small XML text of empty elements.
//
// One thread at a time. Positions handed out stay valid until the next SetText.
#ifndef ZEMA_XML_XMLDOCUMENT_H
#define ZEMA_XML_XMLDOCUMENT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

// One entry of the element index: eight 32-bit fields.
struct XmlElementEntry {
  uint32_t start;        // offset of the "<" of the start tag
  uint32_t length;       // start tag through end tag; the start tag alone when there is no end tag
  uint32_t tagLengths;   // low 22 bits: start-tag length; high 10 bits: end-tag length (0: none)
  uint32_t flags;        // depth in the low 16 bits, then the flags below
  uint32_t parent;       // 0 for top-level elements
  uint32_t firstChild;   // 0 = none
  uint32_t nextSibling;  // 0 = last
  uint32_t previousSibling;  // for a first child: the last child of the same parent
};

// Flags of XmlElementEntry::flags. The depth is the parent's depth + 1 (0 at the top level), also
// for elements that moved up when an element around them was left unended.
constexpr uint32_t kXmlDepthMask = 0xFFFF;  // saturates at 0xFFFF in deeper documents
constexpr uint32_t kXmlFirstChild = 0x80000;
constexpr uint32_t kXmlUnended = 0x100000;        // its start tag never got an end tag
constexpr uint32_t kXmlErrorInside = 0x200000;    // an error was met directly inside
constexpr uint32_t kXmlNotWellFormed = 0x800000;  // document entry only

// Field limits of XmlElementEntry::tagLengths (longer tags are stored as the limit).
constexpr uint32_t kXmlStartTagLengthMask = 0x3FFFFF;
constexpr uint32_t kXmlEndTagLengthLimit = 0x3FF;
constexpr int kXmlEndTagLengthShift = 22;

// A position: block in the high 16 bits, entry within the block in the low 16 bits, so entry
// number n has position n. Position 0 is the document entry; as a link it means none.
constexpr uint32_t kXmlBlockEntries = 65536;

class CXmlDocument {
 public:
  // An empty document: no text, no index (capacity 0), no current element.
  CXmlDocument();
  ~CXmlDocument();
  CXmlDocument(const CXmlDocument&) = delete;
  CXmlDocument& operator=(const CXmlDocument&) = delete;

  // Replaces the text (null: empty, dropping the index) and parses it. True when well-formed:
  // no element left without its end tag, no lone end tag, no syntax error (a bad declaration
  // inside a document type aside) and exactly one top-level element. Clears the cursor and the
  // result log. Texts of 4 GiB or more are kept but not indexed.
  bool SetText(const char* text);

  // Element names: null or "" matches every element; otherwise the name argument must be a valid
  // relative path ("a", "a/b", "a[2]", "a[@id='x']", "a/@id", ...) and an element matches when
  // its tag name equals the first step's name exactly. Absolute paths ("/a", "//a") and invalid
  // arguments find nothing.
  //
  // Moves current to the next matching element of the current level, after current or from the
  // level's first element; current child becomes 0. False, cursor untouched, when none matches.
  bool FindNext(const char* name);
  // Makes the first element of the level current when there is none (false if the level is
  // empty), then moves current child to the next matching child of current, after current child
  // or from the first child. False, current child untouched, when none matches.
  bool FindNextChild(const char* name);
  // The current element becomes the parent of the level, the current child the current element.
  // False, cursor untouched, without a current element.
  bool Descend();
  // Back to the level of the parent, which becomes current. False at the top level.
  bool Ascend();
  // The decoded value of attribute name of the current child; "" when absent, when name is null
  // or when there is no current element or child.
  std::string ChildAttribute(const char* name) const;
  // The same for the element at position; "" for a position that names no element.
  std::string ElementAttribute(uint32_t position, const char* name) const;

  // Entries describing the problems of the last parse (see XmlLog.h).
  const std::string& ResultLog() const;

  // The tag name of the element at position ("" when there is none): the bytes after "<" and
  // any whitespace up to whitespace or one of < > = \ / ? ! " ' ;, or that single byte.
  std::string TagName(uint32_t position) const;
  // The result SetText gave for the current text.
  bool IsWellFormed() const;

  // The cursor.
  uint32_t Parent() const { return parent; }
  uint32_t Current() const { return current; }
  uint32_t CurrentChild() const { return currentChild; }

  // The text and the element index as they are, for inspection.
  const std::string& Text() const { return text; }
  // The number of entries taken, the document entry included (1 for a text without elements).
  uint32_t NextFree() const { return nextFree; }
  // Always 0: names compare exactly and the document is not attached to a file.
  uint32_t ModeFlags() const { return modeFlags; }
  uint32_t Capacity() const { return index.capacity; }
  uint32_t BlockTableSlots() const { return index.blockSlots; }
  // The entry at position, or null when the position has not been taken (position 0 is the
  // document entry; there is none before the first parse or after SetText(nullptr)).
  const XmlElementEntry* Entry(uint32_t position) const;

 private:
  struct ElementIndex {
    XmlElementEntry** blocks = nullptr;
    uint32_t capacity = 0;    // entries the blocks hold
    uint32_t blockSlots = 0;  // slots of the block table
  };
  struct OpenElement {
    uint32_t nameFirst;
    uint32_t nameLength;
    uint32_t position;
    uint32_t startTagLength;
  };

  XmlElementEntry& At(uint32_t position) const {
    return index.blocks[position >> 16][position & 0xFFFF];
  }
  bool IsElement(uint32_t position) const {
    return position != 0 && position < nextFree && index.capacity != 0;
  }
  bool GrowIndexOnce(uint64_t wanted);
  bool ReserveIndex(uint64_t wanted);
  void FreeIndex();
  uint32_t NewEntry();
  void Parse();
  uint32_t BuildTree();
  void CloseUnended(size_t keep, uint32_t closedAt);
  size_t FindOpenElement(const char* name, uint32_t nameLength);
  void PushOpenElement(const OpenElement& element);
  void PopOpenElements(size_t keep);
  void FixDepths();
  void TagNameSpan(uint32_t position, const char** name, size_t* nameLength) const;
  bool FindAttribute(uint32_t position, const char* name, const char** value,
                     size_t* valueLength) const;
  uint32_t FindSibling(uint32_t from, const char* name) const;

  std::string text;
  std::string resultLog;
  uint32_t parent = 0;
  uint32_t current = 0;
  uint32_t currentChild = 0;
  uint32_t nextFree = 1;
  uint32_t modeFlags = 0;
  ElementIndex index;

  // Parse state, kept to reuse its storage.
  std::vector<OpenElement> openElements;
  // Counts of the names of open elements by hash, kept only after the first end tag that did not
  // match the innermost open element, so that lone end tags cost no walk of a deep stack.
  std::unordered_map<uint64_t, uint32_t> openNameCounts;
  bool countingOpenNames = false;
};

#endif

// CXmlDocument: the text, the element index and the parser that fills it. The cursor and the
// attribute reads are in XmlNavigation.cpp.
#include "xml/XmlDocument.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "xml/XmlLog.h"
#include "xml/XmlNameArgument.h"
#include "xml/XmlTokenizer.h"

namespace {

// Texts this long or longer do not fit the 32-bit offsets of the index.
constexpr size_t kMaxIndexedText = 0xFFFFFFFFu;

constexpr uint64_t kHashStart = 14695981039346656037u;

// 64-bit FNV-1a, one byte at a time, so that the hashes of all leading parts of a name come out
// of one pass.
inline uint64_t HashByte(uint64_t hash, char c) {
  return (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
}

uint64_t HashName(const char* name, size_t length) {
  uint64_t hash = kHashStart;
  for (size_t i = 0; i < length; ++i) hash = HashByte(hash, name[i]);
  return hash;
}

inline uint32_t PackTagLengths(uint32_t startTagLength, uint32_t endTagLength) {
  return std::min(startTagLength, kXmlStartTagLengthMask) |
         (std::min(endTagLength, kXmlEndTagLengthLimit) << kXmlEndTagLengthShift);
}

}  // namespace

CXmlDocument::CXmlDocument() = default;

CXmlDocument::~CXmlDocument() { FreeIndex(); }

const std::string& CXmlDocument::ResultLog() const { return resultLog; }

const XmlElementEntry* CXmlDocument::Entry(uint32_t position) const {
  if (index.capacity == 0 || position >= nextFree) return nullptr;
  return &At(position);
}

bool CXmlDocument::IsWellFormed() const {
  if (index.capacity == 0) return false;
  const XmlElementEntry& document = At(0);
  if ((document.flags & kXmlNotWellFormed) != 0 || document.firstChild == 0) return false;
  return At(document.firstChild).nextSibling == 0;
}

// ---------------------------------------------------------------------------------------------
// The element index.

void CXmlDocument::FreeIndex() {
  if (index.capacity != 0) {
    uint32_t lastBlock = (index.capacity - 1) >> 16;
    for (uint32_t i = 0; i <= lastBlock; ++i) free(index.blocks[i]);
  }
  free(index.blocks);
  index = ElementIndex();
}

// Grows the capacity towards wanted, but never past the end of the block after the current last
// one. False, index unchanged, when memory runs out.
bool CXmlDocument::GrowIndexOnce(uint64_t wanted) {
  const uint64_t capacity = index.capacity;
  const uint64_t lastBlock = capacity == 0 ? 0 : (capacity - 1) >> 16;
  const uint64_t limit = capacity == 0 ? kXmlBlockEntries : (lastBlock + 2) * kXmlBlockEntries;
  uint64_t newCapacity = std::min<uint64_t>(std::min(wanted, limit), 0xFFFFFFFFu);
  if (newCapacity <= capacity) return false;
  const uint64_t newLastBlock = (newCapacity - 1) >> 16;
  const size_t entrySize = sizeof(XmlElementEntry);

  if (capacity != 0 && newLastBlock == lastBlock) {
    void* block =
        realloc(index.blocks[lastBlock], (newCapacity - lastBlock * kXmlBlockEntries) * entrySize);
    if (block == nullptr) return false;
    index.blocks[lastBlock] = static_cast<XmlElementEntry*>(block);
    index.capacity = static_cast<uint32_t>(newCapacity);
    return true;
  }

  // A new block: the old last block is filled up to a whole block first.
  if (capacity != 0 && capacity != (lastBlock + 1) * kXmlBlockEntries) {
    void* block = realloc(index.blocks[lastBlock], kXmlBlockEntries * entrySize);
    if (block == nullptr) return false;
    index.blocks[lastBlock] = static_cast<XmlElementEntry*>(block);
    index.capacity = static_cast<uint32_t>((lastBlock + 1) * kXmlBlockEntries);
  }
  if (newLastBlock >= index.blockSlots) {
    uint64_t slots = 2 * newLastBlock + 4;
    void* table = calloc(slots, sizeof(XmlElementEntry*));
    if (table == nullptr) return false;
    if (index.blocks != nullptr) {
      memcpy(table, index.blocks, index.blockSlots * sizeof(XmlElementEntry*));
      free(index.blocks);
    }
    index.blocks = static_cast<XmlElementEntry**>(table);
    index.blockSlots = static_cast<uint32_t>(slots);
  }
  void* block = malloc((newCapacity - newLastBlock * kXmlBlockEntries) * entrySize);
  if (block == nullptr) return false;
  index.blocks[newLastBlock] = static_cast<XmlElementEntry*>(block);
  index.capacity = static_cast<uint32_t>(newCapacity);
  return true;
}

bool CXmlDocument::ReserveIndex(uint64_t wanted) {
  while (index.capacity < wanted) {
    if (!GrowIndexOnce(wanted)) return false;
  }
  return true;
}

// Takes the next entry; 0 when the index cannot grow.
inline uint32_t CXmlDocument::NewEntry() {
  if (nextFree == index.capacity && !GrowIndexOnce(uint64_t{nextFree} + nextFree / 2)) return 0;
  return nextFree++;
}

// ---------------------------------------------------------------------------------------------
// Parsing.

bool CXmlDocument::SetText(const char* newText) {
  parent = current = currentChild = 0;
  resultLog.clear();
  if (newText == nullptr) {
    std::string().swap(text);
    FreeIndex();
    nextFree = 1;
    return false;
  }
  text.assign(newText);
  Parse();
  parent = current = currentChild = 0;
  return IsWellFormed();
}

void CXmlDocument::Parse() {
  const size_t length = text.size();
  nextFree = 1;
  if (!ReserveIndex(uint64_t{length} / 64 + 8)) {
    // Out of memory: keep what the index holds and index nothing.
    if (index.capacity == 0) return;
    nextFree = 1;
  }
  XmlElementEntry& document = At(0);
  memset(&document, 0, sizeof document);
  if (length == 0) return;

  uint32_t root = 0;
  if (length < kMaxIndexedText) root = BuildTree();
  At(0).length = static_cast<uint32_t>(std::min(length, kMaxIndexedText));

  XmlLogEntry entry;
  if (root == 0) {
    entry.name = kLogNoRootElement;
    AppendXmlLogEntry(resultLog, entry);
  } else {
    At(0).firstChild = root;
    if (At(root).nextSibling != 0) {
      entry.name = kLogRootHasSibling;
      AppendXmlLogEntry(resultLog, entry);
    }
  }
}

void CXmlDocument::PushOpenElement(const OpenElement& element) {
  openElements.push_back(element);
  if (countingOpenNames) {
    ++openNameCounts[HashName(text.data() + element.nameFirst, element.nameLength)];
  }
}

void CXmlDocument::PopOpenElements(size_t keep) {
  if (countingOpenNames) {
    for (size_t i = keep; i < openElements.size(); ++i) {
      const OpenElement& element = openElements[i];
      auto found =
          openNameCounts.find(HashName(text.data() + element.nameFirst, element.nameLength));
      if (found != openNameCounts.end() && --found->second == 0) openNameCounts.erase(found);
    }
  }
  openElements.resize(keep);
}

// The index on the open-element stack of the innermost element that an end tag named name
// closes, or SIZE_MAX.
size_t CXmlDocument::FindOpenElement(const char* name, uint32_t nameLength) {
  if (openElements.empty()) return SIZE_MAX;
  const char* const base = text.data();
  const size_t top = openElements.size() - 1;
  const OpenElement& innermost = openElements[top];
  if (XmlNameMatches(base + innermost.nameFirst, innermost.nameLength, name, nameLength))
    return top;

  // Rare: look deeper, but only when some open element may have a name the end tag closes.
  if (!countingOpenNames) {
    openNameCounts.clear();
    for (const OpenElement& element : openElements) {
      ++openNameCounts[HashName(base + element.nameFirst, element.nameLength)];
    }
    countingOpenNames = true;
  }
  // The open names it may close are its leading parts that end before "=", "[", "]" or at its end.
  bool candidate = false;
  uint64_t hash = kHashStart;
  for (uint32_t cut = 0; cut <= nameLength && !candidate; ++cut) {
    if (cut == nameLength || name[cut] == '=' || name[cut] == '[' || name[cut] == ']') {
      candidate = openNameCounts.count(hash) != 0;
    }
    if (cut < nameLength) hash = HashByte(hash, name[cut]);
  }
  if (!candidate) return SIZE_MAX;
  for (size_t i = top; i-- > 0;) {
    const OpenElement& element = openElements[i];
    if (XmlNameMatches(base + element.nameFirst, element.nameLength, name, nameLength)) return i;
  }
  return SIZE_MAX;
}

// Closes every open element above the first keep ones as unended, innermost first: each keeps
// its start tag alone as its extent, and its children follow it as siblings. The children all
// end up below the element that stays open (or the document), so each element changes parent
// at most once.
void CXmlDocument::CloseUnended(size_t keep, uint32_t closedAt) {
  const uint32_t target = keep == 0 ? 0 : openElements[keep - 1].position;
  const size_t count = openElements.size();
  if (count <= keep) return;

  XmlLogEntry entry;
  entry.name = kLogUnendedStartTag;
  entry.textAttribute = kLogTagName;
  entry.hasOffset = true;
  entry.hasOffset2 = true;
  entry.offset2 = closedAt;
  for (size_t i = count; i-- > keep;) {
    const OpenElement& element = openElements[i];
    entry.text = text.data() + element.nameFirst;
    entry.textLength = element.nameLength;
    entry.offset = At(element.position).start;
    AppendXmlLogEntry(resultLog, entry);
  }

  bool errorInside = false;
  uint32_t last = 0;
  for (size_t i = keep; i < count; ++i) {
    const uint32_t position = openElements[i].position;
    XmlElementEntry& unended = At(position);
    if ((unended.flags & kXmlErrorInside) != 0) {
      errorInside = true;
      unended.flags &= ~kXmlErrorInside;
    }
    unended.flags |= kXmlUnended;
    unended.length = openElements[i].startTagLength;
    unended.tagLengths = PackTagLengths(openElements[i].startTagLength, 0);
    const uint32_t first = unended.firstChild;
    unended.firstChild = 0;
    if (first == 0) {
      last = position;  // only the innermost can be childless: the next one is always a child
      continue;
    }
    XmlElementEntry& firstEntry = At(first);
    last = firstEntry.previousSibling;
    firstEntry.previousSibling = position;
    firstEntry.flags &= ~kXmlFirstChild;
    unended.nextSibling = first;
    for (uint32_t child = first; child != 0; child = At(child).nextSibling) {
      At(child).parent = target;
    }
  }
  XmlElementEntry& targetEntry = At(target);
  At(targetEntry.firstChild).previousSibling = last;
  if (errorInside) targetEntry.flags |= kXmlErrorInside;
  At(0).flags |= kXmlNotWellFormed;
  PopOpenElements(keep);
}

// Elements that changed parent keep the depth they were made with; one pass in position order
// (a parent always precedes its children) sets every depth from the parent's.
void CXmlDocument::FixDepths() {
  for (uint32_t position = 1; position < nextFree; ++position) {
    XmlElementEntry& entry = At(position);
    uint32_t depth = 0;
    if (entry.parent != 0)
      depth = std::min((At(entry.parent).flags & kXmlDepthMask) + 1, kXmlDepthMask);
    entry.flags = (entry.flags & ~kXmlDepthMask) | depth;
  }
}

uint32_t CXmlDocument::BuildTree() {
  CXmlTokenizer tokenizer(text.data(), text.size());
  const char* const base = text.data();
  openElements.clear();
  if (openElements.capacity() < 7) openElements.reserve(7);
  countingOpenNames = false;
  uint32_t container = 0;  // the element new elements go into (0: the document)
  uint32_t first = 0;
  size_t errorsLogged = 0;
  bool anyUnended = false;
  XmlToken token;

  for (;;) {
    tokenizer.Next(token);
    switch (token.kind) {
      case XmlTokenKind::StartTag: {
        const uint32_t position = NewEntry();
        if (position == 0) break;  // out of memory: the element is not indexed
        XmlElementEntry& element = At(position);
        XmlElementEntry& containerEntry = At(container);
        element.start = token.start;
        element.length = token.length;
        element.tagLengths = PackTagLengths(token.length, 0);
        element.parent = container;
        element.firstChild = 0;
        element.nextSibling = 0;
        uint32_t depth = std::min<size_t>(openElements.size(), kXmlDepthMask);
        if (containerEntry.firstChild == 0) {
          containerEntry.firstChild = position;
          element.previousSibling = position;
          element.flags = depth | kXmlFirstChild;
        } else {
          XmlElementEntry& firstChild = At(containerEntry.firstChild);
          const uint32_t lastChild = firstChild.previousSibling;
          At(lastChild).nextSibling = position;
          firstChild.previousSibling = position;
          element.previousSibling = lastChild;
          element.flags = depth;
        }
        if (first == 0) first = position;
        if (!token.emptyElement) {
          PushOpenElement(
              {token.nameFirst, token.nameLast + 1 - token.nameFirst, position, token.length});
          container = position;
        }
        break;
      }
      case XmlTokenKind::EndTag: {
        const char* name = base + token.nameFirst;
        const uint32_t nameLength = token.nameLast + 1 - token.nameFirst;
        const size_t match = FindOpenElement(name, nameLength);
        if (match == SIZE_MAX) {
          At(0).flags |= kXmlNotWellFormed;
          At(container).flags |= kXmlErrorInside;
          XmlLogEntry entry;
          entry.name = kLogLoneEndTag;
          entry.textAttribute = kLogTagName;
          entry.text = name;
          entry.textLength = nameLength;
          entry.hasOffset = true;
          entry.offset = token.start;
          AppendXmlLogEntry(resultLog, entry);
          break;
        }
        const uint32_t closed = openElements[match].position;
        XmlElementEntry& element = At(closed);
        element.length = token.start + token.length - element.start;
        element.tagLengths = PackTagLengths(openElements[match].startTagLength, token.length);
        if (match + 1 < openElements.size()) {
          CloseUnended(match + 1, token.start + 1);
          anyUnended = true;
        }
        container = At(closed).parent;
        PopOpenElements(match);
        break;
      }
      case XmlTokenKind::SyntaxError:
        At(0).flags |= kXmlNotWellFormed;
        At(container).flags |= kXmlErrorInside;
        break;
      case XmlTokenKind::EndOfText:
        if (tokenizer.SyntaxErrors().size() != errorsLogged) {
          resultLog.append(tokenizer.SyntaxErrors(), errorsLogged, std::string::npos);
        }
        if (!openElements.empty()) {
          CloseUnended(0, static_cast<uint32_t>(text.size()));
          anyUnended = true;
        }
        if (anyUnended) FixDepths();
        return first;
      default:
        break;
    }
    if (tokenizer.SyntaxErrors().size() != errorsLogged) {
      resultLog.append(tokenizer.SyntaxErrors(), errorsLogged, std::string::npos);
      errorsLogged = tokenizer.SyntaxErrors().size();
    }
  }
}

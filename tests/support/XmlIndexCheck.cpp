#include "support/XmlIndexCheck.h"

#include <stdio.h>

#include <vector>

namespace {

constexpr uint32_t kKnownFlags = kXmlDepthMask | kXmlFirstChild | kXmlUnended | kXmlErrorInside;

std::string Describe(uint32_t position, const char* problem) {
  char buffer[160];
  snprintf(buffer, sizeof buffer, "entry %u (block %u, entry %u): %s", position, position >> 16,
           position & 0xFFFF, problem);
  return buffer;
}

}  // namespace

std::string CheckXmlIndex(const CXmlDocument& document) {
  const XmlElementEntry* root = document.Entry(0);
  const std::string& text = document.Text();
  if (root == nullptr) {
    return text.empty() ? std::string() : "a text without an index";
  }
  const uint64_t textLength = text.size();
  const uint32_t count = document.NextFree();
  if (count > document.Capacity()) return "next free is beyond the capacity";
  if (root->start != 0 || root->tagLengths != 0 || root->parent != 0 || root->nextSibling != 0 ||
      root->previousSibling != 0) {
    return Describe(0, "document entry has a start, tag lengths or links other than 0");
  }
  if ((root->flags & ~(kXmlNotWellFormed | kXmlErrorInside)) != 0) {
    return Describe(0, "document entry has a depth or an element flag");
  }
  if (root->length != textLength) return Describe(0, "document length is not the text length");
  if (count > 1 && root->firstChild != 1) {
    return Describe(0, "first child is not the first element made");
  }
  if (count == 1 && root->firstChild != 0) return Describe(0, "first child without elements");

  std::vector<bool> seen(count, false);
  std::vector<uint32_t> parents(1, 0);  // parents whose child lists are still to be walked
  uint32_t reached = 0;
  bool anyUnended = false;
  while (!parents.empty()) {
    const uint32_t parentPosition = parents.back();
    parents.pop_back();
    const XmlElementEntry& parentEntry = *document.Entry(parentPosition);
    const uint64_t parentStart = parentPosition == 0 ? 0 : parentEntry.start;
    const uint64_t parentEnd =
        parentPosition == 0 ? textLength : parentEntry.start + uint64_t{parentEntry.length};
    const uint32_t parentDepth = parentEntry.flags & kXmlDepthMask;
    const uint32_t first = parentEntry.firstChild;
    uint32_t previous = 0;
    uint64_t previousEnd =
        parentPosition == 0 ? 0 : parentStart + (parentEntry.tagLengths & kXmlStartTagLengthMask);
    for (uint32_t position = first; position != 0;) {
      if (position >= count) return Describe(parentPosition, "links to an entry not taken");
      if (seen[position]) return Describe(position, "reached twice");
      seen[position] = true;
      ++reached;
      const XmlElementEntry& entry = *document.Entry(position);
      if (entry.parent != parentPosition) return Describe(position, "wrong parent link");
      if (position <= parentPosition && parentPosition != 0) {
        return Describe(position, "made before its parent");
      }
      if ((entry.flags & ~kKnownFlags) != 0) return Describe(position, "unknown flag");
      const bool isFirst = position == first;
      if (((entry.flags & kXmlFirstChild) != 0) != isFirst) {
        return Describe(position, "first-child flag does not match its place");
      }
      if (!isFirst && entry.previousSibling != previous) {
        return Describe(position, "previous link does not name the sibling before");
      }
      const uint32_t depth = entry.flags & kXmlDepthMask;
      const uint32_t wantedDepth =
          parentPosition == 0 ? 0 : (parentDepth < kXmlDepthMask ? parentDepth + 1 : kXmlDepthMask);
      if (depth != wantedDepth) return Describe(position, "depth is not the parent's + 1");
      const uint64_t start = entry.start;
      const uint64_t end = start + entry.length;
      if (start >= textLength || text[start] != '<') {
        return Describe(position, "does not start at a \"<\" of the text");
      }
      if (end > textLength) return Describe(position, "extent runs past the text");
      if (start < previousEnd)
        return Describe(position, "overlaps the sibling before or the parent's start tag");
      if (start < parentStart || end > parentEnd) {
        return Describe(position, "extent is not inside the parent's");
      }
      const uint32_t startTagLength = entry.tagLengths & kXmlStartTagLengthMask;
      const uint32_t endTagLength = entry.tagLengths >> kXmlEndTagLengthShift;
      if (startTagLength < 2 || uint64_t{startTagLength} + endTagLength > entry.length) {
        return Describe(position, "tag lengths do not fit the length");
      }
      if ((entry.flags & kXmlUnended) != 0) {
        anyUnended = true;
        if (entry.firstChild != 0 || endTagLength != 0 ||
            (startTagLength < kXmlStartTagLengthMask && entry.length != startTagLength)) {
          return Describe(position, "unended element with children, an end tag or a longer extent");
        }
      }
      if (entry.firstChild != 0) parents.push_back(position);
      previous = position;
      previousEnd = end;
      position = entry.nextSibling;
      if (reached > count) return Describe(parentPosition, "sibling links loop");
    }
    if (first != 0 && document.Entry(first)->previousSibling != previous) {
      return Describe(first, "previous link of the first child does not name the last child");
    }
  }
  if (reached != count - 1) return "some entries are not reached from the document";
  if (anyUnended && (root->flags & kXmlNotWellFormed) == 0) {
    return Describe(0, "unended elements but the document is not marked as not well-formed");
  }
  return std::string();
}

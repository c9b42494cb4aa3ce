// The names the tool shares with the tag database and with its CSV files, and the names of the
// tables of its change sets.
#ifndef ZEMATAG_LAYOUT_H
#define ZEMATAG_LAYOUT_H

#include <cstddef>

namespace layout {

// Tables of every tag database; every other table is the value table of a type.
inline constexpr const char kTagTypes[] = "TagTypes";
inline constexpr const char kTags[] = "Tags";
inline constexpr const char kHMIInfo[] = "HMIInfo";
// Change tracking (see Tracking.h): no type may take these names either.
inline constexpr const char kAuditLog[] = "AuditLog";
inline constexpr const char kConfigGeneration[] = "ConfigGeneration";

// The tag columns. The CSV files use the same names for the same values.
inline constexpr const char kTagID[] = "TagID";
inline constexpr const char kTagName[] = "TagName";
inline constexpr const char kTagDesc[] = "TagDesc";
inline constexpr const char kTagType[] = "TagType";
inline constexpr const char kTagGroup[] = "TagGroup";
inline constexpr const char kTagLevel[] = "TagLevel";
inline constexpr const char kAlmLevel[] = "AlmLevel";

// Field names a type may not use: they would clash with the tag columns of a value table or of
// a CSV file.
inline constexpr const char* kReservedFieldNames[] = {kTagID,    kTagName,  kTagDesc, kTagType,
                                                      kTagGroup, kTagLevel, kAlmLevel};

// The display information of a field F in a CSV file: columns F.SCH, F.SCL, F.EU, F.Decimal.
inline constexpr const char* kDisplaySuffixes[] = {"SCH", "SCL", "EU", "Decimal"};

// Limits of the records the writer takes, in bytes of text.
constexpr size_t kMaxTagName = 31;
constexpr size_t kMaxTagDesc = 255;
constexpr size_t kMaxUnit = 7;
constexpr size_t kMaxTypeName = 64;
constexpr size_t kMaxFieldName = 31;

}  // namespace layout

// The logical tables of a change set (Changeset.h); the value table of type T is
// kValuesPrefix + T.
namespace changeset {
inline constexpr const char kTags[] = "zema:tags";
inline constexpr const char kHmi[] = "zema:hmi";
inline constexpr const char kTypes[] = "zema:types";
inline constexpr const char kTypeDefs[] = "zema:typedefs";
inline constexpr const char kEnd[] = "zema:end";
inline constexpr const char kValuesPrefix[] = "zema:values:";
}  // namespace changeset

#endif

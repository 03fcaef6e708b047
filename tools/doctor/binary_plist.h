#ifndef OSTREL_DOCTOR_BINARY_PLIST_H_
#define OSTREL_DOCTOR_BINARY_PLIST_H_

// Reads a property list in binary form ("bplist00"): the trailer at the
// end names the table of object offsets and the top object; each object is
// a marker byte, its length, and for a dict or an array the numbers of its
// objects. Every offset, count and reference is checked against the
// buffer before use, so no input reads past it. A reference back to an
// array or dict being read (a cycle), nesting deeper than 200, or more
// than a million values reached (objects may be shared, so a small file
// can name many) refuses the file; kinds a managed preferences file does
// not hold (sets, UIDs) are refused as well. Plain values an object table
// shares are read once.

#include <string_view>

#include "plist_reader.h"

namespace ostrel::doctor {

PlistReading readBinaryPlist(std::string_view bytes);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_BINARY_PLIST_H_

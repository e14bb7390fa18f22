// The text rules of the factory functional test that need no manager: MAC
// address validation, the order of the port list, and the record file
// "record.csv" (header, one row per serial number, rows replaced in place).
#ifndef JYX_FCTTOOL_FCT_RECORD_H_
#define JYX_FCTTOOL_FCT_RECORD_H_

#include <cstdint>
#include <string>
#include <vector>

namespace fct {

// Status texts of a case (UTF-8): not tested, pass, fail.
extern const char kNotTested[];
extern const char kPass[];
extern const char kFail[];

// Pairs of hexadecimal digits from position 0 to the end, each pair
// optionally followed by one ':' or '-'. So "00:11:22:33:44:55",
// "001122334455" and "00-11" are accepted, "abc" and "0g:11" are not.
bool isValidMac(const std::string& mac);

// The number formed by the trailing decimal digits of a name ("/dev/ttyUSB10"
// gives 10); 0 without trailing digits. Saturates instead of overflowing.
uint64_t trailingNumber(const std::string& name);

// Splits a blank-separated device listing and sorts it ascending by
// trailingNumber (names with equal numbers keep their listed order). An
// empty listing gives the single name "none".
std::vector<std::string> sortPorts(const std::string& listing);

// One cell of a board's row: the status text immediately followed by the
// information text. A cell holding ',', '"', '\r' or '\n' (information
// comes from the device) is quoted CSV-style so it cannot shift the columns
// or break the line.
std::string recordCell(const std::string& status, const std::string& info);

// A serial number that can stand as the first cell of a row and name the
// board's log file: not empty, not "." or "..", no ',', '"', '/', '\\' or
// control characters (a line end would split the row, a slash would put the
// log outside the record directory).
bool isValidSerialNumber(const std::string& serial);

// The record text after recording `row` for `serial`: the first occurrence
// of the serial number anywhere in `text` (plain text search) is replaced,
// up to but not including the next "\n", by the row. Without an occurrence
// the row and "\n" are appended. An occurrence with no "\n" after it leaves
// the text unchanged.
std::string mergeRecordRow(const std::string& text, const std::string& serial,
                           const std::string& row);

// The UTF-8 byte-order mark that starts every file the tool keeps.
extern const char kBom[];
// `text` without a leading byte-order mark; texts shorter than 4 bytes are
// returned as they are.
std::string stripBom(std::string text);

}  // namespace fct

#endif  // JYX_FCTTOOL_FCT_RECORD_H_

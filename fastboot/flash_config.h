// The flash tool's pure pieces, kept apart from the manager so they can be
// tested without channels or a main loop: reading the configuration file
// into the flash and erase lists, judging one line of fastboot output,
// quoting text for the shell, and rendering a GPT image as the dump prints
// it. Nothing here prints or touches process state.
#ifndef JYX_FASTBOOT_FLASH_CONFIG_H_
#define JYX_FASTBOOT_FLASH_CONFIG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fastboot {

// One image to flash. `label` is the partition name given to fastboot,
// `name` the image path, `nameEx` the alternative path a front end picked
// (initially `name`). An empty `name` means "nothing to flash".
struct FlashEntry {
  std::string label;
  std::string name;
  std::string nameEx;
};

// What a configuration file yields. `flash` is in flashing order: the
// "flash_nor" entry (when present), the "gpt" entry (when present), then
// the partitions, "ab" ones as label_a and label_b.
struct FlashLists {
  std::string platform = "android";
  std::string commandsJson = "[]";  // the "commands" array as JSON text
  std::string gptImage;             // "" when the file has no "gpt" member
  std::vector<FlashEntry> flash;
  std::vector<std::string> erase;
};

// Parses the configuration text. `toolDir` (ending in the separator, or
// empty) is put in front of every image name. False with *err naming the
// fault when the text is not a JSON object, or "flash_nor", "gpt" or a
// partition element lacks a string "label" (or "flash_nor" a string
// "name"), or a member has the wrong type; *out is then left empty.
bool parseFlashConfig(const std::string& content, const std::string& toolDir, FlashLists* out,
                      std::string* err);

// Output interpretation of one line of `currentCommand`'s output. Only the
// output of "getvar block-size" changes *sectorSize ("4096" wins over "512";
// other values leave it), and only the line naming the variable
// ("backdoor:") of "getvar backdoor" sets *backdoor, true exactly when that
// line says "yes": the client's closing summary line leaves it unchanged.
void interpretLine(const std::string& currentCommand, const char* line, std::string* sectorSize,
                   bool* backdoor);

// `text` as one shell word. Text made only of characters that no shell
// treats specially is returned as it is (so ordinary command lines read
// naturally); anything else is put in single quotes, with each quote
// written as '\''. Inside single quotes no character, newline included,
// has a meaning to the shell.
std::string shellQuote(const std::string& text);

// The text dumpGPT prints for the first bytes of a GPT image (at most
// kGptDumpBytes of it; `data` may be null when the file could not be read).
// With an empty `partition` the whole table with its opening and closing
// lines; otherwise only the line of the first entry of that name, or "".
constexpr size_t kGptDumpBytes = 131072;
std::string gptDumpText(const std::string& path, const uint8_t* data, size_t size,
                        const std::string& partition);

}  // namespace fastboot

#endif  // JYX_FASTBOOT_FLASH_CONFIG_H_

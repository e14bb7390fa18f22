// CTerminalFilter: makes text from a board (the target's UART, the
// controller MCUs' consoles) safe to write to the user's terminal. Colour
// (SGR: ESC '[' digits/';'/':' 'm') passes unchanged; every other control
// or escape sequence is made visible, so a board can colour its log but
// cannot retitle, clear, move the cursor of, or otherwise reprogram the
// terminal (OSC, DCS, CSI other than SGR, RIS, character-set switches, C1
// controls).
//
// Visible forms:
// - C0 controls and DEL in caret notation: ESC "^[", BEL "^G", BS "^H",
//   NUL "^@", DEL "^?"; the rest of an escape sequence then shows as the
//   printable text it is ("^[]0;title^G", "^[[2J").
// - C1 controls, as UTF-8 (0xC2 0x80-0x9F) or as a raw byte outside a UTF-8
//   sequence, as "\x9b" and the like.
// Kept: '\n', '\t' and '\r'. A carriage return only moves the cursor back
// to the start of the current line; it changes no terminal state, every
// target line ends in "\r\n", and boot loaders draw progress counters with
// a lone '\r', which caret notation would turn into noise.
//
// Chunks may split a sequence anywhere (the log arrives in reads and in
// partial lines flushed after silence): an escape sequence or a UTF-8 C1
// lead byte at the end of a chunk is held (at most kMaxHeld bytes) until the
// next chunk decides it. Bytes other than those pass through unchanged,
// UTF-8 included, so "%d" and the like are printed verbatim.
//
// Not thread-safe; one instance per stream.
#ifndef JYX_COMMON_TERMINAL_FILTER_H_
#define JYX_COMMON_TERMINAL_FILTER_H_

#include <cstddef>
#include <string>

class CTerminalFilter {
 public:
  // A CSI longer than this (parameters and intermediates) is no colour
  // sequence any terminal sends; it is shown, not held further.
  static constexpr size_t kMaxHeld = 64;

  // Appends the filtered form of `data` to *out.
  void filter(const char* data, size_t length, std::string* out);
  void filter(const std::string& text, std::string* out) { filter(text.data(), text.size(), out); }
  // Appends the held bytes in visible form and starts afresh (end of the
  // stream, or a new connection whose first bytes must not complete an old
  // sequence).
  void finish(std::string* out);
  // Bytes held back waiting for the next chunk.
  size_t held() const { return held_.size(); }

 private:
  enum State { kText, kEscape, kCsi, kC1Lead };

  // Handles one byte outside the plain-text fast path.
  void step(unsigned char c, std::string* out);
  // The byte handling of one state each; step() dispatches.
  void stepText(unsigned char c, std::string* out);
  void stepC1Lead(unsigned char c, std::string* out);
  void stepCsi(unsigned char c, std::string* out);
  // Shows the held bytes (an unfinished or refused sequence) visibly.
  void showHeld(std::string* out);

  State state_ = kText;
  std::string held_;           // the sequence so far, from its ESC or lead byte
  int utf8Continuations_ = 0;  // continuation bytes still expected
};

// The filtered form of text that arrives in whole lines (the FCT target's
// UART, the output of the flash tool's programs, which relays the
// bootloader's messages, the MCU console's lines), nothing held back for a
// next piece.
std::string terminalText(const std::string& text);

#endif  // JYX_COMMON_TERMINAL_FILTER_H_

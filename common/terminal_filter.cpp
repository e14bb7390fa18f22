#include "common/terminal_filter.h"

namespace {

constexpr unsigned char kEsc = 0x1B;

// Bytes copied in bulk while no sequence is open: printable ASCII and the
// three kept controls. Everything else goes through step().
inline bool isPlain(unsigned char c) {
  return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\t' || c == '\r';
}

void appendCaret(unsigned char c, std::string* out) {
  out->push_back('^');
  out->push_back(char(c ^ 0x40));  // 0x1B -> '[', 0x07 -> 'G', 0x7F -> '?'
}

void appendHex(unsigned char c, std::string* out) {
  static const char kDigits[] = "0123456789abcdef";
  out->append("\\x");
  out->push_back(kDigits[c >> 4]);
  out->push_back(kDigits[c & 0x0F]);
}

// `sequence` is ESC '[' ... 'm'; colour only when every byte between is a
// digit or a parameter separator (no private markers such as '?', no
// intermediates).
bool isSgr(const std::string& sequence) {
  for (size_t i = 2; i + 1 < sequence.size(); ++i) {
    char c = sequence[i];
    if (!((c >= '0' && c <= '9') || c == ';' || c == ':')) return false;
  }
  return true;
}

}  // namespace

void CTerminalFilter::filter(const char* data, size_t length, std::string* out) {
  size_t i = 0;
  while (i < length) {
    if (state_ == kText) {
      size_t start = i;
      while (i < length && isPlain(static_cast<unsigned char>(data[i]))) ++i;
      if (i > start) {
        out->append(data + start, i - start);
        utf8Continuations_ = 0;  // an ASCII byte ends any UTF-8 sequence
      }
      if (i == length) break;
    }
    step(static_cast<unsigned char>(data[i++]), out);
  }
}

void CTerminalFilter::step(unsigned char c, std::string* out) {
  switch (state_) {
    case kText:
      stepText(c, out);
      return;
    case kC1Lead:
      stepC1Lead(c, out);
      return;
    case kEscape:
      if (c == '[') {
        held_.push_back(char(c));
        state_ = kCsi;
        return;
      }
      // Any other escape (OSC, DCS, RIS, character sets, ...): the ESC is
      // shown and what follows is ordinary text from here on.
      showHeld(out);
      step(c, out);
      return;
    case kCsi:
      stepCsi(c, out);
      return;
  }
}

void CTerminalFilter::stepText(unsigned char c, std::string* out) {
  if (c == kEsc) {
    held_.assign(1, char(c));
    state_ = kEscape;
    utf8Continuations_ = 0;
  } else if (isPlain(c)) {
    out->push_back(char(c));
    utf8Continuations_ = 0;
  } else if (c < 0x20 || c == 0x7F) {
    appendCaret(c, out);
    utf8Continuations_ = 0;
  } else if (c <= 0xBF) {
    // 0x80-0xBF: a continuation byte. Inside a UTF-8 character it is
    // text; outside one, 0x80-0x9F is a raw C1 control and is shown,
    // 0xA0-0xBF a stray byte the terminal draws as a replacement.
    if (utf8Continuations_ > 0) {
      --utf8Continuations_;
      out->push_back(char(c));
    } else if (c <= 0x9F) {
      appendHex(c, out);
    } else {
      out->push_back(char(c));
    }
  } else if (c == 0xC2) {
    // Lead byte of U+0080-U+00BF: the C1 controls U+0080-U+009F among
    // them, so the next byte decides.
    held_.assign(1, char(c));
    state_ = kC1Lead;
    utf8Continuations_ = 0;
  } else {
    utf8Continuations_ = c <= 0xDF ? 1 : c <= 0xEF ? 2 : c <= 0xF4 ? 3 : 0;
    out->push_back(char(c));
  }
}

void CTerminalFilter::stepC1Lead(unsigned char c, std::string* out) {
  held_.clear();
  state_ = kText;
  if (c >= 0x80 && c <= 0x9F) {
    appendHex(c, out);
    return;
  }
  out->push_back(char(0xC2));
  if (c >= 0xA0 && c <= 0xBF) {
    out->push_back(char(c));
    return;
  }
  step(c, out);  // the lead had no continuation; c starts afresh
}

void CTerminalFilter::stepCsi(unsigned char c, std::string* out) {
  if (c >= 0x20 && c <= 0x3F) {  // parameter and intermediate bytes
    held_.push_back(char(c));
    if (held_.size() > kMaxHeld) showHeld(out);
    return;
  }
  if (c >= 0x40 && c <= 0x7E) {  // final byte
    held_.push_back(char(c));
    if (c == 'm' && isSgr(held_)) {
      out->append(held_);
      held_.clear();
      state_ = kText;
    } else {
      showHeld(out);
    }
    return;
  }
  // A control or a non-ASCII byte breaks the sequence: show it and handle
  // the byte on its own.
  showHeld(out);
  step(c, out);
}

void CTerminalFilter::showHeld(std::string* out) {
  if (!held_.empty() && static_cast<unsigned char>(held_[0]) == kEsc) {
    appendCaret(kEsc, out);
    out->append(held_, 1, std::string::npos);  // printable bytes only
  } else {
    out->append(held_);
  }
  held_.clear();
  state_ = kText;
}

void CTerminalFilter::finish(std::string* out) {
  showHeld(out);
  utf8Continuations_ = 0;
}

std::string terminalText(const std::string& text) {
  CTerminalFilter filter;
  std::string out;
  filter.filter(text, &out);
  filter.finish(&out);
  return out;
}

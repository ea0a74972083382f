#include "core/field_parse.h"

#include <langinfo.h>
#include <locale.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace mv {

namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Reads an integer that must lie in [lo, hi]. Accumulates the magnitude as an
// unsigned 64-bit value and stops as soon as it cannot fit any more.
bool StrToIntRange(const std::string& text, std::int64_t lo, std::int64_t hi, std::int64_t& out) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= n) return false;  // no digits
  // Largest magnitude either side may take.
  const std::uint64_t limit =
      negative ? static_cast<std::uint64_t>(-(lo + 1)) + 1u : static_cast<std::uint64_t>(hi < 0 ? 0 : hi);
  std::uint64_t mag = 0;
  const std::uint64_t base = hex ? 16u : 10u;
  for (; i < n; ++i) {
    const char c = text[i];
    int d;
    if (hex) {
      if (!IsHexDigit(c)) return false;
      d = HexValue(c);
    } else {
      if (c < '0' || c > '9') return false;
      d = c - '0';
    }
    if (mag > (limit - static_cast<std::uint64_t>(d)) / base) return false;  // would exceed the range
    mag = mag * base + static_cast<std::uint64_t>(d);
  }
  if (negative) {
    // mag <= 2^63 here; negate without overflowing.
    out = mag == 0 ? 0 : -static_cast<std::int64_t>(mag - 1) - 1;
    if (out < lo) return false;
  } else {
    out = static_cast<std::int64_t>(mag);
    if (out > hi) return false;
  }
  return true;
}

char SeparatorFromEnvironment() {
  char sep = '.';
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (loc != static_cast<locale_t>(nullptr)) {
    const char* radix = nl_langinfo_l(RADIXCHAR, loc);
    if (radix && radix[0] != '\0' && radix[1] == '\0') sep = radix[0];
    freelocale(loc);
  }
  return sep;
}

// 0 means "not yet taken from the environment".
std::atomic<char> g_separator{0};

locale_t CLocale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 0x20; }

}  // namespace

bool StrToInt32(const std::string& text, std::int32_t& out) {
  std::int64_t v;
  if (!StrToIntRange(text, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(), v))
    return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

bool StrToInt64(const std::string& text, std::int64_t& out) {
  return StrToIntRange(text, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), out);
}

char DecimalSeparator() {
  char sep = g_separator.load(std::memory_order_relaxed);
  if (sep == 0) {
    sep = SeparatorFromEnvironment();
    char expected = 0;
    if (!g_separator.compare_exchange_strong(expected, sep)) sep = expected;
  }
  return sep;
}

void SetDecimalSeparator(char sep) { g_separator.store(sep == 0 ? '.' : sep); }

bool StrToReal(const std::string& text, double& out) {
  // Plain decimal numbers only: blanks, sign, digits with at most one
  // separator (at least one digit), then an optional exponent.
  const char sep = DecimalSeparator();
  std::string plain;
  plain.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i < n && (text[i] == '+' || text[i] == '-')) plain += text[i++];
  int digits = 0;
  while (i < n && text[i] >= '0' && text[i] <= '9') {
    plain += text[i++];
    ++digits;
  }
  if (i < n && text[i] == sep) {
    plain += '.';
    ++i;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
      plain += text[i++];
      ++digits;
    }
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) plain += text[i++];
    int expDigits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
      plain += text[i++];
      ++expDigits;
    }
    if (expDigits == 0) return false;
  }
  if (i != n) return false;
  const locale_t c = CLocale();
  if (c == static_cast<locale_t>(nullptr)) return false;
  errno = 0;
  char* end = nullptr;
  const double v = strtod_l(plain.c_str(), &end, c);
  if (end != plain.c_str() + plain.size()) return false;
  if (errno == ERANGE && std::isinf(v)) return false;  // too large for a double
  out = v;
  return true;
}

std::int32_t ClampIntText(const std::string& text, std::int32_t min, std::int32_t max, std::int32_t fallback) {
  if (fallback < min) fallback = min;
  if (fallback > max) fallback = max;
  std::int32_t v;
  if (!StrToInt32(text, v)) return fallback;
  if (v < min) return min;
  if (v > max) return max;
  return v;
}

bool ParseIntInRange(const std::string& text, std::int32_t min, std::int32_t max, std::int32_t& out) {
  std::int32_t v;
  if (!StrToInt32(text, v) || v < min || v > max) return false;
  out = v;
  return true;
}

std::uint32_t ClampUnsignedText(const std::string& text, std::uint32_t min, std::uint32_t max, std::uint32_t fallback) {
  if (fallback < min) fallback = min;
  if (fallback > max) fallback = max;
  std::int64_t v;
  if (!StrToInt64(text, v)) return fallback;
  const auto u = static_cast<std::uint64_t>(v);  // a negative number compares as a large value
  if (u < min) return min;
  if (u > max) return max;
  return static_cast<std::uint32_t>(u);
}

double ClampRealText(const std::string& text, double min, double max, double fallback) {
  if (fallback < min) fallback = min;
  if (fallback > max) fallback = max;
  double v;
  if (!StrToReal(text, v)) return fallback;
  if (v < min) return min;
  if (v > max) return max;
  return v;
}

std::uint32_t ClampMultipleText(const std::string& text, std::uint32_t min, std::uint32_t max, std::uint32_t step,
                                std::uint32_t fallback) {
  if (step == 0) step = 1;  // every number is a multiple of a zero step; avoids a division by zero
  if (fallback < min) fallback = min;
  if (fallback > max) fallback = max;
  if (fallback % step != 0) fallback = min;
  std::int32_t v;
  if (!StrToInt32(text, v)) return fallback;
  const auto u = static_cast<std::uint32_t>(v);
  if (u % step != 0) return fallback;
  return u;
}

namespace {

// Common first steps: the prefix must match byte for byte; the rest is the value.
bool SplitPrefix(const std::string& line, const std::string& prefix, std::string& value) {
  if (line.size() < prefix.size() || line.compare(0, prefix.size(), prefix) != 0) return false;
  value.assign(line, prefix.size(), std::string::npos);
  return true;
}

}  // namespace

FieldResult ParseIntField(const std::string& line, const std::string& prefix, std::int32_t min, std::int32_t max,
                          std::int32_t& out) {
  std::string value;
  if (!SplitPrefix(line, prefix, value)) return FieldNoPrefix;
  std::int32_t v;
  if (!StrToInt32(value, v)) return FieldNotNumber;
  if (v < min || v > max) return FieldOutOfRange;
  out = v;
  return FieldOk;
}

FieldResult ParseUnsignedField(const std::string& line, const std::string& prefix, std::uint32_t min, std::uint32_t max,
                               std::uint32_t& out) {
  std::string value;
  if (!SplitPrefix(line, prefix, value)) return FieldNoPrefix;
  std::int32_t v;
  if (!StrToInt32(value, v)) return FieldNotNumber;
  const auto u = static_cast<std::uint32_t>(v);
  if (u < min || u > max) return FieldOutOfRange;
  out = u;
  return FieldOk;
}

FieldResult ParseU16Field(const std::string& line, const std::string& prefix, std::int32_t min, std::int32_t max,
                          std::uint16_t& out) {
  std::string value;
  if (!SplitPrefix(line, prefix, value)) return FieldNoPrefix;
  std::int32_t v;
  if (!StrToInt32(value, v)) return FieldNotNumber;
  const auto cut = static_cast<std::uint16_t>(static_cast<std::uint32_t>(v) & 0xFFFFu);
  if (static_cast<std::int32_t>(cut) < min || static_cast<std::int32_t>(cut) > max) return FieldOutOfRange;
  out = cut;
  return FieldOk;
}

FieldResult ParseIntChoiceField(const std::string& line, const std::string& prefix, const std::int32_t* values,
                                int count, std::int32_t& out) {
  std::string value;
  if (!SplitPrefix(line, prefix, value)) return FieldNoPrefix;
  std::int32_t v;
  if (!StrToInt32(value, v)) return FieldNotNumber;
  for (int i = 0; i < count; ++i) {
    if (values[i] == v) {
      out = v;
      return FieldOk;
    }
  }
  return FieldNotInValueList;
}

FieldResult ParseTextChoiceField(const std::string& line, const std::string& prefix, const char* const* texts,
                                 int count, std::string& out) {
  std::string value;
  if (!SplitPrefix(line, prefix, value)) return FieldNoPrefix;
  for (int i = 0; i < count; ++i) {
    if (texts[i] != nullptr && value == texts[i]) {
      out = value;
      return FieldOk;
    }
  }
  return FieldNotInTextList;
}

FieldResult ParseTextField(const std::string& line, const std::string& prefix, std::int32_t minLen, std::int32_t maxLen,
                           std::string& out) {
  std::string value;
  if (!SplitPrefix(line, prefix, value)) return FieldNoPrefix;
  const auto len = static_cast<std::int64_t>(value.size());
  if (len < minLen || len > maxLen) return FieldBadLength;
  out = value;
  return FieldOk;
}

FieldResult ParseTextFieldToBuffer(const std::string& line, const std::string& prefix, std::int32_t minLen,
                                   std::int32_t maxLen, char* buffer) {
  std::string value;
  if (!SplitPrefix(line, prefix, value)) return FieldNoPrefix;
  const auto len = static_cast<std::int64_t>(value.size());
  if (len < minLen || len > maxLen) return FieldBadLength;
  std::memcpy(buffer, value.data(), value.size());
  buffer[value.size()] = '\0';
  return FieldOk;
}

FieldResult ParseMultipleField(const std::string& line, const std::string& prefix, std::int32_t /*min*/,
                               std::int32_t /*max*/, std::int32_t step, std::int32_t& out) {
  std::string value;
  if (!SplitPrefix(line, prefix, value)) return FieldNoPrefix;
  std::int32_t v;
  if (!StrToInt32(value, v)) return FieldNotNumber;
  // A zero step accepts nothing; 64-bit arithmetic keeps INT32_MIN % -1 defined.
  if (step == 0 || static_cast<std::int64_t>(v) % static_cast<std::int64_t>(step) != 0) return FieldNotNumber;
  out = v;
  return FieldOk;
}

int SplitFields(const std::string& text, std::vector<std::string>& list) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlankOrControl(text[begin])) ++begin;
  while (end > begin && IsBlankOrControl(text[end - 1])) --end;
  int count = 0;
  while (begin < end) {
    const std::size_t blank = text.find(' ', begin);
    if (blank == std::string::npos || blank >= end) {
      list.emplace_back(text, begin, end - begin);
      ++count;
      break;
    }
    list.emplace_back(text, begin, blank - begin);
    ++count;
    begin = blank + 1;
    while (begin < end && IsBlankOrControl(text[begin])) ++begin;
  }
  return count;
}

}  // namespace mv

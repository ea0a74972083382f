// Every text field parser with a line, a prefix and limits taken from the
// input. Checks what each parser promises: the output is written only on
// FieldOk, accepted values lie within their limits or lists, normalised edit
// values stay in range, and the word splitter gives clean words.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/field_parse.h"
#include "fuzz_util.h"

namespace {

bool IsResult(mv::FieldResult r, std::initializer_list<int> allowed) {
  for (int a : allowed)
    if (static_cast<int>(r) == a) return true;
  return false;
}

bool StartsWith(const std::string& line, const std::string& prefix) {
  return line.size() >= prefix.size() && line.compare(0, prefix.size(), prefix) == 0;
}

void NumberConversions(const std::string& text) {
  std::int32_t v32 = 0;
  if (mv::StrToInt32(text, v32)) {
    // The decimal text of a converted value converts back to it.
    std::int32_t again = 0;
    FUZZ_CHECK(mv::StrToInt32(std::to_string(v32), again) && again == v32);
  }
  std::int64_t v64 = 0;
  if (mv::StrToInt64(text, v64)) {
    std::int64_t again = 0;
    FUZZ_CHECK(mv::StrToInt64(std::to_string(v64), again) && again == v64);
  }
  double d = 0;
  (void)mv::StrToReal(text, d);
}

void Normalisers(FuzzedDataProvider& in, const std::string& text) {
  const auto a = in.ConsumeIntegral<std::int32_t>();
  const auto b = in.ConsumeIntegral<std::int32_t>();
  const std::int32_t lo = std::min(a, b), hi = std::max(a, b);
  const auto fb = in.ConsumeIntegral<std::int32_t>();
  const std::int32_t ci = mv::ClampIntText(text, lo, hi, fb);
  FUZZ_CHECK(ci >= lo && ci <= hi);

  std::int32_t out = 0x5A5A5A5A;
  if (mv::ParseIntInRange(text, lo, hi, out))
    FUZZ_CHECK(out >= lo && out <= hi);
  else
    FUZZ_CHECK(out == 0x5A5A5A5A);

  const auto ua = in.ConsumeIntegral<std::uint32_t>();
  const auto ub = in.ConsumeIntegral<std::uint32_t>();
  const std::uint32_t ulo = std::min(ua, ub), uhi = std::max(ua, ub);
  const std::uint32_t cu = mv::ClampUnsignedText(text, ulo, uhi, in.ConsumeIntegral<std::uint32_t>());
  FUZZ_CHECK(cu >= ulo && cu <= uhi);

  const double ra = in.ConsumeFloatingPointInRange<double>(-1e9, 1e9);
  const double rb = in.ConsumeFloatingPointInRange<double>(-1e9, 1e9);
  const double rlo = std::min(ra, rb), rhi = std::max(ra, rb);
  const double cr = mv::ClampRealText(text, rlo, rhi, in.ConsumeFloatingPointInRange<double>(-1e12, 1e12));
  // Never NaN or infinite, whatever the text: an edit box must show a number.
  FUZZ_CHECK(std::isfinite(cr) && cr >= rlo && cr <= rhi);

  const std::uint32_t step = in.ConsumeIntegralInRange<std::uint32_t>(1, 0x10000);
  const std::uint32_t cm = mv::ClampMultipleText(text, ulo, uhi, step, in.ConsumeIntegral<std::uint32_t>());
  FUZZ_CHECK(cm % step == 0 || cm == ulo);
}

void LineParsers(FuzzedDataProvider& in, const std::string& line, const std::string& prefix) {
  const bool prefixed = StartsWith(line, prefix);
  const auto a = in.ConsumeIntegral<std::int32_t>();
  const auto b = in.ConsumeIntegral<std::int32_t>();
  const std::int32_t lo = std::min(a, b), hi = std::max(a, b);

  {
    std::int32_t out = 0x11223344;
    const mv::FieldResult r = mv::ParseIntField(line, prefix, lo, hi, out);
    FUZZ_CHECK(IsResult(r, {0, 1, 2, 3}));
    FUZZ_CHECK((r == mv::FieldNoPrefix) == !prefixed);
    if (r == mv::FieldOk) {
      FUZZ_CHECK(out >= lo && out <= hi);
      std::int32_t direct = 0;
      FUZZ_CHECK(mv::StrToInt32(line.substr(prefix.size()), direct) && direct == out);
    } else {
      FUZZ_CHECK(out == 0x11223344);
    }
  }
  {
    const auto ua = in.ConsumeIntegral<std::uint32_t>();
    const auto ub = in.ConsumeIntegral<std::uint32_t>();
    std::uint32_t out = 0xDEADBEEF;
    const mv::FieldResult r = mv::ParseUnsignedField(line, prefix, std::min(ua, ub), std::max(ua, ub), out);
    FUZZ_CHECK(IsResult(r, {0, 1, 2, 3}));
    if (r == mv::FieldOk)
      FUZZ_CHECK(out >= std::min(ua, ub) && out <= std::max(ua, ub));
    else
      FUZZ_CHECK(out == 0xDEADBEEF);
  }
  {
    std::uint16_t out = 0xBEEF;
    const mv::FieldResult r = mv::ParseU16Field(line, prefix, lo, hi, out);
    FUZZ_CHECK(IsResult(r, {0, 1, 2, 3}));
    if (r == mv::FieldOk)
      FUZZ_CHECK(static_cast<std::int32_t>(out) >= lo && static_cast<std::int32_t>(out) <= hi);
    else
      FUZZ_CHECK(out == 0xBEEF);
  }
  {
    std::vector<std::int32_t> values;
    const int n = in.ConsumeIntegralInRange<int>(0, 8);
    for (int i = 0; i < n; ++i) values.push_back(in.ConsumeIntegral<std::int32_t>());
    std::int32_t out = 0x7777;
    const mv::FieldResult r = mv::ParseIntChoiceField(line, prefix, values.data(), n, out);
    FUZZ_CHECK(IsResult(r, {0, 1, 2, 4}));
    if (r == mv::FieldOk) {
      bool listed = false;
      for (auto v : values) listed = listed || v == out;
      FUZZ_CHECK(listed);
    } else {
      FUZZ_CHECK(out == 0x7777);
    }
  }
  {
    std::vector<std::string> texts;
    const int n = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < n; ++i) texts.push_back(in.ConsumeRandomLengthString(12));
    if (n > 0 && in.ConsumeBool() && prefixed) texts[0] = line.substr(prefix.size());
    std::vector<const char*> ptrs;
    for (auto& t : texts) ptrs.push_back(t.c_str());
    std::string out = "untouched";
    const mv::FieldResult r = mv::ParseTextChoiceField(line, prefix, ptrs.data(), n, out);
    FUZZ_CHECK(IsResult(r, {0, 1, 5}));
    if (r == mv::FieldOk)
      FUZZ_CHECK(out == line.substr(prefix.size()));
    else
      FUZZ_CHECK(out == "untouched");
  }
  {
    const auto minLen = in.ConsumeIntegralInRange<std::int32_t>(-4, 300);
    const auto maxLen = in.ConsumeIntegralInRange<std::int32_t>(0, 300);
    std::string out = "untouched";
    const mv::FieldResult r = mv::ParseTextField(line, prefix, minLen, maxLen, out);
    FUZZ_CHECK(IsResult(r, {0, 1, 6}));
    if (r == mv::FieldOk) {
      FUZZ_CHECK(out == line.substr(prefix.size()));
      FUZZ_CHECK(static_cast<std::int32_t>(out.size()) >= minLen && static_cast<std::int32_t>(out.size()) <= maxLen);
    } else {
      FUZZ_CHECK(out == "untouched");
    }
    // Exactly maxLen + 1 characters, so ASan sees any write past it.
    std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(maxLen) + 1]);
    std::memset(buffer.get(), 'Q', static_cast<std::size_t>(maxLen) + 1);
    const mv::FieldResult rb = mv::ParseTextFieldToBuffer(line, prefix, minLen, maxLen, buffer.get());
    FUZZ_CHECK(rb == r);
    if (rb == mv::FieldOk) {
      FUZZ_CHECK(std::memcmp(buffer.get(), out.data(), out.size()) == 0 && buffer[out.size()] == '\0');
    } else {
      FUZZ_CHECK(buffer[0] == 'Q');
    }
  }
  {
    const std::int32_t step = in.ConsumeIntegral<std::int32_t>();
    std::int32_t out = 0x4242;
    const mv::FieldResult r = mv::ParseMultipleField(line, prefix, lo, hi, step, out);
    FUZZ_CHECK(IsResult(r, {0, 1, 2}));
    if (r == mv::FieldOk)
      FUZZ_CHECK(step != 0 && static_cast<std::int64_t>(out) % step == 0);
    else
      FUZZ_CHECK(out == 0x4242);
  }
}

void Splitter(const std::string& text) {
  std::vector<std::string> list = {"kept"};
  const int n = mv::SplitFields(text, list);
  FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) == list.size() - 1);
  FUZZ_CHECK(list[0] == "kept");
  for (std::size_t i = 1; i < list.size(); ++i) {
    FUZZ_CHECK(!list[i].empty());
    FUZZ_CHECK(list[i].find(' ') == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string prefix = in.ConsumeRandomLengthString(24);
  const std::string value = in.ConsumeRandomLengthString(80);
  const std::string line = in.ConsumeBool() ? prefix + value : value;
  NumberConversions(value);
  Normalisers(in, value);
  LineParsers(in, line, prefix);
  Splitter(value);
  return 0;
}

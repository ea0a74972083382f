// Text field parsing: edit-box normalisers (always yield a usable value) and
// prefixed-line parsers for the fixed-format text files. Pure functions that
// never throw.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mv {

enum FieldResult : std::uint8_t {
  FieldOk = 0,
  FieldNoPrefix = 1,
  FieldNotNumber = 2,
  FieldOutOfRange = 3,
  FieldNotInValueList = 4,
  FieldNotInTextList = 5,
  FieldBadLength = 6,
};

// Integer conversion: optional leading blanks, optional sign, decimal digits or
// hexadecimal after "$", "x", "X", "0x" or "0X"; nothing may follow; must fit.
bool StrToInt32(const std::string& text, std::int32_t& out);
bool StrToInt64(const std::string& text, std::int64_t& out);
// Real conversion with the user's decimal separator (see DecimalSeparator).
bool StrToReal(const std::string& text, double& out);

// The decimal separator real-number fields accept. Initialised from the
// process locale (LC_NUMERIC from the environment); the desktop app sets it
// from the system locale, tests may set it directly.
char DecimalSeparator();
void SetDecimalSeparator(char sep);

// Edit-box normalisers.
std::int32_t ClampIntText(const std::string& text, std::int32_t min, std::int32_t max, std::int32_t fallback);
bool ParseIntInRange(const std::string& text, std::int32_t min, std::int32_t max, std::int32_t& out);
std::uint32_t ClampUnsignedText(const std::string& text, std::uint32_t min, std::uint32_t max, std::uint32_t fallback);
double ClampRealText(const std::string& text, double min, double max, double fallback);
std::uint32_t ClampMultipleText(const std::string& text, std::uint32_t min, std::uint32_t max, std::uint32_t step,
                                std::uint32_t fallback);

// Prefixed-line parsers: `line` is the whole line, `prefix` the key with its
// separator ("com_port: "). On any result but FieldOk the output is untouched.
FieldResult ParseIntField(const std::string& line, const std::string& prefix, std::int32_t min, std::int32_t max,
                          std::int32_t& out);
FieldResult ParseUnsignedField(const std::string& line, const std::string& prefix, std::uint32_t min, std::uint32_t max,
                               std::uint32_t& out);
FieldResult ParseU16Field(const std::string& line, const std::string& prefix, std::int32_t min, std::int32_t max,
                          std::uint16_t& out);
FieldResult ParseIntChoiceField(const std::string& line, const std::string& prefix, const std::int32_t* values,
                                int count, std::int32_t& out);
FieldResult ParseTextChoiceField(const std::string& line, const std::string& prefix, const char* const* texts,
                                 int count, std::string& out);
FieldResult ParseTextField(const std::string& line, const std::string& prefix, std::int32_t minLen, std::int32_t maxLen,
                           std::string& out);
// `buffer` must hold maxLen + 1 characters.
FieldResult ParseTextFieldToBuffer(const std::string& line, const std::string& prefix, std::int32_t minLen,
                                   std::int32_t maxLen, char* buffer);
FieldResult ParseMultipleField(const std::string& line, const std::string& prefix, std::int32_t min, std::int32_t max,
                               std::int32_t step, std::int32_t& out);

// Appends the blank-separated words of `text` to `list`; returns how many.
int SplitFields(const std::string& text, std::vector<std::string>& list);

}  // namespace mv

#include "provisioning/json.h"

#include <locale.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "net/percent_encoding.h"

namespace velnaro {
namespace {

const char* KindName(const JsonValue& v) {
  switch (v.GetType()) {
    case rapidjson::kNullType: return "null";
    case rapidjson::kFalseType:
    case rapidjson::kTrueType: return "a boolean";
    case rapidjson::kObjectType: return "an object";
    case rapidjson::kArrayType: return "an array";
    case rapidjson::kStringType: return "a string";
    case rapidjson::kNumberType: return "a number";
  }
  return "of unknown kind";
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(const unsigned char* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned cc = s[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

bool Hex4(std::string_view s, size_t at, unsigned& value) {
  if (at + 4 > s.size()) return false;
  value = 0;
  for (size_t k = at; k < at + 4; ++k) {
    const int d = HexDigitValue(s[k]);
    if (d < 0) return false;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return true;
}

// Valid JSON that the reader refuses as it is, rewritten so that it reads as intended:
// - a \u escape of a high surrogate without its low half would cost the whole document,
//   while only its string is meant to read as empty (its bytes are no UTF-8): the three
//   bytes that code encodes to take the escape's place, the reader passes them through and
//   GetText then finds the string invalid;
// - a number beyond the range of a double is refused as well; it becomes an infinite
//   number. No part reads a number's value, but it must stay a number.
std::string Repair(std::string_view text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  std::string out;
  out.reserve(text.size());
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (!in_string) {
      if (c == '"') in_string = true;
      if (c != '-' && (c < '0' || c > '9')) {
        out += c;
        continue;
      }
      size_t j = text.find_first_not_of("0123456789+-.eE", i);
      if (j == std::string_view::npos) j = text.size();
      std::string token(text.substr(i, j - i));
      double v = strtod_l(token.c_str(), nullptr, c_locale);
      if (std::isinf(v)) {
        out += v < 0 ? "-2e308" : "2e308";  // within the reader's limits, yet infinite
      } else {
        out += token;
      }
      i = j - 1;
      continue;
    }
    if (c == '"') {
      in_string = false;
      out += c;
      continue;
    }
    if (c != '\\' || i + 1 == text.size()) {
      out += c;
      continue;
    }
    unsigned high = 0, low = 0;
    if (text[i + 1] != 'u' || !Hex4(text, i + 2, high) || high < 0xD800 || high > 0xDBFF) {
      out += c;
      out += text[++i];
      continue;
    }
    bool paired = text.substr(i + 6, 2) == "\\u" && Hex4(text, i + 8, low) && low >= 0xDC00 &&
                  low <= 0xDFFF;
    if (paired) {
      out.append(text.substr(i, 12));
      i += 11;
    } else {
      out += static_cast<char>(0xE0 | (high >> 12));
      out += static_cast<char>(0x80 | ((high >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (high & 0x3F));
      i += 5;
    }
  }
  return out;
}

constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag;

}  // namespace

std::unique_ptr<JsonDocument> ParseJson(std::string_view text) {
  if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
      static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
    text.remove_prefix(3);
  if (text.empty()) return nullptr;
  auto doc = std::make_unique<JsonDocument>();
  // Iterative: nesting depth costs heap, not stack. Encoding is checked per string when it
  // is read, so one bad string does not lose the document.
  rapidjson::Document& d = doc->Raw();
  d.Parse<kParseFlags>(text.data(), text.size());
  if (!d.HasParseError()) return doc;
  auto code = d.GetParseError();
  if (code != rapidjson::kParseErrorStringUnicodeSurrogateInvalid &&
      code != rapidjson::kParseErrorNumberTooBig)
    return nullptr;
  std::string repaired = Repair(text);
  d.Parse<kParseFlags>(repaired.data(), repaired.size());
  if (d.HasParseError()) return nullptr;
  return doc;
}

const JsonValue* FieldByName(const JsonValue& object, std::string_view name) {
  if (!object.IsObject()) return nullptr;
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    const auto& n = it->name;
    if (n.GetStringLength() == name.size() && std::string_view(n.GetString(), name.size()) == name)
      return &it->value;
  }
  return nullptr;
}

std::string GetText(const JsonValue& object, std::string_view name) {
  const JsonValue* v = FieldByName(object, name);
  if (!v) return "";
  if (!v->IsString())
    throw JsonTypeError("JSON member '" + std::string(name) + "' is " + KindName(*v) +
                        ", not a string");
  const char* s = v->GetString();
  size_t n = v->GetStringLength();
  if (!ValidUtf8(reinterpret_cast<const unsigned char*>(s), n)) return "";
  return std::string(s, n);
}

const JsonValue* ObjectField(const JsonValue& object, std::string_view name) {
  const JsonValue* v = FieldByName(object, name);
  if (v && !v->IsObject())
    throw JsonTypeError("JSON member '" + std::string(name) + "' is " + KindName(*v) +
                        ", not an object");
  return v;
}

}  // namespace velnaro

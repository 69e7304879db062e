#pragma once
// Reading JSON documents: parse into a tree, pick string members out of objects by name.

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

namespace velnaro {

using JsonValue = rapidjson::Value;

// A member of the wrong kind: a non-string where text is read, a non-object where an
// object is expected.
class JsonTypeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class JsonDocument {
 public:
  const JsonValue& Root() const { return doc_; }
  rapidjson::Document& Raw() { return doc_; }

 private:
  rapidjson::Document doc_;
};

// No document (nullptr) for empty input or text that is not JSON. A leading UTF-8
// byte-order mark is skipped, text after the first complete value is ignored, and deep
// nesting is parsed without recursion.
std::unique_ptr<JsonDocument> ParseJson(std::string_view text);

// The first member of that exact name, or nullptr (also when `object` is no object).
const JsonValue* FieldByName(const JsonValue& object, std::string_view name);

// Missing member: empty text. A string: its text (UTF-8), empty when the string is not
// valid UTF-8. Any other kind throws JsonTypeError.
std::string GetText(const JsonValue& object, std::string_view name);

// Missing member: nullptr. An object: that object. Any other kind throws JsonTypeError.
const JsonValue* ObjectField(const JsonValue& object, std::string_view name);

}  // namespace velnaro

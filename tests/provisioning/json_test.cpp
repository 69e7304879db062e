#include "provisioning/json.h"

#include <clocale>
#include <cmath>

#include <gtest/gtest.h>

namespace velnaro {
namespace {

std::string TextOf(std::string_view json, std::string_view name) {
  auto doc = ParseJson(json);
  if (!doc) return "<no document>";
  return GetText(doc->Root(), name);
}

TEST(JsonParse, NoDocumentForEmptyOrMalformedInput) {
  for (std::string_view bad : {"", "\xEF\xBB\xBF", "   ", "{", "[1,2", "{\"a\":}", "\"open",
                               "{\"a\":\"\\x\"}", "True", "NULL", "{'a':'b'}", "nul", "-", "1.",
                               "{\"a\" \"b\"}", "]"}) {
    EXPECT_EQ(ParseJson(bad), nullptr) << "input: " << bad;
  }
}

TEST(JsonParse, AnyKindOfValueIsARoot) {
  for (std::string_view ok : {"true", "false", "null", "-12.5e+3", "\"s\"", "[]", "{}", " \n\t{}"}) {
    EXPECT_NE(ParseJson(ok), nullptr) << "input: " << ok;
  }
  EXPECT_TRUE(ParseJson("[1,2]")->Root().IsArray());
}

TEST(JsonParse, NumbersBeyondTheRangeOfADoubleKeepTheDocument) {
  const std::string digits(400, '9');
  auto doc = ParseJson(R"({"big":1e400,"neg":-1E+999,"tiny":1e-400,"half":1.5,"long":)" + digits +
                       R"(,"a":"ok","s":"\ud800"})");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetText(doc->Root(), "a"), "ok");
  EXPECT_EQ(GetText(doc->Root(), "s"), "");
  EXPECT_THROW(GetText(doc->Root(), "big"), JsonTypeError);  // still a number
  EXPECT_TRUE(std::isinf(FieldByName(doc->Root(), "big")->GetDouble()));
  EXPECT_LT(FieldByName(doc->Root(), "neg")->GetDouble(), 0);
  EXPECT_EQ(FieldByName(doc->Root(), "tiny")->GetDouble(), 0);
  EXPECT_TRUE(std::isinf(FieldByName(doc->Root(), "long")->GetDouble()));
  // The point is the separator whatever the locale says.
  const char* old = setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (setlocale(LC_NUMERIC, "it_IT.UTF-8") || setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
    auto again = ParseJson(R"({"big":1e400,"half":1.5})");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(FieldByName(again->Root(), "half")->GetDouble(), 1.5);
  }
  setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(FieldByName(doc->Root(), "half")->GetDouble(), 1.5);
  // Malformed input stays malformed; literals stay refused.
  EXPECT_EQ(ParseJson(R"({"big":1e400,"x":1.})"), nullptr);
  EXPECT_EQ(ParseJson(R"({"big":1e400,"x":NaN})"), nullptr);
  EXPECT_EQ(ParseJson(R"({"big":1e400,"x":Infinity})"), nullptr);
}

TEST(JsonParse, ByteOrderMarkIsSkipped) {
  const std::string text = R"({"Response":{"Error":{"ErrorID":"0"}}})";
  auto with = ParseJson("\xEF\xBB\xBF" + text);
  ASSERT_NE(with, nullptr);
  const JsonValue* r = ObjectField(with->Root(), "Response");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(GetText(*ObjectField(*r, "Error"), "ErrorID"), "0");
}

TEST(JsonParse, TextAfterTheFirstValueIsIgnored) {
  EXPECT_EQ(TextOf(R"({"a":"1"} trailing {"a":"2"} [[[)", "a"), "1");
  EXPECT_EQ(TextOf(std::string_view("{\"a\":\"1\"}\0\xFF", 11), "a"), "1");
}

TEST(JsonParse, DeepNestingDoesNotOverflowTheStack) {
  const size_t depth = 2'000'000;
  std::string deep(depth, '[');
  deep += std::string(depth, ']');
  auto doc = ParseJson(deep);
  ASSERT_NE(doc, nullptr);
  EXPECT_TRUE(doc->Root().IsArray());

  std::string objects;
  for (size_t i = 0; i < 300'000; ++i) objects += "{\"a\":";
  objects += "1";
  objects += std::string(300'000, '}');
  EXPECT_NE(ParseJson(objects), nullptr);
  // Unterminated deep input is released without trouble too.
  EXPECT_EQ(ParseJson(std::string(depth, '[')), nullptr);
}

TEST(JsonFieldByName, ExactCaseSensitiveFirstOfDuplicates) {
  auto doc = ParseJson(R"({"ErrorID":"0","ErrorID":"5","errorid":"9","Err":"x"})");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetText(doc->Root(), "ErrorID"), "0");
  EXPECT_EQ(GetText(doc->Root(), "errorid"), "9");
  EXPECT_EQ(FieldByName(doc->Root(), "ERRORID"), nullptr);
  EXPECT_EQ(FieldByName(doc->Root(), "Error"), nullptr);
  EXPECT_EQ(GetText(doc->Root(), "Missing"), "");
}

TEST(JsonFieldByName, NamesWithEmbeddedZeroAreComparedWhole) {
  auto doc = ParseJson(R"({"a\u0000b":"1","a":"2"})");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetText(doc->Root(), "a"), "2");
  EXPECT_EQ(GetText(doc->Root(), std::string_view("a\0b", 3)), "1");
}

TEST(JsonGetText, UnescapesAndDecodesUtf8) {
  EXPECT_EQ(TextOf(R"({"s":"\u00e8"})", "s"), "\xC3\xA8");
  EXPECT_EQ(TextOf(R"({"s":"a\"b\\c\/d\b\f\n\r\t"})", "s"), "a\"b\\c/d\b\f\n\r\t");
  EXPECT_EQ(TextOf(R"({"s":"\u20AC \ud83d\ude00"})", "s"), "\xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(TextOf("{\"s\":\"caff\xC3\xA8\"}", "s"), "caff\xC3\xA8");
}

TEST(JsonGetText, InvalidUtf8MakesOnlyThatStringEmpty) {
  auto doc = ParseJson("{\"Rete\":\"caff\xE8\",\"Other\":\"ok\"}");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetText(doc->Root(), "Rete"), "");
  EXPECT_EQ(GetText(doc->Root(), "Other"), "ok");
  for (std::string_view bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
    std::string json = "{\"s\":\"" + std::string(bad) + "\"}";
    EXPECT_EQ(TextOf(json, "s"), "") << "bytes of length " << bad.size();
  }
}

TEST(JsonGetText, EscapedSurrogateWithoutItsPartnerEmptiesOnlyItsString) {
  auto doc = ParseJson(R"({"a":"x\ud800y","b":"ok","c":"\uD83D\u0041","d":"\udc00",)"
                       R"("e":"\\ud800","f":"\ud83d\ude00","g\ud800":"1","h":"\ud800"})");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetText(doc->Root(), "a"), "");
  EXPECT_EQ(GetText(doc->Root(), "b"), "ok");
  EXPECT_EQ(GetText(doc->Root(), "c"), "");
  EXPECT_EQ(GetText(doc->Root(), "d"), "");
  EXPECT_EQ(GetText(doc->Root(), "e"), "\\ud800");  // an escaped backslash, no escape
  EXPECT_EQ(GetText(doc->Root(), "f"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(GetText(doc->Root(), "h"), "");
  EXPECT_EQ(doc->Root().MemberCount(), 8u);
  // Still malformed after the repair: no document.
  EXPECT_EQ(ParseJson(R"({"a":"\ud800)"), nullptr);
  EXPECT_EQ(ParseJson(R"({"a":"\ud800",})"), nullptr);
}

TEST(JsonGetText, NonStringMembersAreTypeErrors) {
  auto doc = ParseJson(R"({"Rete":10,"b":true,"n":null,"o":{},"a":["x"]})");
  ASSERT_NE(doc, nullptr);
  for (const char* name : {"Rete", "b", "n", "o", "a"}) {
    EXPECT_THROW(GetText(doc->Root(), name), JsonTypeError) << name;
  }
  try {
    GetText(doc->Root(), "Rete");
  } catch (const JsonTypeError& e) {
    EXPECT_STREQ(e.what(), "JSON member 'Rete' is a number, not a string");
  }
}

TEST(JsonObjectField, ObjectMissingOrTypeError) {
  auto doc = ParseJson(R"({"Data":{"x":"1"},"Response":"text","List":[]})");
  ASSERT_NE(doc, nullptr);
  const JsonValue* data = ObjectField(doc->Root(), "Data");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(GetText(*data, "x"), "1");
  EXPECT_EQ(ObjectField(doc->Root(), "Nothing"), nullptr);
  EXPECT_THROW(ObjectField(doc->Root(), "Response"), JsonTypeError);
  EXPECT_THROW(ObjectField(doc->Root(), "List"), JsonTypeError);
  // Looking into something that is not an object finds nothing.
  EXPECT_EQ(FieldByName(ParseJson("[1]")->Root(), "x"), nullptr);
}

}  // namespace
}  // namespace velnaro

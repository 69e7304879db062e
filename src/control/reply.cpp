#include "control/reply.h"

#include <cstdio>

namespace velnaro::reply {
namespace {

constexpr std::string_view kOpen = "{ ";
constexpr std::string_view kId0 = "  \"ErroreID\": 0,";
constexpr std::string_view kId1 = "  \"ErroreID\": 1,";
constexpr std::string_view kId2 = "  \"ErroreID\": 2,";
constexpr std::string_view kDs0 = "  \"ErroreDS\": \"\", ";
constexpr std::string_view kDs1 = "  \"ErroreDS\": \"comando non valido\", ";
constexpr std::string_view kDs2 = "  \"ErroreDS\": \"Errore salvataggio\", ";
constexpr std::string_view kData = "  \"Dati\": { ";
constexpr std::string_view kInfo = "     \"info\": \"niente da dichiarare\" ";
constexpr std::string_view kEndInfo = "  } ";
constexpr std::string_view kEndData = "          } ";
constexpr std::string_view kClose = "} ";
constexpr std::string_view kCalling = "            \"Status\":    \"CALLING\", ";
constexpr std::string_view kDtmf = "            \"Status\":    \"DTMF\", ";
constexpr std::string_view kNext = "\", ";
constexpr std::string_view kLast = "\" ";
constexpr std::string_view kLast2 = "\"  ";

void AppendStatus(std::string& out, std::string_view x) {
  out += "            \"Status\":    \"";
  out += JsonEscape(x);
  out += "\" ";
}

void AppendKey(std::string& out, std::string_view key, std::string_view value,
               std::string_view tail) {
  out += "            \"";
  out += key;
  out += "\": \"";
  out += JsonEscape(value);
  out += tail;
}

std::string Head(std::string_view id, std::string_view ds) {
  std::string out;
  out.reserve(320);
  out += kOpen;
  out += id;
  out += ds;
  out += kData;
  return out;
}

}  // namespace

std::string JsonEscape(std::string_view value) {
  // Markup characters too: a reply a browser sniffs or a page inserts then carries none.
  auto markup = [](unsigned char c) { return c == '<' || c == '>' || c == '&'; };
  size_t special = 0;
  for (unsigned char c : value) special += (c == '"' || c == '\\' || c < 0x20 || markup(c));
  if (special == 0) return std::string(value);
  std::string out;
  out.reserve(value.size() + special * 6);
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || markup(c)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string NotRecognised() {
  std::string out = Head(kId1, kDs1);
  out += kInfo;
  out += kEndInfo;
  out += kClose;
  return out;
}

std::string Simple(std::string_view status) {
  std::string out = Head(kId0, kDs0);
  AppendStatus(out, status);
  out += kEndData;
  out += kClose;
  return out;
}

std::string Status(const StatusFields& f) {
  std::string out = Head(kId0, kDs0);
  AppendKey(out, "Stato", WireText(f.Stato), kNext);
  AppendKey(out, "ChiamataStato", WireText(f.ChiamataStato), kNext);
  AppendKey(out, "ChiamataPrefix", f.ChiamataPrefix, kNext);
  AppendKey(out, "ChiamataNumero", f.ChiamataNumero, kNext);
  AppendKey(out, "Rec", WireFlag(f.Rec), kNext);
  AppendKey(out, "Hold", WireFlag(f.Hold), kNext);
  AppendKey(out, "Mute", WireFlag(f.Mute), kLast);
  out += kEndData;
  out += kClose;
  return out;
}

std::string Call(std::string_view prefix, std::string_view number) {
  std::string out = Head(kId0, kDs0);
  out += kCalling;
  AppendKey(out, "Prefix", prefix, kNext);
  AppendKey(out, "Number", number, kLast2);
  out += kEndData;
  out += kClose;
  return out;
}

std::string Dtmf(std::string_view number) {
  std::string out = Head(kId0, kDs0);
  out += kDtmf;
  AppendKey(out, "Number", number, kLast2);
  out += kEndData;
  out += kClose;
  return out;
}

std::string SaveError() {
  std::string out = Head(kId2, kDs2);
  AppendStatus(out, "");
  out += kEndData;
  out += kClose;
  return out;
}

}  // namespace velnaro::reply

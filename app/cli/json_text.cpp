#include "app/cli/json_text.h"

#include <cstdio>

namespace kv::cli {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Length of the UTF-8 sequence that starts at `index`, 0 if it is not one.
size_t Utf8SequenceLength(std::string_view text, size_t index) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(index);
  size_t length = 0;
  uint32_t lowest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (index + length > text.size()) return 0;
  uint32_t codePoint = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(index + i) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(index + i) & 0x3F);
  }
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  if (codePoint < lowest || codePoint > 0x10FFFF || surrogate) return 0;
  return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        json += kReplacementCharacter;
        ++i;
      } else {
        json.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
          json += escaped;
        } else {
          json += static_cast<char>(c);
        }
    }
    ++i;
  }
  json += '"';
  return json;
}

void TJsonObject::Key(std::string_view key) {
  if (!body_.empty()) body_ += ',';
  body_ += JsonString(key);
  body_ += ':';
}

TJsonObject& TJsonObject::Add(std::string_view key, std::string_view text) {
  Key(key);
  body_ += JsonString(text);
  return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, int64_t number) {
  Key(key);
  body_ += std::to_string(number);
  return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, bool flag) {
  Key(key);
  body_ += flag ? "true" : "false";
  return *this;
}

TJsonObject& TJsonObject::AddSeconds(std::string_view key, double seconds) {
  Key(key);
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  body_ += text;
  return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, const std::vector<std::string>& texts) {
  Key(key);
  body_ += '[';
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) body_ += ',';
    body_ += JsonString(texts[i]);
  }
  body_ += ']';
  return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, const std::vector<TJsonObject>& objects) {
  Key(key);
  body_ += '[';
  for (size_t i = 0; i < objects.size(); ++i) {
    if (i > 0) body_ += ',';
    body_ += objects[i].Text();
  }
  body_ += ']';
  return *this;
}

}  // namespace kv::cli

// A strict little JSON reader for the tests: enough to check that each --json
// line is one well-formed object and to read its fields back.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kv::cli::test {

struct JsonValue;
using JsonObject = std::map<std::string, JsonValue>;
using JsonArray = std::vector<JsonValue>;

struct JsonValue {
  std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<JsonArray>,
               std::shared_ptr<JsonObject>>
      value;

  bool IsString() const { return std::holds_alternative<std::string>(value); }
  bool IsNumber() const { return std::holds_alternative<double>(value); }
  bool IsBool() const { return std::holds_alternative<bool>(value); }
  bool IsArray() const { return std::holds_alternative<std::shared_ptr<JsonArray>>(value); }
  const std::string& String() const { return std::get<std::string>(value); }
  double Number() const { return std::get<double>(value); }
  bool Bool() const { return std::get<bool>(value); }
  const JsonArray& Array() const { return *std::get<std::shared_ptr<JsonArray>>(value); }
};

class JsonReader {
 public:
  // The whole text must be one object, nothing after it.
  static std::optional<JsonObject> ParseObject(std::string_view text) {
    JsonReader reader(text);
    std::optional<JsonValue> value = reader.Value();
    reader.SkipSpace();
    if (!value || reader.pos_ != text.size()) return std::nullopt;
    if (!std::holds_alternative<std::shared_ptr<JsonObject>>(value->value)) return std::nullopt;
    return *std::get<std::shared_ptr<JsonObject>>(value->value);
  }

 private:
  explicit JsonReader(std::string_view text) : text_(text) {}

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  bool Eat(char c) {
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<JsonValue> Value() {
    SkipSpace();
    if (pos_ >= text_.size()) return std::nullopt;
    const char c = text_[pos_];
    if (c == '{') return Object();
    if (c == '[') return Array();
    if (c == '"') {
      std::optional<std::string> s = String();
      if (!s) return std::nullopt;
      return JsonValue{*s};
    }
    if (Word("true")) return JsonValue{true};
    if (Word("false")) return JsonValue{false};
    if (Word("null")) return JsonValue{nullptr};
    return Number();
  }

  std::optional<JsonValue> Object() {
    ++pos_;
    auto object = std::make_shared<JsonObject>();
    if (Eat('}')) return JsonValue{object};
    do {
      SkipSpace();
      std::optional<std::string> key = String();
      if (!key || !Eat(':')) return std::nullopt;
      std::optional<JsonValue> value = Value();
      if (!value || object->count(*key) != 0) return std::nullopt;
      (*object)[*key] = *value;
    } while (Eat(','));
    if (!Eat('}')) return std::nullopt;
    return JsonValue{object};
  }

  std::optional<JsonValue> Array() {
    ++pos_;
    auto array = std::make_shared<JsonArray>();
    if (Eat(']')) return JsonValue{array};
    do {
      std::optional<JsonValue> value = Value();
      if (!value) return std::nullopt;
      array->push_back(*value);
    } while (Eat(','));
    if (!Eat(']')) return std::nullopt;
    return JsonValue{array};
  }

  std::optional<std::string> String() {
    if (pos_ >= text_.size() || text_[pos_] != '"') return std::nullopt;
    ++pos_;
    std::string s;
    while (pos_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return s;
      if (c < 0x20) return std::nullopt;  // raw control characters are not allowed
      if (c != '\\') {
        s += static_cast<char>(c);
        continue;
      }
      if (pos_ >= text_.size()) return std::nullopt;
      const char e = text_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          s += e;
          break;
        case 'n':
          s += '\n';
          break;
        case 'r':
          s += '\r';
          break;
        case 't':
          s += '\t';
          break;
        case 'b':
          s += '\b';
          break;
        case 'f':
          s += '\f';
          break;
        case 'u': {
          if (pos_ + 4 > text_.size()) return std::nullopt;
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = text_[pos_++];
            code <<= 4;
            if (h >= '0' && h <= '9') {
              code |= static_cast<unsigned>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
              code |= static_cast<unsigned>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
              code |= static_cast<unsigned>(h - 'A' + 10);
            } else {
              return std::nullopt;
            }
          }
          if (code >= 0x80) return std::nullopt;  // the tool escapes control characters only
          s += static_cast<char>(code);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<JsonValue> Number() {
    const size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() &&
           ((text_[pos_] >= '0' && text_[pos_] <= '9') || text_[pos_] == '.' ||
            text_[pos_] == 'e' || text_[pos_] == 'E' || text_[pos_] == '+' || text_[pos_] == '-')) {
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    const std::string number(text_.substr(start, pos_ - start));
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size()) return std::nullopt;
    return JsonValue{value};
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace kv::cli::test

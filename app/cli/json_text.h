// The few JSON pieces the --json output needs: escaped strings and one flat
// object per line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::cli {

// A JSON string literal, quotes included. Control characters, quotes and
// backslashes are escaped; bytes that are not valid UTF-8 (the unit's texts
// are plain bytes) become U+FFFD, so every line stays valid JSON.
std::string JsonString(std::string_view text);

// Builds {"key":value,...} in the order the fields are added.
class TJsonObject {
 public:
  TJsonObject& Add(std::string_view key, std::string_view text);
  TJsonObject& Add(std::string_view key, const char* text) {
    return Add(key, std::string_view(text));
  }
  TJsonObject& Add(std::string_view key, int64_t number);
  TJsonObject& Add(std::string_view key, int number) { return Add(key, int64_t{number}); }
  TJsonObject& Add(std::string_view key, bool flag);
  // Seconds with millisecond resolution.
  TJsonObject& AddSeconds(std::string_view key, double seconds);
  TJsonObject& Add(std::string_view key, const std::vector<std::string>& texts);
  TJsonObject& Add(std::string_view key, const std::vector<TJsonObject>& objects);

  std::string Text() const { return "{" + body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_;
};

}  // namespace kv::cli

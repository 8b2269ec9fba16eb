// A strict reader of JSON texts (RFC 8259), for tests that look into the
// records the programs write: it refuses what a lenient reader would let pass
// (raw control characters, invalid UTF-8, lone surrogates, duplicate keys,
// NaN, trailing text).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kt::test {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    // A string's characters in UTF-8, a number as written ("12.500"), "true" or "false".
    std::string text;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;  // in the text's order

    // The value at a JSON pointer ("/steps/2/outcome"), nullptr when there is none.
    const JsonValue* At(std::string_view pointer) const;

    // Same kind and contents; numbers compare as written, members in order.
    bool operator==(const JsonValue& other) const = default;
};

// The one value `text` holds; nothing, with the reason in `error`, when it is not strict JSON.
std::optional<JsonValue> ParseJson(std::string_view text, std::string& error);

}  // namespace kt::test

#include "JsonValue.h"

#include <charconv>

namespace kt::test {
namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool Document(JsonValue& value)
    {
        Blanks();
        if (!Value(value, 0))
            return false;
        Blanks();
        return at_ == text_.size() || Fail("text after the value");
    }

    std::string error;

private:
    // Deeper than any record; a runaway text stops here, not on the stack's end.
    static constexpr int kDeepest = 64;

    bool Fail(const std::string& why)
    {
        if (error.empty())
            error = why + " at byte " + std::to_string(at_);
        return false;
    }
    bool More() const { return at_ < text_.size(); }
    char Peek() const { return More() ? text_[at_] : '\0'; }
    void Blanks()
    {
        while (More() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r'))
            ++at_;
    }
    bool Word(std::string_view word)
    {
        if (text_.substr(at_, word.size()) != word)
            return Fail("not a JSON value");
        at_ += word.size();
        return true;
    }

    bool Value(JsonValue& value, int depth)
    {
        if (depth > kDeepest)
            return Fail("nested too deep");
        switch (Peek()) {
        case '{':
            return Object(value, depth);
        case '[':
            return Array(value, depth);
        case '"':
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        case 't':
            value.kind = JsonValue::Kind::Bool;
            value.text = "true";
            return Word("true");
        case 'f':
            value.kind = JsonValue::Kind::Bool;
            value.text = "false";
            return Word("false");
        case 'n':
            value.kind = JsonValue::Kind::Null;
            return Word("null");
        default:
            return Number(value);
        }
    }

    bool Object(JsonValue& value, int depth)
    {
        value.kind = JsonValue::Kind::Object;
        ++at_;
        Blanks();
        if (Peek() == '}') {
            ++at_;
            return true;
        }
        for (;;) {
            std::string key;
            Blanks();
            if (Peek() != '"')
                return Fail("a key expected");
            if (!String(key))
                return false;
            for (const auto& member : value.members)
                if (member.first == key)
                    return Fail("the key \"" + key + "\" twice");
            Blanks();
            if (Peek() != ':')
                return Fail("':' expected");
            ++at_;
            Blanks();
            JsonValue member;
            if (!Value(member, depth + 1))
                return false;
            value.members.emplace_back(std::move(key), std::move(member));
            Blanks();
            if (Peek() == '}') {
                ++at_;
                return true;
            }
            if (Peek() != ',')
                return Fail("',' or '}' expected");
            ++at_;
        }
    }

    bool Array(JsonValue& value, int depth)
    {
        value.kind = JsonValue::Kind::Array;
        ++at_;
        Blanks();
        if (Peek() == ']') {
            ++at_;
            return true;
        }
        for (;;) {
            Blanks();
            JsonValue item;
            if (!Value(item, depth + 1))
                return false;
            value.items.push_back(std::move(item));
            Blanks();
            if (Peek() == ']') {
                ++at_;
                return true;
            }
            if (Peek() != ',')
                return Fail("',' or ']' expected");
            ++at_;
        }
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    bool Number(JsonValue& value)
    {
        const std::size_t start = at_;
        auto digits = [this] {
            const std::size_t first = at_;
            while (More() && Peek() >= '0' && Peek() <= '9')
                ++at_;
            return at_ > first;
        };
        if (Peek() == '-')
            ++at_;
        if (Peek() == '0')
            ++at_;
        else if (!digits())
            return Fail("not a JSON value");
        if (Peek() == '.') {
            ++at_;
            if (!digits())
                return Fail("digits expected after '.'");
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++at_;
            if (Peek() == '+' || Peek() == '-')
                ++at_;
            if (!digits())
                return Fail("digits expected in the exponent");
        }
        value.kind = JsonValue::Kind::Number;
        value.text = std::string(text_.substr(start, at_ - start));
        return true;
    }

    bool Hex4(unsigned& code)
    {
        if (at_ + 4 > text_.size())
            return Fail("four hex digits expected");
        const char* first = text_.data() + at_;
        const auto [end, failure] = std::from_chars(first, first + 4, code, 16);
        if (failure != std::errc() || end != first + 4)
            return Fail("four hex digits expected");
        at_ += 4;
        return true;
    }

    static void PutUtf8(std::string& out, unsigned code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // One raw UTF-8 character of a string, checked as strictly as an escape.
    bool RawCharacter(std::string& out)
    {
        const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(text_[i]); };
        const unsigned lead = byte(at_);
        std::size_t length = 0;
        unsigned low = 0x80;
        unsigned high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return Fail("invalid UTF-8");
        }
        for (std::size_t i = 1; i < length; ++i) {
            if (at_ + i >= text_.size() || byte(at_ + i) < low || byte(at_ + i) > high)
                return Fail("invalid UTF-8");
            low = 0x80;
            high = 0xBF;
        }
        out.append(text_.substr(at_, length));
        at_ += length;
        return true;
    }

    bool Escape(std::string& out)
    {
        const char c = Peek();
        ++at_;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out += c;
            return true;
        case 'b':
            out += '\b';
            return true;
        case 'f':
            out += '\f';
            return true;
        case 'n':
            out += '\n';
            return true;
        case 'r':
            out += '\r';
            return true;
        case 't':
            out += '\t';
            return true;
        case 'u':
            break;
        default:
            return Fail("unknown escape");
        }
        unsigned code = 0;
        if (!Hex4(code))
            return false;
        if (code >= 0xDC00 && code <= 0xDFFF)
            return Fail("a lone low surrogate");
        if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (text_.substr(at_, 2) != "\\u")
                return Fail("a lone high surrogate");
            at_ += 2;
            if (!Hex4(low))
                return false;
            if (low < 0xDC00 || low > 0xDFFF)
                return Fail("a lone high surrogate");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        PutUtf8(out, code);
        return true;
    }

    bool String(std::string& out)
    {
        ++at_;
        for (;;) {
            if (!More())
                return Fail("the string does not end");
            const auto c = static_cast<unsigned char>(Peek());
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20)
                return Fail("a raw control character in a string");
            if (c == '\\') {
                ++at_;
                if (!Escape(out))
                    return false;
            } else if (c < 0x80) {
                out += static_cast<char>(c);
                ++at_;
            } else if (!RawCharacter(out)) {
                return false;
            }
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

const JsonValue* JsonValue::At(std::string_view pointer) const
{
    const JsonValue* value = this;
    while (!pointer.empty()) {
        if (pointer.front() != '/')
            return nullptr;
        pointer.remove_prefix(1);
        const std::size_t end = pointer.find('/');
        const std::string_view step = pointer.substr(0, end);
        pointer = end == std::string_view::npos ? std::string_view() : pointer.substr(end);
        const JsonValue* next = nullptr;
        if (value->kind == Kind::Object) {
            for (const auto& [key, member] : value->members)
                if (key == step)
                    next = &member;
        } else if (value->kind == Kind::Array) {
            std::size_t index = 0;
            const auto [stop, failure] = std::from_chars(step.data(), step.data() + step.size(), index);
            if (failure == std::errc() && stop == step.data() + step.size() && index < value->items.size())
                next = &value->items[index];
        }
        if (next == nullptr)
            return nullptr;
        value = next;
    }
    return value;
}

std::optional<JsonValue> ParseJson(std::string_view text, std::string& error)
{
    Reader reader(text);
    JsonValue value;
    if (!reader.Document(value)) {
        error = reader.error;
        return std::nullopt;
    }
    return value;
}

}  // namespace kt::test

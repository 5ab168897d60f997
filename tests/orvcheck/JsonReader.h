#pragma once
// A strict reader of JSON text (RFC 8259): the whole input must be one value, or nothing is
// read. Enough for tests that hold a program's JSON output to its grammar and shape.
#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct JsonValue {
    enum class Kind { Null, Boolean, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;  // a string's value, UTF-8
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool Has(const std::string& name) const { return members.count(name) != 0; }
    const JsonValue& operator[](const std::string& name) const { return members.at(name); }
};

class JsonReader {
public:
    // False when the text is not exactly one JSON value (white space around it aside).
    static bool Read(const std::string& text, JsonValue& value)
    {
        JsonReader reader(text);
        return reader.Value(value, 0) && (reader.Skip(), reader.m_at == text.size());
    }

private:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    void Skip()
    {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' || m_text[m_at] == '\r' ||
                                        m_text[m_at] == '\n'))
            ++m_at;
    }
    bool Take(char c)
    {
        Skip();
        if (m_at >= m_text.size() || m_text[m_at] != c)
            return false;
        ++m_at;
        return true;
    }
    bool Literal(const char* word)
    {
        const std::string expected(word);
        if (m_text.compare(m_at, expected.size(), expected) != 0)
            return false;
        m_at += expected.size();
        return true;
    }
    bool Value(JsonValue& value, int depth)
    {
        Skip();
        if (depth > 32 || m_at >= m_text.size())
            return false;
        switch (m_text[m_at]) {
        case '{':
            value.kind = JsonValue::Kind::Object;
            return Object(value, depth);
        case '[':
            value.kind = JsonValue::Kind::Array;
            return Array(value, depth);
        case '"':
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        case 't':
            value.kind = JsonValue::Kind::Boolean;
            value.boolean = true;
            return Literal("true");
        case 'f':
            value.kind = JsonValue::Kind::Boolean;
            return Literal("false");
        case 'n':
            return Literal("null");
        default:
            value.kind = JsonValue::Kind::Number;
            return Number(value.number);
        }
    }
    bool Object(JsonValue& value, int depth)
    {
        ++m_at;
        if (Take('}'))
            return true;
        do {
            std::string name;
            JsonValue member;
            Skip();
            if (!String(name) || !Take(':') || !Value(member, depth + 1) || value.members.count(name))
                return false;
            value.members[name] = member;
        } while (Take(','));
        return Take('}');
    }
    bool Array(JsonValue& value, int depth)
    {
        ++m_at;
        if (Take(']'))
            return true;
        do {
            value.items.emplace_back();
            if (!Value(value.items.back(), depth + 1))
                return false;
        } while (Take(','));
        return Take(']');
    }
    bool String(std::string& text)
    {
        if (m_at >= m_text.size() || m_text[m_at] != '"')
            return false;
        for (++m_at; m_at < m_text.size(); ++m_at) {
            const unsigned char c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '"') {
                ++m_at;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c != '\\') {
                text += static_cast<char>(c);
                continue;
            }
            if (++m_at >= m_text.size())
                return false;
            const std::string simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
            const size_t which = simple.find(m_text[m_at]);
            if (which != std::string::npos)
                text += meaning[which];
            else if (!Escape(text))
                return false;
        }
        return false;
    }
    // \uXXXX (one UTF-16 unit; surrogate pairs are not needed here and are refused).
    bool Escape(std::string& text)
    {
        if (m_text[m_at] != 'u' || m_at + 4 >= m_text.size())
            return false;
        const std::string digits = m_text.substr(m_at + 1, 4);
        if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        const unsigned long unit = std::strtoul(digits.c_str(), nullptr, 16);
        if (unit >= 0xD800 && unit < 0xE000)
            return false;
        if (unit < 0x80) {
            text += static_cast<char>(unit);
        } else if (unit < 0x800) {
            text += static_cast<char>(0xC0 | (unit >> 6));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | (unit >> 12));
            text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        }
        m_at += 4;
        return true;
    }
    bool Digits()
    {
        const size_t start = m_at;
        while (m_at < m_text.size() && isdigit(static_cast<unsigned char>(m_text[m_at])))
            ++m_at;
        return m_at > start;
    }
    bool Number(double& number)
    {
        const size_t start = m_at;
        if (m_at < m_text.size() && m_text[m_at] == '-')
            ++m_at;
        // "0" alone, or digits that do not start with 0.
        if (m_at < m_text.size() && m_text[m_at] == '0')
            ++m_at;
        else if (!Digits())
            return false;
        if (m_at < m_text.size() && m_text[m_at] == '.' && (++m_at, !Digits()))
            return false;
        if (m_at < m_text.size() && (m_text[m_at] == 'e' || m_text[m_at] == 'E')) {
            ++m_at;
            if (m_at < m_text.size() && (m_text[m_at] == '+' || m_text[m_at] == '-'))
                ++m_at;
            if (!Digits())
                return false;
        }
        number = std::strtod(m_text.substr(start, m_at - start).c_str(), nullptr);
        return true;
    }

    const std::string& m_text;
    size_t m_at = 0;
};

}  // namespace testsupport

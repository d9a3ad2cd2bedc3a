// The lexer and parser of the template language. The lexer follows Jinja2's with trim_blocks and
// lstrip_blocks on: the same whitespace control, comment and raw handling, number and string
// literal forms; the parser follows Jinja2's grammar and precedence, refusing what is outside
// the subset by name.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <stdexcept>

#include "tarvel/chat/detail/python_text.hpp"
#include "tarvel/chat/detail/syntax.hpp"

namespace Nuvexis::Core::Tarvel::detail::chat {
namespace {

// Templates nest statements and expressions at most this deep; published ones stay far below.
constexpr int kMaxNesting = 100;

enum class Tok : std::uint8_t {
    data,
    variable_begin,
    variable_end,
    block_begin,
    block_end,
    name,
    string,
    integer,
    floating,
    op,
    eof,
};

struct Token {
    Tok type = Tok::eof;
    std::string text;  // data, name, operator; a string literal's value
    std::uint32_t line = 1;
    std::int64_t integer = 0;
    double number = 0.0;
};

class SyntaxError : public std::invalid_argument {
  public:
    SyntaxError(std::uint32_t line, const std::string& message)
        : std::invalid_argument(message), line_(line) {}
    std::uint32_t line() const noexcept { return line_; }

  private:
    std::uint32_t line_;
};

[[noreturn]] void fail(std::uint32_t line, const std::string& message) {
    throw SyntaxError(line, message);
}

std::string describe(std::string_view s) {
    std::string out = "'";
    out.append(s);
    return out + "'";
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isNameChar(char c) {
    return isNameStart(c) || isDigit(c);
}

// Newlines become \n and one final newline is dropped, as Jinja2 reads a template.
std::string normalizeNewlines(std::string_view source) {
    std::string out;
    out.reserve(source.size());
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (source[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < source.size() && source[i + 1] == '\n') ++i;
        } else {
            out.push_back(source[i]);
        }
    }
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

class Lexer {
  public:
    explicit Lexer(std::string_view source) : src_(source) {}

    std::vector<Token> run() {
        while (pos_ < src_.size()) {
            std::size_t p = pos_;
            char kind = 0;
            while (true) {
                p = src_.find('{', p);
                if (p == std::string_view::npos || p + 1 >= src_.size()) {
                    p = std::string_view::npos;
                    break;
                }
                const char next = src_[p + 1];
                if (next == '{' || next == '%' || next == '#') {
                    kind = next;
                    break;
                }
                ++p;
            }
            if (p == std::string_view::npos) {
                emitData(std::string(src_.substr(pos_)));
                countLines(src_.substr(pos_));
                pos_ = src_.size();
                break;
            }
            std::size_t open_end = p + 2;
            char sign = 0;
            if (open_end < src_.size() && (src_[open_end] == '-' || src_[open_end] == '+')) {
                sign = src_[open_end];
                ++open_end;
            }
            std::size_t raw_end = 0;
            const bool raw = kind == '%' && matchRawBegin(open_end, raw_end);
            std::string text(src_.substr(pos_, p - pos_));
            stripBeforeTag(text, sign, kind != '{');
            emitData(std::move(text));
            countLines(src_.substr(pos_, p - pos_));
            if (raw) {
                line_starting_ = src_[raw_end - 1] == '\n';
                countLines(src_.substr(open_end, raw_end - open_end));
                pos_ = raw_end;
                lexRaw();
            } else if (kind == '#') {
                pos_ = open_end;
                lexComment();
            } else {
                line_starting_ = false;
                pos_ = open_end;
                push(kind == '%' ? Tok::block_begin : Tok::variable_begin, "");
                lexTag(kind == '%');
            }
        }
        Token end;
        end.type = Tok::eof;
        end.line = line_;
        tokens_.push_back(end);
        return std::move(tokens_);
    }

  private:
    void push(Tok type, std::string text) {
        Token t;
        t.type = type;
        t.text = std::move(text);
        t.line = line_;
        tokens_.push_back(std::move(t));
    }

    void emitData(std::string text) {
        if (!text.empty()) push(Tok::data, std::move(text));
    }

    void countLines(std::string_view s) {
        line_ += static_cast<std::uint32_t>(std::count(s.begin(), s.end(), '\n'));
    }

    // The code point at i (src_ is valid UTF-8) and its length.
    char32_t codePointAt(std::size_t i, std::size_t& length) const {
        length = utf8Length(static_cast<unsigned char>(src_[i]));
        return decodeUtf8(src_.substr(i, length))[0];
    }

    std::size_t skipSpace(std::size_t i) const {
        while (i < src_.size()) {
            std::size_t length = 0;
            if (!isPythonSpace(codePointAt(i, length))) break;
            i += length;
        }
        return i;
    }

    bool startsWith(std::size_t i, std::string_view s) const {
        return src_.compare(i, s.size(), s) == 0;
    }

    // {%-? raw -?%} with Python's \s around the word.
    bool matchRawBegin(std::size_t i, std::size_t& end) const {
        i = skipSpace(i);
        if (!startsWith(i, "raw")) return false;
        i = skipSpace(i + 3);
        if (startsWith(i, "-%}")) {
            end = skipSpace(i + 3);
            return true;
        }
        if (startsWith(i, "%}")) {
            end = i + 2;
            return true;
        }
        return false;
    }

    // `{%-` strips all whitespace before the tag; otherwise lstrip_blocks strips the spaces
    // that start the tag's line, except before {{ and with `{%+`.
    void stripBeforeTag(std::string& text, char sign, bool block_or_comment) const {
        if (sign == '-') {
            text = pythonStrip(text, std::nullopt, false, true);
            return;
        }
        if (sign == '+' || !block_or_comment) return;
        const std::size_t newline = text.rfind('\n');
        const std::size_t l_pos = newline == std::string::npos ? 0 : newline + 1;
        if (l_pos == 0 && !line_starting_) return;
        if (l_pos >= text.size()) return;
        const std::u32string tail = decodeUtf8(std::string_view(text).substr(l_pos));
        if (std::all_of(tail.begin(), tail.end(), isPythonSpace)) text.resize(l_pos);
    }

    // The end of a block-like tag: `+%}` keeps what follows, `-%}` eats the whitespace after
    // it, and a plain `%}` eats one newline (trim_blocks). Returns the position after it.
    std::size_t blockEnd(std::size_t i, char close) const {
        const char end_text[3] = {close, '}', 0};
        if (src_[i] == '+' && startsWith(i + 1, end_text)) return i + 3;
        if (src_[i] == '-' && startsWith(i + 1, end_text)) return skipSpace(i + 3);
        if (startsWith(i, end_text)) {
            i += 2;
            if (i < src_.size() && src_[i] == '\n') ++i;
            return i;
        }
        return std::string_view::npos;
    }

    void lexComment() {
        const std::size_t start = pos_;
        // Jinja2 ends quietly when a comment opens at the very end of the template.
        if (pos_ >= src_.size()) return;
        const std::size_t q = src_.find("#}", pos_);
        if (q == std::string_view::npos) fail(line_, "missing end of comment tag");
        std::size_t at = q;
        if (q > start && (src_[q - 1] == '-' || src_[q - 1] == '+')) at = q - 1;
        const std::size_t end = blockEnd(at, '#');
        countLines(src_.substr(start, end - start));
        line_starting_ = src_[end - 1] == '\n';
        pos_ = end;
    }

    void lexRaw() {
        std::size_t search = pos_;
        while (true) {
            const std::size_t p = src_.find("{%", search);
            if (p == std::string_view::npos) fail(line_, "missing end of raw directive");
            std::size_t i = p + 2;
            char sign = 0;
            if (i < src_.size() && (src_[i] == '-' || src_[i] == '+')) sign = src_[i++];
            i = skipSpace(i);
            if (!startsWith(i, "endraw")) {
                search = p + 2;
                continue;
            }
            i = skipSpace(i + 6);
            if (i >= src_.size()) {
                search = p + 2;
                continue;
            }
            const std::size_t end = blockEnd(i, '%');
            if (end == std::string_view::npos) {
                search = p + 2;
                continue;
            }
            std::string text(src_.substr(pos_, p - pos_));
            stripBeforeTag(text, sign, true);
            emitData(std::move(text));
            countLines(src_.substr(pos_, end - pos_));
            line_starting_ = src_[end - 1] == '\n';
            pos_ = end;
            return;
        }
    }

    // (\d+_)*\d+ from i; the end, or npos.
    std::size_t digits(std::size_t i) const {
        if (i >= src_.size() || !isDigit(src_[i])) return std::string_view::npos;
        while (true) {
            while (i < src_.size() && isDigit(src_[i])) ++i;
            if (i + 1 < src_.size() && src_[i] == '_' && isDigit(src_[i + 1])) {
                ++i;
                continue;
            }
            return i;
        }
    }

    std::size_t exponent(std::size_t i) const {
        if (i >= src_.size() || (src_[i] != 'e' && src_[i] != 'E')) return std::string_view::npos;
        ++i;
        if (i < src_.size() && (src_[i] == '+' || src_[i] == '-')) ++i;
        return digits(i);
    }

    bool lexFloat() {
        if (pos_ > 0 && src_[pos_ - 1] == '.') return false;
        const std::size_t whole = digits(pos_);
        if (whole == std::string_view::npos) return false;
        std::size_t fraction = std::string_view::npos;
        if (whole < src_.size() && src_[whole] == '.') fraction = digits(whole + 1);
        std::size_t end = std::string_view::npos;
        if (fraction != std::string_view::npos) end = exponent(fraction);
        if (end == std::string_view::npos) end = exponent(whole);
        if (end == std::string_view::npos) end = fraction;
        if (end == std::string_view::npos) return false;
        std::string text;
        for (char c : src_.substr(pos_, end - pos_)) {
            if (c != '_') text.push_back(c);
        }
        double value = 0.0;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
        if (result.ec == std::errc::result_out_of_range) {
            // Past the range of a double Python's float() gives infinity, below it zero.
            const std::size_t e = text.find_first_of("eE");
            const bool negative_exponent = e != std::string::npos && text[e + 1] == '-';
            value = negative_exponent ? 0.0 : std::numeric_limits<double>::infinity();
        }
        push(Tok::floating, std::string(src_.substr(pos_, end - pos_)));
        tokens_.back().number = value;
        pos_ = end;
        return true;
    }

    // 0b/0o/0x with digits, [1-9](_?\d)* or 0(_?0)*, tried in that order as Jinja2 does.
    bool lexInteger() {
        const auto digitValue = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return 99;
        };
        // (_?digit)* from i; the end of the last digit taken, or npos when none is.
        const auto run = [&](std::size_t i, int base, char only) {
            std::size_t end = std::string_view::npos;
            while (true) {
                std::size_t at = i;
                if (at < src_.size() && src_[at] == '_') ++at;
                if (at >= src_.size() || digitValue(src_[at]) >= base ||
                    (only != 0 && src_[at] != only)) {
                    return end;
                }
                i = at + 1;
                end = i;
            }
        };
        const char first = src_[pos_];
        std::size_t end = std::string_view::npos;
        std::size_t from = pos_;
        int base = 10;
        if (first == '0' && pos_ + 1 < src_.size()) {
            const char p = static_cast<char>(src_[pos_ + 1] | 0x20);
            const int prefixed = p == 'b' ? 2 : p == 'o' ? 8 : p == 'x' ? 16 : 0;
            if (prefixed != 0) {
                end = run(pos_ + 2, prefixed, 0);
                if (end != std::string_view::npos) {
                    base = prefixed;
                    from = pos_ + 2;
                }
            }
        }
        if (end == std::string_view::npos) {
            if (first >= '1' && first <= '9') {
                end = run(pos_ + 1, 10, 0);
                if (end == std::string_view::npos) end = pos_ + 1;
            } else if (first == '0') {
                end = run(pos_ + 1, 10, '0');
                if (end == std::string_view::npos) end = pos_ + 1;
            } else {
                return false;
            }
        }
        std::uint64_t value = 0;
        const auto b = static_cast<std::uint64_t>(base);
        for (char c : src_.substr(from, end - from)) {
            if (c == '_') continue;
            const auto d = static_cast<std::uint64_t>(digitValue(c));
            if (value > (static_cast<std::uint64_t>(INT64_MAX) - d) / b) {
                fail(line_, "integer literal does not fit in 64 bits");
            }
            value = value * b + d;
        }
        push(Tok::integer, std::string(src_.substr(pos_, end - pos_)));
        tokens_.back().integer = static_cast<std::int64_t>(value);
        pos_ = end;
        return true;
    }

    void lexString() {
        const char quote = src_[pos_];
        std::size_t i = pos_ + 1;
        while (i < src_.size() && src_[i] != quote) {
            i += src_[i] == '\\' ? 2u : 1u;
        }
        if (i >= src_.size()) fail(line_, "unterminated string");
        const std::string_view body = src_.substr(pos_ + 1, i - pos_ - 1);
        push(Tok::string, unescape(body));
        countLines(body);
        pos_ = i + 1;
    }

    // Python's unicode-escape over the literal's text, as Jinja2 reads string literals.
    std::string unescape(std::string_view body) const {
        std::string out;
        std::size_t i = 0;
        const auto hex = [&](std::size_t at, std::size_t count, const char* what) {
            char32_t v = 0;
            for (std::size_t k = 0; k < count; ++k) {
                const char c = at + k < body.size() ? body[at + k] : 0;
                int d = -1;
                if (c >= '0' && c <= '9') d = c - '0';
                if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
                if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
                if (d < 0) fail(line_, std::string("truncated ") + what + " escape");
                v = v * 16 + static_cast<char32_t>(d);
            }
            return v;
        };
        while (i < body.size()) {
            if (body[i] != '\\') {
                out.push_back(body[i++]);
                continue;
            }
            const char c = body[i + 1];
            i += 2;
            switch (c) {
                case '\n':
                    break;
                case '\\':
                    out.push_back('\\');
                    break;
                case '\'':
                    out.push_back('\'');
                    break;
                case '"':
                    out.push_back('"');
                    break;
                case 'a':
                    out.push_back('\a');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'v':
                    out.push_back('\v');
                    break;
                case 'x':
                    appendUtf8(out, hex(i, 2, "\\xXX"));
                    i += 2;
                    break;
                case 'u':
                case 'U': {
                    const std::size_t count = c == 'u' ? 4 : 8;
                    const char32_t v = hex(i, count, c == 'u' ? "\\uXXXX" : "\\UXXXXXXXX");
                    if (v > 0x10FFFF) fail(line_, "illegal Unicode character in a string");
                    if (v >= 0xD800 && v <= 0xDFFF) {
                        fail(line_, "a string escape gives a surrogate code point");
                    }
                    appendUtf8(out, v);
                    i += count;
                    break;
                }
                case 'N':
                    fail(line_, "\\N{...} escapes are not supported");
                default:
                    if (c >= '0' && c <= '7') {
                        char32_t v = static_cast<char32_t>(c - '0');
                        for (int k = 0;
                             k < 2 && i < body.size() && body[i] >= '0' && body[i] <= '7'; ++k) {
                            v = v * 8 + static_cast<char32_t>(body[i++] - '0');
                        }
                        appendUtf8(out, v);
                    } else if (static_cast<unsigned char>(c) >= 0x80) {
                        // Jinja2 escapes the character as \xNN, \uNNNN or \UNNNNNNNN before
                        // decoding, so the backslash keeps that text.
                        std::size_t length = utf8Length(static_cast<unsigned char>(c));
                        const char32_t cp = decodeUtf8(body.substr(i - 1, length))[0];
                        char buffer[16];
                        if (cp < 0x100) {
                            std::snprintf(buffer, sizeof buffer, "\\x%02x",
                                          static_cast<unsigned>(cp));
                        } else if (cp < 0x10000) {
                            std::snprintf(buffer, sizeof buffer, "\\u%04x",
                                          static_cast<unsigned>(cp));
                        } else {
                            std::snprintf(buffer, sizeof buffer, "\\U%08x",
                                          static_cast<unsigned>(cp));
                        }
                        out += buffer;
                        i += length - 1;
                    } else {
                        out.push_back('\\');
                        out.push_back(c);
                    }
            }
        }
        return out;
    }

    void lexTag(bool block) {
        std::vector<char> balance;
        while (true) {
            if (pos_ >= src_.size()) {
                fail(line_, block ? "unexpected end of template inside a {% %} tag"
                                  : "unexpected end of template inside a {{ }} tag");
            }
            if (balance.empty()) {
                std::size_t end = std::string_view::npos;
                if (block) {
                    end = blockEnd(pos_, '%');
                } else if (src_[pos_] == '-' && startsWith(pos_ + 1, "}}")) {
                    end = skipSpace(pos_ + 3);
                } else if (startsWith(pos_, "}}")) {
                    end = pos_ + 2;
                }
                if (end != std::string_view::npos) {
                    push(block ? Tok::block_end : Tok::variable_end, "");
                    countLines(src_.substr(pos_, end - pos_));
                    line_starting_ = src_[end - 1] == '\n';
                    pos_ = end;
                    return;
                }
            }
            std::size_t length = 0;
            const char32_t c = codePointAt(pos_, length);
            if (isPythonSpace(c)) {
                const std::size_t end = skipSpace(pos_);
                countLines(src_.substr(pos_, end - pos_));
                pos_ = end;
                continue;
            }
            if (lexFloat() || lexInteger()) continue;
            const char ch = src_[pos_];
            if (isNameStart(ch)) {
                std::size_t end = pos_;
                while (end < src_.size() && isNameChar(src_[end])) ++end;
                if (end < src_.size() && static_cast<unsigned char>(src_[end]) >= 0x80) {
                    std::size_t l = 0;
                    if (!isPythonSpace(codePointAt(end, l))) {
                        fail(line_, "names with non-ASCII letters are not supported");
                    }
                }
                push(Tok::name, std::string(src_.substr(pos_, end - pos_)));
                pos_ = end;
                continue;
            }
            if (ch == '\'' || ch == '"') {
                lexString();
                continue;
            }
            static constexpr std::array<std::string_view, 6> kTwo = {
                "//", "**", "==", "!=", ">=", "<="};
            std::string op;
            for (std::string_view two : kTwo) {
                if (startsWith(pos_, two)) op = std::string(two);
            }
            if (op.empty() &&
                std::string_view("+-/*%~[](){}><=.:|,;").find(ch) != std::string_view::npos) {
                op = std::string(1, ch);
            }
            if (op.empty()) {
                fail(line_,
                     "unexpected char " + pythonStringRepr(std::string(src_.substr(pos_, length))));
            }
            if (op == "(" || op == "[" || op == "{") {
                balance.push_back(op == "(" ? ')' : op == "[" ? ']' : '}');
            } else if (op == ")" || op == "]" || op == "}") {
                if (balance.empty()) fail(line_, "unexpected " + describe(op));
                if (balance.back() != op[0]) {
                    fail(line_, "unexpected " + describe(op) + ", expected " +
                                    describe(std::string(1, balance.back())));
                }
                balance.pop_back();
            }
            push(Tok::op, op);
            pos_ += op.size();
        }
    }

    std::string_view src_;
    std::size_t pos_ = 0;
    std::uint32_t line_ = 1;
    bool line_starting_ = true;
    std::vector<Token> tokens_;
};

const std::set<std::string, std::less<>> kFilters = {
    "abs",        "attr",   "capitalize", "count",      "d",       "default", "e",      "escape",
    "first",      "float",  "int",        "items",      "join",    "last",    "length", "list",
    "lower",      "map",    "reject",     "rejectattr", "replace", "reverse", "safe",   "select",
    "selectattr", "string", "title",      "tojson",     "trim",    "upper"};
// Jinja2's other built-in filters: known, refused by name.
const std::set<std::string, std::less<>> kOtherFilters = {
    "batch",     "center",    "dictsort", "filesizeformat", "forceescape", "format",    "groupby",
    "indent",    "max",       "min",      "pprint",         "random",      "round",     "slice",
    "sort",      "striptags", "sum",      "truncate",       "unique",      "urlencode", "urlize",
    "wordcount", "wordwrap",  "xmlattr"};
const std::set<std::string, std::less<>> kTests = {
    "defined", "undefined", "none",        "boolean", "false",       "true",     "integer",
    "float",   "number",    "string",      "mapping", "sequence",    "iterable", "callable",
    "odd",     "even",      "divisibleby", "in",      "==",          "eq",       "equalto",
    "!=",      "ne",        ">",           "gt",      "greaterthan", ">=",       "ge",
    "<",       "lt",        "lessthan",    "<=",      "le"};
const std::set<std::string, std::less<>> kOtherTests = {"lower",   "upper",  "sameas",
                                                        "escaped", "filter", "test"};

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    std::vector<Stmt> parseTemplate() {
        std::vector<Stmt> body = subparse({});
        if (cur().type != Tok::eof) fail(cur().line, "unexpected " + describe(cur().text));
        return body;
    }

  private:
    struct Nest {
        explicit Nest(Parser& p) : p_(p) {
            if (++p_.depth_ > kMaxNesting) {
                fail(p_.cur().line,
                     "template nests deeper than " + std::to_string(kMaxNesting) + " levels");
            }
        }
        ~Nest() { --p_.depth_; }
        Parser& p_;
    };

    const Token& cur() const { return tokens_[pos_]; }
    const Token& look() const { return tokens_[std::min(pos_ + 1, tokens_.size() - 1)]; }
    Token next() {
        Token t = tokens_[pos_];
        if (pos_ + 1 < tokens_.size()) ++pos_;
        return t;
    }
    bool isOp(std::string_view op) const { return cur().type == Tok::op && cur().text == op; }
    bool isName(std::string_view name) const {
        return cur().type == Tok::name && cur().text == name;
    }
    bool skipOp(std::string_view op) {
        if (!isOp(op)) return false;
        next();
        return true;
    }
    bool skipName(std::string_view name) {
        if (!isName(name)) return false;
        next();
        return true;
    }

    static std::string tokenText(const Token& t) {
        switch (t.type) {
            case Tok::eof:
                return "end of template";
            case Tok::block_end:
                return "end of statement block";
            case Tok::variable_end:
                return "end of print statement";
            case Tok::block_begin:
                return "begin of statement block";
            case Tok::variable_begin:
                return "begin of print statement";
            case Tok::data:
                return "template data";
            case Tok::string:
                return "string";
            default:
                return t.text;
        }
    }

    [[noreturn]] void unexpected(const std::string& expected) const {
        fail(cur().line, "expected " + expected + ", got " + describe(tokenText(cur())));
    }

    void expectOp(std::string_view op) {
        if (!skipOp(op)) unexpected(describe(op));
    }
    void expect(Tok type, const char* what) {
        if (cur().type != type) unexpected(what);
        next();
    }
    std::string expectName() {
        if (cur().type != Tok::name) unexpected("a name");
        return next().text;
    }

    std::unique_ptr<Expr> node(ExprKind kind, std::uint32_t line) {
        auto e = std::make_unique<Expr>();
        e->kind = kind;
        e->line = line;
        return e;
    }

    // Statements up to one of the end tags (left unconsumed: the tag's name is current).
    std::vector<Stmt> subparse(const std::vector<std::string_view>& end_tags) {
        std::vector<Stmt> body;
        while (cur().type != Tok::eof) {
            const Token& t = cur();
            if (t.type == Tok::data) {
                Stmt s;
                s.kind = StmtKind::text;
                s.line = t.line;
                s.text = t.text;
                body.push_back(std::move(s));
                next();
            } else if (t.type == Tok::variable_begin) {
                next();
                Stmt s;
                s.kind = StmtKind::output;
                s.line = cur().line;
                s.expr = parseTuple(true, false, {});
                expect(Tok::variable_end, "end of print statement");
                body.push_back(std::move(s));
            } else if (t.type == Tok::block_begin) {
                next();
                if (cur().type == Tok::name &&
                    std::find(end_tags.begin(), end_tags.end(), cur().text) != end_tags.end()) {
                    return body;
                }
                body.push_back(parseStatement());
                expect(Tok::block_end, "end of statement block");
            } else {
                fail(t.line, "unexpected " + describe(tokenText(t)));
            }
        }
        if (!end_tags.empty()) {
            std::string names;
            for (std::string_view n : end_tags) {
                names += names.empty() ? "" : " or ";
                names += describe(n);
            }
            fail(cur().line, "unexpected end of template, expected " + names);
        }
        return body;
    }

    std::vector<Stmt> parseStatements(const std::vector<std::string_view>& end_tags,
                                      bool drop_needle) {
        skipOp(":");
        expect(Tok::block_end, "end of statement block");
        std::vector<Stmt> body = subparse(end_tags);
        if (drop_needle) next();
        return body;
    }

    Stmt parseStatement() {
        Nest nest(*this);
        if (cur().type != Tok::name) fail(cur().line, "tag name expected");
        const std::string tag = cur().text;
        const std::uint32_t line = cur().line;
        if (tag == "for") return parseFor();
        if (tag == "if") return parseIf();
        if (tag == "set") return parseSet();
        if (tag == "macro") return parseMacro();
        if (tag == "break" || tag == "continue") {
            if (loop_depth_ == 0) fail(line, describe(tag) + " outside a loop");
            next();
            Stmt s;
            s.kind = tag == "break" ? StmtKind::break_ : StmtKind::continue_;
            s.line = line;
            return s;
        }
        if (tag == "generation") {
            next();
            Stmt s;
            s.kind = StmtKind::generation;
            s.line = line;
            s.body = parseStatements({"endgeneration"}, true);
            return s;
        }
        static const std::set<std::string, std::less<>> kOtherTags = {
            "block", "extends",    "include", "import", "from",  "call",     "filter",
            "with",  "autoescape", "print",   "do",     "trans", "pluralize"};
        if (kOtherTags.count(tag) != 0) fail(line, "tag " + describe(tag) + " is not supported");
        fail(line, "unknown tag " + describe(tag));
    }

    Target parseTarget(bool with_namespace, const std::vector<std::string_view>& end_names) {
        Target target;
        const std::uint32_t line = cur().line;
        if (with_namespace && cur().type == Tok::name && look().type == Tok::op &&
            look().text == ".") {
            target.names.push_back(next().text);
            next();
            target.attribute = expectName();
            return target;
        }
        const auto one = [&]() {
            if (isOp("(")) fail(cur().line, "nested unpacking is not supported");
            if (cur().type != Tok::name) unexpected("a name");
            const std::string name = next().text;
            static const std::set<std::string, std::less<>> kConstants = {"true", "false", "none",
                                                                          "True", "False", "None"};
            if (kConstants.count(name) != 0) fail(line, "can't assign to " + describe(name));
            target.names.push_back(name);
        };
        const bool parenthesized = skipOp("(");
        while (true) {
            if (!target.names.empty()) {
                if (!skipOp(",")) break;
                target.unpack = true;
            }
            if (isOp(")") || cur().type == Tok::block_end ||
                (cur().type == Tok::name &&
                 std::find(end_names.begin(), end_names.end(), cur().text) != end_names.end())) {
                break;
            }
            one();
            if (isOp(",")) target.unpack = true;
        }
        if (parenthesized) {
            expectOp(")");
            target.unpack = true;
        }
        if (target.names.empty()) fail(line, "can't assign to an empty tuple");
        return target;
    }

    Stmt parseFor() {
        Stmt s;
        s.kind = StmtKind::for_;
        s.line = next().line;
        s.target = parseTarget(false, {"in"});
        if (!skipName("in")) unexpected("'in'");
        s.expr = parseTuple(false, false, {"recursive"});
        if (skipName("if")) s.filter = parseExpression(true);
        if (isName("recursive")) fail(cur().line, "recursive loops are not supported");
        ++loop_depth_;
        s.body = parseStatements({"endfor", "else"}, false);
        --loop_depth_;
        if (next().text != "endfor") s.else_body = parseStatements({"endfor"}, true);
        return s;
    }

    Stmt parseIf() {
        Stmt s;
        s.kind = StmtKind::if_;
        s.line = next().line;
        auto test = parseTuple(false, false, {});
        auto body = parseStatements({"elif", "else", "endif"}, false);
        s.branches.emplace_back(std::move(test), std::move(body));
        while (true) {
            const std::string tag = next().text;
            if (tag == "elif") {
                auto elif_test = parseTuple(false, false, {});
                auto elif_body = parseStatements({"elif", "else", "endif"}, false);
                s.branches.emplace_back(std::move(elif_test), std::move(elif_body));
                continue;
            }
            if (tag == "else") s.else_body = parseStatements({"endif"}, true);
            break;
        }
        return s;
    }

    Stmt parseSet() {
        Stmt s;
        s.line = next().line;
        s.target = parseTarget(true, {});
        if (skipOp("=")) {
            s.kind = StmtKind::set;
            s.expr = parseTuple(true, false, {});
            return s;
        }
        s.kind = StmtKind::set_block;
        if (isOp("|")) s.filter = parseFilter(nullptr);
        s.body = parseStatements({"endset"}, true);
        return s;
    }

    Stmt parseMacro() {
        Stmt s;
        s.kind = StmtKind::macro;
        s.line = next().line;
        s.name = expectName();
        expectOp("(");
        while (!isOp(")")) {
            if (!s.params.empty()) expectOp(",");
            if (cur().type != Tok::name) unexpected("a name");
            s.params.push_back(next().text);
            if (skipOp("=")) {
                s.defaults.push_back(parseExpression(true));
            } else {
                if (std::any_of(s.defaults.begin(), s.defaults.end(),
                                [](const auto& d) { return d != nullptr; })) {
                    fail(cur().line, "non-default argument follows default argument");
                }
                s.defaults.push_back(nullptr);
            }
        }
        next();
        macros_.push_back(&s);
        const int saved_loops = loop_depth_;
        loop_depth_ = 0;
        std::vector<Stmt> body = parseStatements({"endmacro"}, true);
        loop_depth_ = saved_loops;
        macros_.pop_back();
        s.body = std::move(body);
        return s;
    }

    // A tuple where commas make one (a, b), else the one expression.
    std::unique_ptr<Expr> parseTuple(bool with_condexpr, bool explicit_parentheses,
                                     const std::vector<std::string_view>& end_names) {
        const std::uint32_t line = cur().line;
        std::vector<std::unique_ptr<Expr>> args;
        bool is_tuple = false;
        while (true) {
            if (!args.empty()) expectOp(",");
            if (cur().type == Tok::variable_end || cur().type == Tok::block_end || isOp(")") ||
                (cur().type == Tok::name &&
                 std::find(end_names.begin(), end_names.end(), cur().text) != end_names.end())) {
                break;
            }
            args.push_back(parseExpression(with_condexpr));
            if (isOp(",")) {
                is_tuple = true;
            } else {
                break;
            }
        }
        if (!is_tuple) {
            if (!args.empty()) return std::move(args[0]);
            if (!explicit_parentheses) {
                fail(cur().line, "expected an expression, got " + describe(tokenText(cur())));
            }
        }
        auto t = node(ExprKind::tuple, line);
        t->items = std::move(args);
        return t;
    }

    std::unique_ptr<Expr> parseExpression(bool with_condexpr) {
        Nest nest(*this);
        if (!with_condexpr) return parseOr();
        auto expr = parseOr();
        while (isName("if")) {
            const std::uint32_t line = next().line;
            auto cond = parseOr();
            std::unique_ptr<Expr> otherwise;
            if (skipName("else")) otherwise = parseExpression(true);
            auto c = node(ExprKind::condition, line);
            c->items.push_back(std::move(expr));
            c->items.push_back(std::move(cond));
            c->items.push_back(std::move(otherwise));
            expr = std::move(c);
        }
        return expr;
    }

    std::unique_ptr<Expr> binaryNode(ExprKind kind, std::unique_ptr<Expr> left,
                                     std::unique_ptr<Expr> right, std::uint32_t line) {
        auto n = node(kind, line);
        n->items.push_back(std::move(left));
        n->items.push_back(std::move(right));
        return n;
    }

    std::unique_ptr<Expr> parseOr() {
        auto left = parseAnd();
        while (isName("or")) {
            const std::uint32_t line = next().line;
            left = binaryNode(ExprKind::or_, std::move(left), parseAnd(), line);
        }
        return left;
    }

    std::unique_ptr<Expr> parseAnd() {
        auto left = parseNot();
        while (isName("and")) {
            const std::uint32_t line = next().line;
            left = binaryNode(ExprKind::and_, std::move(left), parseNot(), line);
        }
        return left;
    }

    std::unique_ptr<Expr> parseNot() {
        if (isName("not")) {
            Nest nest(*this);
            const std::uint32_t line = next().line;
            auto n = node(ExprKind::not_, line);
            n->items.push_back(parseNot());
            return n;
        }
        return parseCompare();
    }

    std::unique_ptr<Expr> parseCompare() {
        const std::uint32_t line = cur().line;
        auto first = parseMath1();
        std::unique_ptr<Expr> cmp;
        while (true) {
            CompareOp op{};
            if (cur().type == Tok::op &&
                (cur().text == "==" || cur().text == "!=" || cur().text == "<" ||
                 cur().text == "<=" || cur().text == ">" || cur().text == ">=")) {
                const std::string t = next().text;
                op = t == "=="   ? CompareOp::eq
                     : t == "!=" ? CompareOp::ne
                     : t == "<"  ? CompareOp::lt
                     : t == "<=" ? CompareOp::le
                     : t == ">"  ? CompareOp::gt
                                 : CompareOp::ge;
            } else if (skipName("in")) {
                op = CompareOp::in;
            } else if (isName("not") && look().type == Tok::name && look().text == "in") {
                next();
                next();
                op = CompareOp::not_in;
            } else {
                break;
            }
            if (!cmp) {
                cmp = node(ExprKind::compare, line);
                cmp->items.push_back(std::move(first));
            }
            cmp->compare_ops.push_back(op);
            cmp->items.push_back(parseMath1());
        }
        return cmp ? std::move(cmp) : std::move(first);
    }

    std::unique_ptr<Expr> arithmetic(BinaryOp op, std::unique_ptr<Expr> left,
                                     std::unique_ptr<Expr> right, std::uint32_t line) {
        auto n = binaryNode(ExprKind::binary, std::move(left), std::move(right), line);
        n->op = op;
        return n;
    }

    std::unique_ptr<Expr> parseMath1() {
        auto left = parseConcat();
        while (isOp("+") || isOp("-")) {
            const Token t = next();
            left = arithmetic(t.text == "+" ? BinaryOp::add : BinaryOp::sub, std::move(left),
                              parseConcat(), t.line);
        }
        return left;
    }

    std::unique_ptr<Expr> parseConcat() {
        const std::uint32_t line = cur().line;
        auto first = parseMath2();
        if (!isOp("~")) return first;
        auto n = node(ExprKind::concat, line);
        n->items.push_back(std::move(first));
        while (skipOp("~")) n->items.push_back(parseMath2());
        return n;
    }

    std::unique_ptr<Expr> parseMath2() {
        auto left = parsePow();
        while (isOp("*") || isOp("/") || isOp("//") || isOp("%")) {
            const Token t = next();
            const BinaryOp op = t.text == "*"    ? BinaryOp::mul
                                : t.text == "/"  ? BinaryOp::div
                                : t.text == "//" ? BinaryOp::floordiv
                                                 : BinaryOp::mod;
            left = arithmetic(op, std::move(left), parsePow(), t.line);
        }
        return left;
    }

    std::unique_ptr<Expr> parsePow() {
        auto left = parseUnary(true);
        while (isOp("**")) {
            const std::uint32_t line = next().line;
            left = arithmetic(BinaryOp::pow, std::move(left), parseUnary(true), line);
        }
        return left;
    }

    std::unique_ptr<Expr> parseUnary(bool with_filter) {
        Nest nest(*this);
        std::unique_ptr<Expr> n;
        if (isOp("-") || isOp("+")) {
            const Token t = next();
            n = node(t.text == "-" ? ExprKind::negate : ExprKind::plus, t.line);
            n->items.push_back(parseUnary(false));
        } else {
            n = parsePrimary();
        }
        n = parsePostfix(std::move(n));
        if (with_filter) n = parseFilterExpr(std::move(n));
        return n;
    }

    std::unique_ptr<Expr> parsePrimary() {
        Nest nest(*this);
        const Token& t = cur();
        const std::uint32_t line = t.line;
        if (t.type == Tok::name) {
            const std::string name = next().text;
            auto c = node(ExprKind::constant, line);
            if (name == "true" || name == "True") {
                c->constant = Value::fromBool(true);
            } else if (name == "false" || name == "False") {
                c->constant = Value::fromBool(false);
            } else if (name == "none" || name == "None") {
                c->constant = Value::none();
            } else {
                if (!macros_.empty()) {
                    if (name == "varargs") macros_.back()->uses_varargs = true;
                    if (name == "kwargs") macros_.back()->uses_kwargs = true;
                    if (name == "caller") fail(line, "'caller' is not supported");
                }
                auto n = node(ExprKind::name, line);
                n->name = name;
                return n;
            }
            return c;
        }
        if (t.type == Tok::string) {
            std::string text;
            while (cur().type == Tok::string) text += next().text;
            auto c = node(ExprKind::constant, line);
            c->constant = Value::fromString(std::move(text));
            return c;
        }
        if (t.type == Tok::integer || t.type == Tok::floating) {
            const Token n = next();
            auto c = node(ExprKind::constant, line);
            c->constant =
                n.type == Tok::integer ? Value::fromInt(n.integer) : Value::fromFloat(n.number);
            return c;
        }
        if (skipOp("(")) {
            auto inner = parseTuple(true, true, {});
            expectOp(")");
            return inner;
        }
        if (skipOp("[")) {
            auto list = node(ExprKind::list, line);
            while (!isOp("]")) {
                if (!list->items.empty()) expectOp(",");
                if (isOp("]")) break;
                list->items.push_back(parseExpression(true));
            }
            expectOp("]");
            return list;
        }
        if (skipOp("{")) {
            auto dict = node(ExprKind::dict, line);
            while (!isOp("}")) {
                if (!dict->items.empty()) expectOp(",");
                if (isOp("}")) break;
                dict->items.push_back(parseExpression(true));
                expectOp(":");
                dict->items.push_back(parseExpression(true));
            }
            expectOp("}");
            return dict;
        }
        fail(line, "unexpected " + describe(tokenText(t)));
    }

    std::unique_ptr<Expr> parsePostfix(std::unique_ptr<Expr> n) {
        while (true) {
            if (isOp(".") || isOp("[")) {
                n = parseSubscript(std::move(n));
            } else if (isOp("(")) {
                n = parseCall(std::move(n));
            } else {
                return n;
            }
        }
    }

    std::unique_ptr<Expr> parseFilterExpr(std::unique_ptr<Expr> n) {
        while (true) {
            if (isOp("|")) {
                n = parseFilter(std::move(n));
            } else if (isName("is")) {
                n = parseTest(std::move(n));
            } else if (isOp("(")) {
                n = parseCall(std::move(n));
            } else {
                return n;
            }
        }
    }

    std::unique_ptr<Expr> parseSubscript(std::unique_ptr<Expr> subject) {
        Nest nest(*this);
        const Token t = next();
        if (t.text == ".") {
            const Token attr = next();
            if (attr.type == Tok::name) {
                auto n = node(ExprKind::getattr, t.line);
                n->items.push_back(std::move(subject));
                n->name = attr.text;
                return n;
            }
            if (attr.type != Tok::integer) fail(attr.line, "expected name or number");
            auto n = node(ExprKind::getitem, t.line);
            n->items.push_back(std::move(subject));
            auto key = node(ExprKind::constant, attr.line);
            key->constant = Value::fromInt(attr.integer);
            n->items.push_back(std::move(key));
            return n;
        }
        std::vector<std::unique_ptr<Expr>> args;
        while (!isOp("]")) {
            if (!args.empty()) expectOp(",");
            args.push_back(parseSubscribed());
        }
        expectOp("]");
        auto n = node(ExprKind::getitem, t.line);
        n->items.push_back(std::move(subject));
        if (args.size() == 1) {
            n->items.push_back(std::move(args[0]));
        } else {
            auto tuple = node(ExprKind::tuple, t.line);
            tuple->items = std::move(args);
            n->items.push_back(std::move(tuple));
        }
        return n;
    }

    std::unique_ptr<Expr> parseSubscribed() {
        const std::uint32_t line = cur().line;
        std::vector<std::unique_ptr<Expr>> parts;
        if (skipOp(":")) {
            parts.push_back(nullptr);
        } else {
            auto e = parseExpression(true);
            if (!skipOp(":")) return e;
            parts.push_back(std::move(e));
        }
        if (isOp(":") || isOp("]") || isOp(",")) {
            parts.push_back(nullptr);
        } else {
            parts.push_back(parseExpression(true));
        }
        if (skipOp(":")) {
            if (isOp("]") || isOp(",")) {
                parts.push_back(nullptr);
            } else {
                parts.push_back(parseExpression(true));
            }
        } else {
            parts.push_back(nullptr);
        }
        auto n = node(ExprKind::slice, line);
        n->items = std::move(parts);
        return n;
    }

    void parseCallArgs(Expr& n) {
        expectOp("(");
        bool require_comma = false;
        while (!isOp(")")) {
            if (require_comma) {
                expectOp(",");
                if (isOp(")")) break;
            }
            if (isOp("*") || isOp("**"))
                fail(cur().line, "'*' and '**' arguments are not supported");
            if (cur().type == Tok::name && look().type == Tok::op && look().text == "=") {
                const std::string key = next().text;
                next();
                n.kwargs.emplace_back(key, parseExpression(true));
            } else {
                if (!n.kwargs.empty()) fail(cur().line, "invalid argument syntax");
                n.items.push_back(parseExpression(true));
            }
            require_comma = true;
        }
        next();
    }

    std::unique_ptr<Expr> parseCall(std::unique_ptr<Expr> callee) {
        Nest nest(*this);
        auto n = node(ExprKind::call, cur().line);
        n->items.push_back(std::move(callee));
        parseCallArgs(*n);
        return n;
    }

    std::unique_ptr<Expr> parseFilter(std::unique_ptr<Expr> subject) {
        Nest nest(*this);
        while (skipOp("|")) {
            const std::uint32_t line = cur().line;
            std::string name = expectName();
            while (skipOp(".")) {
                name.push_back('.');
                name += expectName();
            }
            if (kFilters.count(name) == 0) {
                if (kOtherFilters.count(name) != 0) {
                    fail(line, "filter " + describe(name) + " is not supported");
                }
                fail(line, "no filter named " + describe(name));
            }
            auto n = node(ExprKind::filter, line);
            n->name = name;
            n->items.push_back(std::move(subject));
            if (isOp("(")) parseCallArgs(*n);
            subject = std::move(n);
        }
        return subject;
    }

    std::unique_ptr<Expr> parseTest(std::unique_ptr<Expr> subject) {
        Nest nest(*this);
        const std::uint32_t line = next().line;
        const bool negated = skipName("not");
        std::string name = expectName();
        while (skipOp(".")) {
            name.push_back('.');
            name += expectName();
        }
        if (kTests.count(name) == 0) {
            if (kOtherTests.count(name) != 0) {
                fail(line, "test " + describe(name) + " is not supported");
            }
            fail(line, "no test named " + describe(name));
        }
        auto n = node(ExprKind::test, line);
        n->name = name;
        n->negated = negated;
        n->items.push_back(std::move(subject));
        if (isOp("(")) {
            parseCallArgs(*n);
        } else if ((cur().type == Tok::name || cur().type == Tok::string ||
                    cur().type == Tok::integer || cur().type == Tok::floating || isOp("(") ||
                    isOp("[") || isOp("{")) &&
                   !isName("else") && !isName("or") && !isName("and")) {
            if (isName("is")) fail(cur().line, "you cannot chain multiple tests with is");
            n->items.push_back(parsePostfix(parsePrimary()));
        }
        return n;
    }

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    int loop_depth_ = 0;
    std::vector<Stmt*> macros_;
};

}  // namespace

std::unique_ptr<TemplateProgram> parseTemplate(std::string_view source, std::string_view name) {
    const std::string prefix = std::string(name) + ": line ";
    if (const auto bad = invalidUtf8At(source)) {
        const auto line = 1 + std::count(source.begin(),
                                         source.begin() + static_cast<std::ptrdiff_t>(*bad), '\n');
        throw std::invalid_argument(prefix + std::to_string(line) + ": invalid UTF-8");
    }
    try {
        const std::string text = normalizeNewlines(source);
        std::vector<Token> tokens = Lexer(text).run();
        auto program = std::make_unique<TemplateProgram>();
        program->body = Parser(std::move(tokens)).parseTemplate();
        return program;
    } catch (const SyntaxError& e) {
        throw std::invalid_argument(prefix + std::to_string(e.line()) + ": " + e.what());
    }
}

}  // namespace Nuvexis::Core::Tarvel::detail::chat

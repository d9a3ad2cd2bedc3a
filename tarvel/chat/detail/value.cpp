#include "tarvel/chat/detail/value.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

#include "tarvel/chat/detail/python_text.hpp"

namespace Nuvexis::Core::Tarvel::detail::chat {
namespace {

thread_local WorkBudget* current_budget = nullptr;

std::uint32_t childDepth(const std::vector<Value>& items) {
    std::uint32_t depth = 0;
    for (const Value& v : items) depth = std::max(depth, v.depth());
    return depth;
}

void requireDepth(std::uint32_t depth) {
    if (depth > kMaxValueDepth) {
        throw ValueError("values nest deeper than " + std::to_string(kMaxValueDepth) + " levels");
    }
}

// Python's hash equality for dict keys: equal values are the same key; lists and dicts have no
// hash.
void requireHashable(const Value& key) {
    chargeSteps(1);
    if (key.kind == ValueKind::sequence && key.sequence->kind != SequenceKind::tuple &&
        key.sequence->kind != SequenceKind::range) {
        throw ValueError("unhashable type: '" + typeName(key) + "'");
    }
    if (key.kind == ValueKind::mapping || key.kind == ValueKind::ns) {
        throw ValueError("unhashable type: '" + typeName(key) + "'");
    }
    if (key.kind == ValueKind::sequence) {
        for (const Value& item : key.sequence->items) requireHashable(item);
    }
}

std::string joinRepr(const std::vector<Value>& items, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < items.size(); ++i) {
        if (i > from) out += ", ";
        out += pyRepr(items[i]);
        checkTextBytes(out.size());
    }
    return out;
}

void appendJsonString(std::string& out, std::string_view text, bool ensure_ascii) {
    out.push_back('"');
    char buffer[16];
    const auto escape = [&](unsigned long c) {
        std::snprintf(buffer, sizeof buffer, "\\u%04lx", c);
        out += buffer;
    };
    for (char32_t c : decodeUtf8(text)) {
        switch (c) {
            case U'"':
                out += "\\\"";
                break;
            case U'\\':
                out += "\\\\";
                break;
            case U'\n':
                out += "\\n";
                break;
            case U'\r':
                out += "\\r";
                break;
            case U'\t':
                out += "\\t";
                break;
            case U'\b':
                out += "\\b";
                break;
            case U'\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20) {
                    escape(c);
                } else if (ensure_ascii && c > 0x7E) {
                    if (c >= 0x10000) {
                        const char32_t v = c - 0x10000;
                        escape(0xD800 + (v >> 10));
                        escape(0xDC00 + (v & 0x3FF));
                    } else {
                        escape(c);
                    }
                } else {
                    appendUtf8(out, c);
                }
        }
    }
    out.push_back('"');
}

std::string jsonFloat(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
    return pythonFloatRepr(d);
}

void appendJson(std::string& out, const Value& v, const JsonOptions& options, std::size_t level) {
    chargeSteps(1 + out.size() / 4096);
    checkTextBytes(out.size());
    const auto newline = [&](std::size_t at) {
        out.push_back('\n');
        for (std::size_t i = 0; i < at; ++i) out += *options.indent;
    };
    switch (v.kind) {
        case ValueKind::none:
            out += "null";
            return;
        case ValueKind::boolean:
            out += v.boolean ? "true" : "false";
            return;
        case ValueKind::integer:
            out += std::to_string(v.integer);
            return;
        case ValueKind::floating:
            out += jsonFloat(v.number);
            return;
        case ValueKind::string:
            appendJsonString(out, v.str(), options.ensure_ascii);
            return;
        case ValueKind::sequence: {
            const Sequence& s = *v.sequence;
            if (s.kind != SequenceKind::list && s.kind != SequenceKind::tuple) break;
            if (s.items.empty()) {
                out += "[]";
                return;
            }
            out.push_back('[');
            if (options.indent) newline(level + 1);
            for (std::size_t i = 0; i < s.items.size(); ++i) {
                if (i > 0) {
                    out += options.item_separator;
                    if (options.indent) newline(level + 1);
                }
                appendJson(out, s.items[i], options, level + 1);
            }
            if (options.indent) newline(level);
            out.push_back(']');
            return;
        }
        case ValueKind::mapping: {
            const Mapping& m = *v.mapping;
            if (m.items.empty()) {
                out += "{}";
                return;
            }
            std::vector<const std::pair<Value, Value>*> items;
            for (const auto& item : m.items) items.push_back(&item);
            if (options.sort_keys) {
                std::stable_sort(items.begin(), items.end(), [](const auto* a, const auto* b) {
                    return pyOrder(a->first, b->first, "<");
                });
            }
            out.push_back('{');
            if (options.indent) newline(level + 1);
            bool first = true;
            for (const auto* item : items) {
                if (!first) {
                    out += options.item_separator;
                    if (options.indent) newline(level + 1);
                }
                first = false;
                const Value& key = item->first;
                switch (key.kind) {
                    case ValueKind::string:
                        appendJsonString(out, key.str(), options.ensure_ascii);
                        break;
                    case ValueKind::integer:
                        out += '"' + std::to_string(key.integer) + '"';
                        break;
                    case ValueKind::boolean:
                        out += key.boolean ? "\"true\"" : "\"false\"";
                        break;
                    case ValueKind::none:
                        out += "\"null\"";
                        break;
                    case ValueKind::floating:
                        out += '"' + jsonFloat(key.number) + '"';
                        break;
                    default:
                        throw ValueError("keys must be str, int, float, bool or None, not " +
                                         typeName(key));
                }
                out += options.key_separator;
                appendJson(out, item->second, options, level + 1);
            }
            if (options.indent) newline(level);
            out.push_back('}');
            return;
        }
        default:
            break;
    }
    throw ValueError("Object of type " + typeName(v) + " is not JSON serializable");
}

Value fromJsonNode(const nlohmann::ordered_json& node, std::uint32_t level,
                   std::string_view context) {
    if (level > 256) {
        throw std::invalid_argument(std::string(context) + ": JSON nests deeper than 256 levels");
    }
    switch (node.type()) {
        case nlohmann::ordered_json::value_t::null:
            return Value::none();
        case nlohmann::ordered_json::value_t::boolean:
            return Value::fromBool(node.get<bool>());
        case nlohmann::ordered_json::value_t::number_integer:
            return Value::fromInt(node.get<std::int64_t>());
        case nlohmann::ordered_json::value_t::number_unsigned: {
            const auto u = node.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throw std::invalid_argument(std::string(context) + ": integer " +
                                            std::to_string(u) + " does not fit in 64 bits");
            }
            return Value::fromInt(static_cast<std::int64_t>(u));
        }
        case nlohmann::ordered_json::value_t::number_float:
            return Value::fromFloat(node.get<double>());
        case nlohmann::ordered_json::value_t::string:
            return Value::fromString(node.get<std::string>());
        case nlohmann::ordered_json::value_t::array: {
            std::vector<Value> items;
            items.reserve(node.size());
            for (const auto& item : node) items.push_back(fromJsonNode(item, level + 1, context));
            return Value::fromSequence(std::move(items), SequenceKind::list);
        }
        case nlohmann::ordered_json::value_t::object: {
            auto mapping = std::make_shared<Mapping>();
            for (const auto& [key, item] : node.items()) {
                mapping->set(Value::fromString(key), fromJsonNode(item, level + 1, context));
            }
            return Value::fromMapping(std::move(mapping));
        }
        default:
            break;
    }
    throw std::invalid_argument(std::string(context) + ": unsupported JSON value");
}

}  // namespace

WorkBudgetScope::WorkBudgetScope(WorkBudget& budget) : saved_(current_budget) {
    current_budget = &budget;
}

WorkBudgetScope::~WorkBudgetScope() {
    current_budget = saved_;
}

void chargeSteps(std::uint64_t n) {
    WorkBudget* b = current_budget;
    if (b == nullptr) return;
    if (n > b->max_steps - b->steps) {
        b->steps = b->max_steps;
        throw ValueLimit("rendering takes more than " + std::to_string(b->max_steps) + " steps");
    }
    b->steps += n;
}

void checkTextBytes(std::uint64_t bytes) {
    const WorkBudget* b = current_budget;
    if (b != nullptr && bytes > b->max_text_bytes) {
        throw ValueLimit("text exceeds " + std::to_string(b->max_text_bytes) + " bytes");
    }
}

Value Value::undefined(std::string hint) {
    Value v;
    v.text = std::make_shared<const std::string>(std::move(hint));
    return v;
}

Value Value::none() {
    Value v;
    v.kind = ValueKind::none;
    return v;
}

Value Value::fromBool(bool b) {
    Value v;
    v.kind = ValueKind::boolean;
    v.boolean = b;
    return v;
}

Value Value::fromInt(std::int64_t i) {
    Value v;
    v.kind = ValueKind::integer;
    v.integer = i;
    return v;
}

Value Value::fromFloat(double d) {
    Value v;
    v.kind = ValueKind::floating;
    v.number = d;
    return v;
}

Value Value::fromString(std::string s, bool markup) {
    Value v;
    v.kind = ValueKind::string;
    v.markup = markup;
    v.text = std::make_shared<const std::string>(std::move(s));
    return v;
}

Value Value::fromSequence(std::vector<Value> items, SequenceKind kind) {
    auto s = std::make_shared<Sequence>();
    s->depth = 1 + childDepth(items);
    requireDepth(s->depth);
    s->items = std::move(items);
    s->kind = kind;
    Value v;
    v.kind = ValueKind::sequence;
    v.sequence = std::move(s);
    return v;
}

Value Value::fromMapping(std::shared_ptr<const Mapping> mapping) {
    requireDepth(mapping->depth);
    Value v;
    v.kind = ValueKind::mapping;
    v.mapping = std::move(mapping);
    return v;
}

std::uint32_t Value::depth() const noexcept {
    switch (kind) {
        case ValueKind::sequence:
            return sequence->depth;
        case ValueKind::mapping:
            return mapping->depth;
        case ValueKind::ns:
            return kNamespaceDepth + 1;
        default:
            return 0;
    }
}

const Value* Mapping::find(const Value& key) const {
    if (key.isString()) {
        const auto it = string_keys.find(key.str());
        return it == string_keys.end() ? nullptr : &items[it->second].second;
    }
    requireHashable(key);
    for (const auto& [k, v] : items) {
        if (!k.isString() && pyEquals(k, key)) return &v;
    }
    return nullptr;
}

void Mapping::set(Value key, Value value) {
    depth = std::max(depth, 1 + std::max(key.depth(), value.depth()));
    if (key.isString()) {
        const auto it = string_keys.find(key.str());
        if (it != string_keys.end()) {
            items[it->second].second = std::move(value);
            return;
        }
        string_keys.emplace(key.str(), items.size());
        items.emplace_back(std::move(key), std::move(value));
        return;
    }
    requireHashable(key);
    for (auto& [k, v] : items) {
        if (!k.isString() && pyEquals(k, key)) {
            v = std::move(value);
            return;
        }
    }
    items.emplace_back(std::move(key), std::move(value));
}

const Value* Namespace::find(std::string_view name) const {
    for (const auto& [k, v] : attributes) {
        if (k == name) return &v;
    }
    return nullptr;
}

void Namespace::set(const std::string& name, Value value) {
    for (auto& [k, v] : attributes) {
        if (k == name) {
            v = std::move(value);
            return;
        }
    }
    attributes.emplace_back(name, std::move(value));
}

bool truthy(const Value& v) {
    switch (v.kind) {
        case ValueKind::undefined:
        case ValueKind::none:
            return false;
        case ValueKind::boolean:
            return v.boolean;
        case ValueKind::integer:
            return v.integer != 0;
        case ValueKind::floating:
            return v.number != 0.0;
        case ValueKind::string:
            return !v.str().empty();
        case ValueKind::sequence:
            // A generator is an object, true whatever it holds.
            return v.sequence->kind == SequenceKind::generator || !v.sequence->items.empty();
        case ValueKind::mapping:
            return !v.mapping->items.empty();
        default:
            return true;
    }
}

bool pyEquals(const Value& a, const Value& b) {
    chargeSteps(1);
    if (a.isNumber() && b.isNumber()) {
        if (a.isIntegral() && b.isIntegral()) return a.asInt() == b.asInt();
        if (a.isIntegral() || b.isIntegral()) {
            // Exact comparison of an int with a double, as Python makes it.
            const double d = a.isIntegral() ? b.number : a.number;
            const std::int64_t i = a.isIntegral() ? a.asInt() : b.asInt();
            if (!std::isfinite(d) || d != std::trunc(d)) return false;
            if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
            return static_cast<std::int64_t>(d) == i;
        }
        return a.number == b.number;
    }
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case ValueKind::undefined:
        case ValueKind::none:
            return true;
        case ValueKind::string:
            return a.str() == b.str();
        case ValueKind::sequence: {
            // Python compares the items of containers by identity first, so a container
            // equals itself even when it holds NaN.
            if (a.sequence == b.sequence) return true;
            const Sequence& x = *a.sequence;
            const Sequence& y = *b.sequence;
            if (x.kind == SequenceKind::generator || y.kind == SequenceKind::generator ||
                x.kind == SequenceKind::view || y.kind == SequenceKind::view) {
                return a.sequence == b.sequence;
            }
            if (x.kind != y.kind || x.items.size() != y.items.size()) return false;
            for (std::size_t i = 0; i < x.items.size(); ++i) {
                if (!pyEquals(x.items[i], y.items[i])) return false;
            }
            return true;
        }
        case ValueKind::mapping: {
            if (a.mapping == b.mapping) return true;
            const Mapping& x = *a.mapping;
            const Mapping& y = *b.mapping;
            if (x.items.size() != y.items.size()) return false;
            for (const auto& [k, v] : x.items) {
                const Value* other = y.find(k);
                if (other == nullptr || !pyEquals(v, *other)) return false;
            }
            return true;
        }
        case ValueKind::ns:
            return a.ns == b.ns;
        case ValueKind::callable:
            return a.callable == b.callable;
        case ValueKind::loop:
            return a.loop == b.loop;
        default:
            return false;
    }
}

bool pyOrder(const Value& a, const Value& b, std::string_view op) {
    chargeSteps(1);
    const auto decide = [&](auto x, auto y) {
        if (op == "<") return x < y;
        if (op == "<=") return x <= y;
        if (op == ">") return x > y;
        return x >= y;
    };
    if (a.isNumber() && b.isNumber()) {
        if (a.isIntegral() && b.isIntegral()) return decide(a.asInt(), b.asInt());
        return decide(a.asDouble(), b.asDouble());
    }
    if (a.isString() && b.isString()) return decide(a.str().compare(b.str()), 0);
    if (a.kind == ValueKind::sequence && b.kind == ValueKind::sequence &&
        a.sequence->kind == b.sequence->kind &&
        (a.sequence->kind == SequenceKind::list || a.sequence->kind == SequenceKind::tuple)) {
        const auto& x = a.sequence->items;
        const auto& y = b.sequence->items;
        for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
            if (!pyEquals(x[i], y[i])) return pyOrder(x[i], y[i], op);
        }
        return decide(x.size(), y.size());
    }
    throw ValueError("'" + std::string(op) + "' not supported between instances of '" +
                     typeName(a) + "' and '" + typeName(b) + "'");
}

std::string typeName(const Value& v) {
    switch (v.kind) {
        case ValueKind::undefined:
            return "Undefined";
        case ValueKind::none:
            return "NoneType";
        case ValueKind::boolean:
            return "bool";
        case ValueKind::integer:
            return "int";
        case ValueKind::floating:
            return "float";
        case ValueKind::string:
            return v.markup ? "Markup" : "str";
        case ValueKind::sequence:
            switch (v.sequence->kind) {
                case SequenceKind::list:
                    return "list";
                case SequenceKind::tuple:
                    return "tuple";
                case SequenceKind::generator:
                    return "generator";
                case SequenceKind::view:
                    return v.sequence->view_name;
                case SequenceKind::range:
                    return "range";
            }
            return "list";
        case ValueKind::mapping:
            return "dict";
        case ValueKind::ns:
            return "Namespace";
        case ValueKind::callable:
            switch (v.callable->kind) {
                case CallableKind::macro:
                    return "Macro";
                case CallableKind::method:
                    return "builtin_function_or_method";
                case CallableKind::builtin:
                    return "function";
            }
            return "function";
        case ValueKind::loop:
            return "LoopContext";
    }
    return "object";
}

std::string pyStr(const Value& v) {
    switch (v.kind) {
        case ValueKind::undefined:
            return "";
        case ValueKind::string:
            return v.str();
        default:
            return pyRepr(v);
    }
}

std::string pyRepr(const Value& v) {
    chargeSteps(1);
    switch (v.kind) {
        case ValueKind::undefined:
            return "Undefined";
        case ValueKind::none:
            return "None";
        case ValueKind::boolean:
            return v.boolean ? "True" : "False";
        case ValueKind::integer:
            return std::to_string(v.integer);
        case ValueKind::floating:
            return pythonFloatRepr(v.number);
        case ValueKind::string:
            return v.markup ? "Markup(" + pythonStringRepr(v.str()) + ")"
                            : pythonStringRepr(v.str());
        case ValueKind::sequence: {
            const Sequence& s = *v.sequence;
            switch (s.kind) {
                case SequenceKind::list:
                    return "[" + joinRepr(s.items, 0) + "]";
                case SequenceKind::tuple:
                    return "(" + joinRepr(s.items, 0) + (s.items.size() == 1 ? ",)" : ")");
                case SequenceKind::view:
                    return std::string(s.view_name) + "([" + joinRepr(s.items, 0) + "])";
                case SequenceKind::range:
                    return "range(" + std::to_string(s.range_start) + ", " +
                           std::to_string(s.range_stop) +
                           (s.range_step == 1 ? "" : ", " + std::to_string(s.range_step)) + ")";
                default:
                    break;
            }
            throw ValueError("a " + typeName(v) + " has no text");
        }
        case ValueKind::mapping: {
            std::string out = "{";
            bool first = true;
            for (const auto& [k, item] : v.mapping->items) {
                if (!first) out += ", ";
                first = false;
                out += pyRepr(k) + ": " + pyRepr(item);
                checkTextBytes(out.size());
            }
            return out + "}";
        }
        case ValueKind::ns: {
            std::string out = "<Namespace {";
            bool first = true;
            for (const auto& [k, item] : v.ns->attributes) {
                if (!first) out += ", ";
                first = false;
                out += pythonStringRepr(k) + ": " + pyRepr(item);
                checkTextBytes(out.size());
            }
            return out + "}>";
        }
        case ValueKind::callable:
            if (v.callable->kind == CallableKind::macro) {
                return "<Macro " + pythonStringRepr(v.callable->name) + ">";
            }
            throw ValueError("a function has no text");
        case ValueKind::loop:
            return "<LoopContext " + std::to_string(v.loop->index0 + 1) + "/" +
                   std::to_string(v.loop->items->items.size()) + ">";
    }
    return "";
}

std::string toJson(const Value& v, const JsonOptions& options) {
    std::string out;
    appendJson(out, v, options, 0);
    return out;
}

Value valueFromJson(std::string_view json, std::string_view context) {
    const nlohmann::ordered_json node =
        nlohmann::ordered_json::parse(json.begin(), json.end(), nullptr, false);
    if (node.is_discarded()) {
        throw std::invalid_argument(std::string(context) + ": not well-formed JSON");
    }
    return fromJsonNode(node, 0, context);
}

}  // namespace Nuvexis::Core::Tarvel::detail::chat

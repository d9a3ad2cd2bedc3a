// Evaluation of a parsed template with Jinja2's semantics as chat templates are rendered by the
// reference library: an immutable sandbox (lists and dicts cannot be changed), the default
// Undefined, trim_blocks and lstrip_blocks (applied by the lexer), break and continue,
// raise_exception, strftime_now and json.dumps as tojson.
#include "tarvel/chat/detail/renderer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "tarvel/chat/detail/python_text.hpp"

namespace Nuvexis::Core::Tarvel::detail::chat {

struct Scope {
    std::shared_ptr<Scope> parent;
    std::unordered_map<std::string, Value> vars;

    const Value* find(const std::string& name) const {
        for (const Scope* s = this; s != nullptr; s = s->parent.get()) {
            const auto it = s->vars.find(name);
            if (it != s->vars.end()) return &it->second;
        }
        return nullptr;
    }
};

namespace {

using ScopePtr = std::shared_ptr<Scope>;

// Macro calls nest at most this deep (Python's own recursion limit stops Jinja2 near here).
constexpr int kMaxCallDepth = 100;
// The sandbox's bound on range().
constexpr std::int64_t kMaxRange = 100000;

struct Failure {
    ChatTemplateErrorKind kind;
    std::uint32_t line;
    std::string message;
};

[[noreturn]] void fail(std::uint32_t line, std::string message,
                       ChatTemplateErrorKind kind = ChatTemplateErrorKind::failed) {
    throw Failure{kind, line, std::move(message)};
}

enum class Flow : std::uint8_t { normal, break_, continue_ };

struct Args {
    std::vector<Value> positional;
    std::vector<std::pair<std::string, Value>> keywords;
};

std::string quoted(std::string_view s) {
    return "'" + std::string(s) + "'";
}

const std::set<std::string, std::less<>> kStringMethods = {
    "capitalize",   "casefold",    "center",    "count",      "encode",       "endswith",
    "expandtabs",   "find",        "format",    "format_map", "index",        "isalnum",
    "isalpha",      "isascii",     "isdecimal", "isdigit",    "isidentifier", "islower",
    "isnumeric",    "isprintable", "isspace",   "istitle",    "isupper",      "join",
    "ljust",        "lower",       "lstrip",    "maketrans",  "partition",    "removeprefix",
    "removesuffix", "replace",     "rfind",     "rindex",     "rjust",        "rpartition",
    "rsplit",       "rstrip",      "split",     "splitlines", "startswith",   "strip",
    "swapcase",     "title",       "translate", "upper",      "zfill"};
const std::set<std::string, std::less<>> kDictMethods = {
    "clear", "copy",    "fromkeys",   "get",    "items", "keys",
    "pop",   "popitem", "setdefault", "update", "values"};
const std::set<std::string, std::less<>> kDictChanging = {"clear", "pop", "popitem", "setdefault",
                                                          "update"};
const std::set<std::string, std::less<>> kListMethods = {"append", "clear",   "copy",   "count",
                                                         "extend", "index",   "insert", "pop",
                                                         "remove", "reverse", "sort"};
const std::set<std::string, std::less<>> kListChanging = {"append", "clear",  "extend",  "insert",
                                                          "pop",    "remove", "reverse", "sort"};

Value method(const Value& receiver, const std::string& name) {
    auto c = std::make_shared<Callable>();
    c->kind = CallableKind::method;
    c->name = name;
    c->receiver = receiver;
    Value v;
    v.kind = ValueKind::callable;
    v.callable = std::move(c);
    return v;
}

Value builtin(const std::string& name) {
    auto c = std::make_shared<Callable>();
    c->kind = CallableKind::builtin;
    c->name = name;
    Value v;
    v.kind = ValueKind::callable;
    v.callable = std::move(c);
    return v;
}

// Python's floor division and modulo of doubles (float_floor_div and float_rem).
double floatMod(double vx, double wx) {
    double mod = std::fmod(vx, wx);
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) mod += wx;
    } else {
        mod = std::copysign(0.0, wx);
    }
    return mod;
}

double floatFloorDiv(double vx, double wx) {
    double mod = std::fmod(vx, wx);
    double div = (vx - mod) / wx;
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) div -= 1.0;
    }
    double floordiv = 0.0;
    if (div != 0.0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, vx / wx);
    }
    return floordiv;
}

std::string htmlEscape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&#34;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

// Days since 1970-01-01 of a civil date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

class Renderer {
  public:
    explicit Renderer(const ChatRenderOptions& options) : options_(options) {}

    std::string run(const TemplateProgram& program, const Mapping& variables) {
        auto globals = std::make_shared<Scope>();
        for (const char* f : {"raise_exception", "strftime_now", "namespace", "range", "dict",
                              "lipsum", "cycler", "joiner"}) {
            globals->vars.emplace(f, builtin(f));
        }
        auto root = std::make_shared<Scope>();
        root->parent = globals;
        for (const auto& [key, value] : variables.items) {
            root->vars.insert_or_assign(key.str(), value);
        }
        std::string out;
        out_ = &out;
        WorkBudget budget;
        budget.max_steps = options_.max_steps;
        budget.max_text_bytes = options_.max_output_bytes;
        const WorkBudgetScope charged(budget);
        try {
            exec(program.body, root);
        } catch (const ValueLimit& e) {
            fail(line_, e.what(), ChatTemplateErrorKind::limit);
        } catch (const std::domain_error& e) {
            fail(line_, e.what());
        }
        return out;
    }

  private:
    // ---- bounds ----

    void step(std::uint64_t n = 1) {
        try {
            chargeSteps(n);
        } catch (const ValueLimit& e) {
            fail(line_, e.what(), ChatTemplateErrorKind::limit);
        }
    }

    void checkText(std::uint64_t bytes) {
        if (bytes > options_.max_output_bytes) {
            fail(line_, "text exceeds " + std::to_string(options_.max_output_bytes) + " bytes",
                 ChatTemplateErrorKind::limit);
        }
        step(bytes / 64);
    }

    void write(std::string_view text) {
        if (out_->size() + text.size() > options_.max_output_bytes) {
            fail(line_, "output exceeds " + std::to_string(options_.max_output_bytes) + " bytes",
                 ChatTemplateErrorKind::limit);
        }
        step(text.size() / 64);
        out_->append(text);
    }

    Value text(std::string s, bool markup = false) {
        checkText(s.size());
        return Value::fromString(std::move(s), markup);
    }

    Value sequence(std::vector<Value> items, SequenceKind kind) {
        step(items.size() / 64);
        return Value::fromSequence(std::move(items), kind);
    }

    [[noreturn]] void undefinedError(const Value& v) { fail(line_, v.str()); }

    // ---- statements ----

    Flow exec(const std::vector<Stmt>& body, const ScopePtr& scope) {
        for (const Stmt& s : body) {
            line_ = s.line;
            switch (s.kind) {
                case StmtKind::text:
                    write(s.text);
                    break;
                case StmtKind::output: {
                    const Value v = eval(*s.expr, scope);
                    line_ = s.line;
                    write(str(v));
                    break;
                }
                case StmtKind::if_: {
                    const std::vector<Stmt>* chosen = &s.else_body;
                    for (const auto& [test, branch] : s.branches) {
                        if (truthy(eval(*test, scope))) {
                            chosen = &branch;
                            break;
                        }
                    }
                    const Flow flow = exec(*chosen, scope);
                    if (flow != Flow::normal) return flow;
                    break;
                }
                case StmtKind::for_:
                    execFor(s, scope);
                    break;
                case StmtKind::set:
                    assign(s.target, eval(*s.expr, scope), scope, s.line);
                    break;
                case StmtKind::set_block: {
                    auto inner = std::make_shared<Scope>();
                    inner->parent = scope;
                    Value v = text(capture(s.body, inner));
                    if (s.filter) v = applyFilterChain(*s.filter, v, scope);
                    assign(s.target, v, scope, s.line);
                    break;
                }
                case StmtKind::macro: {
                    auto c = std::make_shared<Callable>();
                    c->kind = CallableKind::macro;
                    c->name = s.name;
                    c->macro = &s;
                    c->scope = scope;
                    Value v;
                    v.kind = ValueKind::callable;
                    v.callable = std::move(c);
                    scope->vars.insert_or_assign(s.name, std::move(v));
                    break;
                }
                case StmtKind::break_:
                    return Flow::break_;
                case StmtKind::continue_:
                    return Flow::continue_;
                case StmtKind::generation: {
                    auto inner = std::make_shared<Scope>();
                    inner->parent = scope;
                    exec(s.body, inner);
                    break;
                }
            }
        }
        return Flow::normal;
    }

    std::string capture(const std::vector<Stmt>& body, const ScopePtr& scope) {
        std::string buffer;
        std::string* saved = out_;
        out_ = &buffer;
        try {
            exec(body, scope);
        } catch (...) {
            out_ = saved;
            throw;
        }
        out_ = saved;
        return buffer;
    }

    void execFor(const Stmt& s, const ScopePtr& scope) {
        std::vector<Value> items = iterate(eval(*s.expr, scope));
        if (s.filter) {
            std::vector<Value> kept;
            for (Value& item : items) {
                auto probe = std::make_shared<Scope>();
                probe->parent = scope;
                bind(s.target, item, *probe, s.line);
                step();
                if (truthy(eval(*s.filter, probe))) kept.push_back(std::move(item));
            }
            items = std::move(kept);
        }
        if (items.empty()) {
            auto inner = std::make_shared<Scope>();
            inner->parent = scope;
            exec(s.else_body, inner);
            return;
        }
        auto state = std::make_shared<LoopState>();
        auto all = std::make_shared<Sequence>();
        all->items = std::move(items);
        state->items = all;
        Value loop;
        loop.kind = ValueKind::loop;
        loop.loop = state;
        for (std::size_t i = 0; i < all->items.size(); ++i) {
            step();
            state->index0 = i;
            auto inner = std::make_shared<Scope>();
            inner->parent = scope;
            bind(s.target, all->items[i], *inner, s.line);
            inner->vars.insert_or_assign("loop", loop);
            if (exec(s.body, inner) == Flow::break_) break;
        }
    }

    std::vector<Value> unpack(const Value& v, std::size_t count, std::uint32_t line) {
        std::vector<Value> parts = iterate(v);
        if (parts.size() < count) {
            fail(line, "not enough values to unpack (expected " + std::to_string(count) + ", got " +
                           std::to_string(parts.size()) + ")");
        }
        if (parts.size() > count) {
            fail(line, "too many values to unpack (expected " + std::to_string(count) + ")");
        }
        return parts;
    }

    void bind(const Target& t, const Value& v, Scope& scope, std::uint32_t line) {
        if (!t.unpack) {
            scope.vars.insert_or_assign(t.names[0], v);
            return;
        }
        std::vector<Value> parts = unpack(v, t.names.size(), line);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            scope.vars.insert_or_assign(t.names[i], std::move(parts[i]));
        }
    }

    // A namespace must not reach itself (that would never be freed) nor hold values deeper
    // than half the nesting bound.
    // Lists may share parts, so each container is visited once.
    static bool reaches(const Value& v, const Namespace* target,
                        std::unordered_set<const void*>& seen) {
        const auto visit = [&](const void* p) { return seen.insert(p).second; };
        switch (v.kind) {
            case ValueKind::ns:
                if (v.ns.get() == target) return true;
                if (!visit(v.ns.get())) return false;
                for (const auto& [k, item] : v.ns->attributes) {
                    if (reaches(item, target, seen)) return true;
                }
                return false;
            case ValueKind::sequence:
                if (!visit(v.sequence.get())) return false;
                for (const Value& item : v.sequence->items) {
                    if (reaches(item, target, seen)) return true;
                }
                return false;
            case ValueKind::mapping:
                if (!visit(v.mapping.get())) return false;
                for (const auto& [k, item] : v.mapping->items) {
                    if (reaches(item, target, seen)) return true;
                }
                return false;
            case ValueKind::callable:
                return v.callable->kind == CallableKind::method &&
                       reaches(v.callable->receiver, target, seen);
            case ValueKind::loop:
                if (!visit(v.loop.get())) return false;
                for (const Value& item : v.loop->items->items) {
                    if (reaches(item, target, seen)) return true;
                }
                return false;
            default:
                return false;
        }
    }

    void assign(const Target& t, const Value& v, const ScopePtr& scope, std::uint32_t line) {
        if (t.attribute.empty()) {
            bind(t, v, *scope, line);
            return;
        }
        const Value* holder = scope->find(t.names[0]);
        if (holder == nullptr || holder->kind != ValueKind::ns) {
            fail(line, "cannot assign attribute on non-namespace object");
        }
        std::unordered_set<const void*> seen;
        if (reaches(v, holder->ns.get(), seen)) fail(line, "a namespace cannot hold itself");
        if (v.depth() > kNamespaceDepth) {
            fail(line,
                 "a namespace holds values at most " + std::to_string(kNamespaceDepth) +
                     " levels deep",
                 ChatTemplateErrorKind::limit);
        }
        holder->ns->set(t.attribute, v);
    }

    // ---- expressions ----

    Value eval(const Expr& e, const ScopePtr& scope) {
        const std::uint32_t saved = line_;
        line_ = e.line;
        try {
            Value v = evalNode(e, scope);
            line_ = saved;
            return v;
        } catch (const ValueLimit& error) {
            fail(e.line, error.what(), ChatTemplateErrorKind::limit);
        } catch (const std::domain_error& error) {
            fail(e.line, error.what());
        }
    }

    Value evalNode(const Expr& e, const ScopePtr& scope) {
        switch (e.kind) {
            case ExprKind::constant:
                return e.constant;
            case ExprKind::name: {
                const Value* v = scope->find(e.name);
                return v != nullptr ? *v : Value::undefined(quoted(e.name) + " is undefined");
            }
            case ExprKind::list:
            case ExprKind::tuple: {
                std::vector<Value> items;
                for (const auto& item : e.items) items.push_back(eval(*item, scope));
                line_ = e.line;
                return sequence(std::move(items), e.kind == ExprKind::list ? SequenceKind::list
                                                                           : SequenceKind::tuple);
            }
            case ExprKind::dict: {
                auto m = std::make_shared<Mapping>();
                for (std::size_t i = 0; i + 1 < e.items.size(); i += 2) {
                    Value key = eval(*e.items[i], scope);
                    Value value = eval(*e.items[i + 1], scope);
                    line_ = e.line;
                    m->set(std::move(key), std::move(value));
                }
                return Value::fromMapping(std::move(m));
            }
            case ExprKind::getattr: {
                const Value subject = eval(*e.items[0], scope);
                line_ = e.line;
                return getattr(subject, e.name);
            }
            case ExprKind::getitem: {
                const Value subject = eval(*e.items[0], scope);
                if (e.items[1]->kind == ExprKind::slice) {
                    std::optional<Value> parts[3];
                    for (std::size_t i = 0; i < 3; ++i) {
                        if (e.items[1]->items[i]) parts[i] = eval(*e.items[1]->items[i], scope);
                    }
                    line_ = e.line;
                    return slice(subject, parts[0], parts[1], parts[2], isLiteral(*e.items[0]));
                }
                const Value key = eval(*e.items[1], scope);
                line_ = e.line;
                return getitem(subject, key);
            }
            case ExprKind::slice:
                fail(e.line, "a slice is only valid in a subscript");
            case ExprKind::call: {
                const Value callee = eval(*e.items[0], scope);
                Args args = evalArgs(e, 1, scope);
                line_ = e.line;
                return call(callee, args, scope);
            }
            case ExprKind::filter: {
                const Value subject = eval(*e.items[0], scope);
                Args args = evalArgs(e, 1, scope);
                line_ = e.line;
                return filter(e.name, subject, args, scope);
            }
            case ExprKind::test: {
                const Value subject = eval(*e.items[0], scope);
                Args args = evalArgs(e, 1, scope);
                line_ = e.line;
                const bool result = test(e.name, subject, args);
                return Value::fromBool(e.negated ? !result : result);
            }
            case ExprKind::not_:
                return Value::fromBool(!truthy(eval(*e.items[0], scope)));
            case ExprKind::negate:
            case ExprKind::plus: {
                const Value v = eval(*e.items[0], scope);
                line_ = e.line;
                if (v.isUndefined()) undefinedError(v);
                if (!v.isNumber()) {
                    fail(e.line, std::string("bad operand type for unary ") +
                                     (e.kind == ExprKind::negate ? "-" : "+") + ": " +
                                     quoted(typeName(v)));
                }
                if (e.kind == ExprKind::plus) {
                    return v.kind == ValueKind::floating ? v : Value::fromInt(v.asInt());
                }
                if (v.kind == ValueKind::floating) return Value::fromFloat(-v.number);
                if (v.asInt() == std::numeric_limits<std::int64_t>::min()) overflow();
                return Value::fromInt(-v.asInt());
            }
            case ExprKind::binary: {
                const Value a = eval(*e.items[0], scope);
                const Value b = eval(*e.items[1], scope);
                line_ = e.line;
                if (e.op == BinaryOp::pow && a.isNumber() && std::signbit(a.asDouble()) &&
                    isConstant(*e.items[0]) && !isConstant(*e.items[1])) {
                    // Jinja2 folds a constant base into a literal and writes `-2 ** x`, which
                    // Python reads as -(2 ** x).
                    const Value magnitude = a.kind == ValueKind::floating
                                                ? Value::fromFloat(-a.number)
                                                : Value::fromInt(-a.asInt());
                    const Value power = binary(e.op, magnitude, b);
                    return power.kind == ValueKind::floating ? Value::fromFloat(-power.number)
                                                             : Value::fromInt(-power.integer);
                }
                return binary(e.op, a, b);
            }
            case ExprKind::compare: {
                Value left = eval(*e.items[0], scope);
                for (std::size_t i = 0; i < e.compare_ops.size(); ++i) {
                    Value right = eval(*e.items[i + 1], scope);
                    line_ = e.line;
                    if (!compare(e.compare_ops[i], left, right)) return Value::fromBool(false);
                    left = std::move(right);
                }
                return Value::fromBool(true);
            }
            case ExprKind::and_: {
                Value left = eval(*e.items[0], scope);
                return truthy(left) ? eval(*e.items[1], scope) : left;
            }
            case ExprKind::or_: {
                Value left = eval(*e.items[0], scope);
                return truthy(left) ? left : eval(*e.items[1], scope);
            }
            case ExprKind::concat: {
                std::string out;
                for (const auto& item : e.items) {
                    const Value v = eval(*item, scope);
                    line_ = e.line;
                    out += str(v);
                    checkText(out.size());
                }
                return Value::fromString(std::move(out));
            }
            case ExprKind::condition: {
                if (truthy(eval(*e.items[1], scope))) return eval(*e.items[0], scope);
                if (e.items[2]) return eval(*e.items[2], scope);
                return Value::undefined("the inline if-expression on line " +
                                        std::to_string(e.line) +
                                        " evaluated to false and no else section was defined.");
            }
        }
        fail(e.line, "unknown expression");
    }

    Args evalArgs(const Expr& e, std::size_t from, const ScopePtr& scope) {
        Args args;
        for (std::size_t i = from; i < e.items.size(); ++i) {
            args.positional.push_back(eval(*e.items[i], scope));
        }
        for (const auto& [key, expr] : e.kwargs) {
            args.keywords.emplace_back(key, eval(*expr, scope));
        }
        return args;
    }

    std::string str(const Value& v) {
        if (v.kind == ValueKind::sequence && v.sequence->kind == SequenceKind::generator) {
            fail(line_, "cannot show a generator as text; convert it with |list");
        }
        std::string s = pyStr(v);
        checkText(s.size());
        return s;
    }

    [[noreturn]] void overflow() { fail(line_, "integer overflow: results must fit in 64 bits"); }

    // ---- attribute and item access ----

    Value loopAttribute(const LoopState& loop, const std::string& name, const Value& self) {
        const std::size_t length = loop.items->items.size();
        const auto i = static_cast<std::int64_t>(loop.index0);
        const auto n = static_cast<std::int64_t>(length);
        if (name == "index") return Value::fromInt(i + 1);
        if (name == "index0") return Value::fromInt(i);
        if (name == "revindex") return Value::fromInt(n - i);
        if (name == "revindex0") return Value::fromInt(n - i - 1);
        if (name == "first") return Value::fromBool(i == 0);
        if (name == "last") return Value::fromBool(i + 1 == n);
        if (name == "length") return Value::fromInt(n);
        if (name == "depth") return Value::fromInt(loop.depth0 + 1);
        if (name == "depth0") return Value::fromInt(loop.depth0);
        if (name == "previtem") {
            return i > 0 ? loop.items->items[loop.index0 - 1]
                         : Value::undefined("there is no previous item");
        }
        if (name == "nextitem") {
            return i + 1 < n ? loop.items->items[loop.index0 + 1]
                             : Value::undefined("there is no next item");
        }
        if (name == "cycle" || name == "changed") return method(self, name);
        return Value::undefined("'LoopContext' object has no attribute " + quoted(name));
    }

    // What Python's getattr finds on the object: methods, a namespace's attributes, the loop's
    // fields. Changing methods of lists and dicts are the sandbox's unsafe undefined.
    std::optional<Value> pyAttribute(const Value& v, const std::string& name) {
        switch (v.kind) {
            case ValueKind::string:
                if (kStringMethods.count(name) != 0) return method(v, name);
                break;
            case ValueKind::mapping:
                if (kDictMethods.count(name) != 0) {
                    if (kDictChanging.count(name) != 0) {
                        return Value::undefined("access to attribute " + quoted(name) +
                                                " of 'dict' object is unsafe.");
                    }
                    return method(v, name);
                }
                break;
            case ValueKind::sequence:
                if ((v.sequence->kind == SequenceKind::list && kListMethods.count(name) != 0) ||
                    ((v.sequence->kind == SequenceKind::tuple ||
                      v.sequence->kind == SequenceKind::range) &&
                     (name == "count" || name == "index"))) {
                    if (kListChanging.count(name) != 0) {
                        return Value::undefined("access to attribute " + quoted(name) +
                                                " of 'list' object is unsafe.");
                    }
                    return method(v, name);
                }
                break;
            case ValueKind::ns:
                if (const Value* found = v.ns->find(name)) return *found;
                break;
            case ValueKind::boolean:
            case ValueKind::integer:
            case ValueKind::floating: {
                // The number's data attributes; its methods are not supported.
                const bool integral = v.isIntegral();
                if (name == "real" || (integral && name == "numerator")) {
                    return integral ? Value::fromInt(v.asInt()) : v;
                }
                if (name == "imag") return integral ? Value::fromInt(0) : Value::fromFloat(0.0);
                if (integral && name == "denominator") return Value::fromInt(1);
                static const std::set<std::string, std::less<>> kNumberMethods = {
                    "as_integer_ratio", "bit_count", "bit_length", "conjugate", "from_bytes",
                    "fromhex",          "hex",       "is_integer", "to_bytes"};
                if (kNumberMethods.count(name) != 0) return method(v, name);
                break;
            }
            case ValueKind::loop: {
                Value field = loopAttribute(*v.loop, name, v);
                if (!field.isUndefined() || name == "previtem" || name == "nextitem") return field;
                break;
            }
            default:
                break;
        }
        return std::nullopt;
    }

    static std::string objectName(const Value& v) {
        return v.kind == ValueKind::none ? "None" : typeName(v) + " object";
    }

    // Jinja2's getattr: the attribute, else the item of that name.
    Value getattr(const Value& v, const std::string& name) {
        if (v.isUndefined()) undefinedError(v);
        if (auto attr = pyAttribute(v, name)) return *attr;
        if (v.kind == ValueKind::mapping) {
            if (const Value* found = v.mapping->find(Value::fromString(name))) return *found;
        }
        return Value::undefined(quoted(objectName(v)) + " has no attribute " + quoted(name));
    }

    // Python's index for a sequence of this length, or nothing when out of range.
    static std::optional<std::size_t> index(std::int64_t i, std::size_t length) {
        const auto n = static_cast<std::int64_t>(length);
        if (i < 0) i += n;
        if (i < 0 || i >= n) return std::nullopt;
        return static_cast<std::size_t>(i);
    }

    // Jinja2's getitem: the item, else (for a string key) the attribute of that name.
    Value getitem(const Value& v, const Value& key) {
        if (v.isUndefined()) undefinedError(v);
        switch (v.kind) {
            case ValueKind::sequence: {
                const Sequence& s = *v.sequence;
                if ((s.kind == SequenceKind::list || s.kind == SequenceKind::tuple ||
                     s.kind == SequenceKind::range) &&
                    key.isIntegral()) {
                    if (const auto i = index(key.asInt(), s.items.size())) return s.items[*i];
                }
                break;
            }
            case ValueKind::string:
                if (key.isIntegral()) {
                    const std::u32string cps = decodeUtf8(v.str());
                    if (const auto i = index(key.asInt(), cps.size())) {
                        return Value::fromString(encodeUtf8(std::u32string_view(&cps[*i], 1)));
                    }
                }
                break;
            case ValueKind::mapping: {
                const bool hashable = !(key.kind == ValueKind::sequence &&
                                        key.sequence->kind != SequenceKind::tuple) &&
                                      key.kind != ValueKind::mapping && key.kind != ValueKind::ns;
                if (hashable) {
                    if (const Value* found = v.mapping->find(key)) return *found;
                }
                break;
            }
            default:
                break;
        }
        if (key.isString()) {
            if (auto attr = pyAttribute(v, key.str())) return *attr;
            return Value::undefined(quoted(objectName(v)) + " has no attribute " + pyRepr(key));
        }
        return Value::undefined(objectName(v) + " has no element " + pyRepr(key));
    }

    // What Jinja2 can fold into a constant while compiling: no names and no calls.
    static bool isConstant(const Expr& e) {
        if (e.kind == ExprKind::name || e.kind == ExprKind::call) return false;
        return std::all_of(e.items.begin(), e.items.end(),
                           [](const auto& item) { return !item || isConstant(*item); }) &&
               std::all_of(e.kwargs.begin(), e.kwargs.end(),
                           [](const auto& kw) { return isConstant(*kw.second); });
    }

    // A literal built of constants only: Jinja2 folds it while compiling.
    static bool isLiteral(const Expr& e) {
        if (e.kind == ExprKind::constant) return true;
        if (e.kind != ExprKind::list && e.kind != ExprKind::tuple && e.kind != ExprKind::dict) {
            return false;
        }
        return std::all_of(e.items.begin(), e.items.end(),
                           [](const auto& item) { return isLiteral(*item); });
    }

    // A slice is a plain Python subscript, whose TypeErrors fail the rendering, except on a
    // literal: Jinja2 folds that through its getitem, which turns them into undefined.
    Value slice(const Value& v, const std::optional<Value>& start_v,
                const std::optional<Value>& stop_v, const std::optional<Value>& step_v,
                bool literal) {
        if (v.isUndefined()) undefinedError(v);
        const bool sliceable =
            v.isString() ||
            (v.kind == ValueKind::sequence &&
             (v.sequence->kind == SequenceKind::list || v.sequence->kind == SequenceKind::tuple));
        const auto refuse = [&](const std::string& message) -> Value {
            if (literal) return Value::undefined(typeName(v) + " object has no element slice");
            throw ValueError(message);
        };
        if (v.kind == ValueKind::sequence && v.sequence->kind == SequenceKind::range) {
            fail(line_, "slicing a range is not supported");
        }
        if (!sliceable) {
            return refuse(v.kind == ValueKind::mapping
                              ? "unhashable type: 'slice'"
                              : quoted(typeName(v)) + " object is not subscriptable");
        }
        const auto bound = [&](const std::optional<Value>& b) -> std::optional<std::int64_t> {
            if (!b || b->kind == ValueKind::none) return std::nullopt;
            if (!b->isIntegral()) {
                throw ValueError(
                    "slice indices must be integers or None or have an __index__ method");
            }
            return b->asInt();
        };
        std::optional<std::int64_t> start;
        std::optional<std::int64_t> stop;
        std::optional<std::int64_t> step_opt;
        try {
            start = bound(start_v);
            stop = bound(stop_v);
            step_opt = bound(step_v);
        } catch (const ValueError& e) {
            return refuse(e.what());
        }
        const std::int64_t stride = step_opt.value_or(1);
        if (stride == 0) throw ValueError("slice step cannot be zero");
        const auto pick = [&](std::size_t length) {
            const auto n = static_cast<std::int64_t>(length);
            const auto adjust = [&](std::optional<std::int64_t> x, std::int64_t dflt) {
                if (!x) return dflt;
                std::int64_t i = *x;
                if (i < 0) {
                    i += n;
                    if (i < 0) i = stride < 0 ? -1 : 0;
                } else if (i >= n) {
                    i = stride < 0 ? n - 1 : n;
                }
                return i;
            };
            const std::int64_t first = adjust(start, stride < 0 ? n - 1 : 0);
            const std::int64_t last = adjust(stop, stride < 0 ? -1 : n);
            std::vector<std::size_t> picked;
            if (stride > 0) {
                for (std::int64_t i = first; i < last; i += stride) {
                    picked.push_back(static_cast<std::size_t>(i));
                    if (last - i <= stride) break;
                }
            } else {
                for (std::int64_t i = first; i > last; i += stride) {
                    picked.push_back(static_cast<std::size_t>(i));
                    if (i - last <= -stride) break;
                }
            }
            return picked;
        };
        if (v.isString()) {
            const std::u32string cps = decodeUtf8(v.str());
            std::u32string out;
            for (std::size_t i : pick(cps.size())) out.push_back(cps[i]);
            return Value::fromString(encodeUtf8(out));
        }
        if (v.kind == ValueKind::sequence &&
            (v.sequence->kind == SequenceKind::list || v.sequence->kind == SequenceKind::tuple)) {
            std::vector<Value> out;
            for (std::size_t i : pick(v.sequence->items.size())) {
                out.push_back(v.sequence->items[i]);
            }
            return sequence(std::move(out), v.sequence->kind);
        }
        return Value::undefined(typeName(v) + " object has no element slice");
    }

    // ---- iteration and membership ----

    std::vector<Value> iterate(const Value& v) {
        switch (v.kind) {
            case ValueKind::undefined:
                return {};
            case ValueKind::string: {
                std::vector<Value> out;
                for (char32_t c : decodeUtf8(v.str())) {
                    out.push_back(Value::fromString(encodeUtf8(std::u32string_view(&c, 1))));
                }
                step(out.size() / 64);
                return out;
            }
            case ValueKind::sequence: {
                const Sequence& s = *v.sequence;
                step(s.items.size() / 64);
                if (s.kind == SequenceKind::generator) {
                    std::vector<Value> rest(s.items.begin() + static_cast<std::ptrdiff_t>(s.cursor),
                                            s.items.end());
                    s.cursor = s.items.size();
                    return rest;
                }
                return s.items;
            }
            case ValueKind::mapping: {
                std::vector<Value> keys;
                for (const auto& [k, item] : v.mapping->items) keys.push_back(k);
                step(keys.size() / 64);
                return keys;
            }
            default:
                break;
        }
        fail(line_, quoted(typeName(v)) + " object is not iterable");
    }

    bool contains(const Value& container, const Value& item) {
        switch (container.kind) {
            case ValueKind::undefined:
                return false;
            case ValueKind::string:
                if (!item.isString()) {
                    fail(line_,
                         "'in <string>' requires string as left operand, not " + typeName(item));
                }
                return container.str().find(item.str()) != std::string::npos;
            case ValueKind::sequence: {
                const Sequence& s = *container.sequence;
                const std::size_t from = s.kind == SequenceKind::generator ? s.cursor : 0;
                for (std::size_t i = from; i < s.items.size(); ++i) {
                    if (pyEquals(s.items[i], item)) {
                        if (s.kind == SequenceKind::generator) s.cursor = i + 1;
                        return true;
                    }
                }
                if (s.kind == SequenceKind::generator) s.cursor = s.items.size();
                return false;
            }
            case ValueKind::mapping:
                if (item.kind == ValueKind::sequence &&
                    item.sequence->kind != SequenceKind::tuple &&
                    item.sequence->kind != SequenceKind::range) {
                    throw ValueError("unhashable type: " + quoted(typeName(item)));
                }
                return container.mapping->find(item) != nullptr;
            default:
                break;
        }
        fail(line_, "argument of type " + quoted(typeName(container)) + " is not iterable");
    }

    // ---- operators ----

    bool compare(CompareOp op, const Value& a, const Value& b) {
        switch (op) {
            case CompareOp::eq:
                return pyEquals(a, b);
            case CompareOp::ne:
                return !pyEquals(a, b);
            case CompareOp::in:
                return contains(b, a);
            case CompareOp::not_in:
                return !contains(b, a);
            default:
                break;
        }
        if (a.isUndefined()) undefinedError(a);
        if (b.isUndefined()) undefinedError(b);
        const char* text = op == CompareOp::lt   ? "<"
                           : op == CompareOp::le ? "<="
                           : op == CompareOp::gt ? ">"
                                                 : ">=";
        return pyOrder(a, b, text);
    }

    Value repeat(const Value& subject, std::int64_t times) {
        if (times <= 0) {
            return subject.isString() ? Value::fromString("")
                                      : sequence({}, subject.sequence->kind);
        }
        if (subject.isString()) {
            const std::uint64_t size = subject.str().size() * static_cast<std::uint64_t>(times);
            if (!subject.str().empty()) checkText(size);
            std::string out;
            out.reserve(size);
            for (std::int64_t i = 0; i < times && !subject.str().empty(); ++i) out += subject.str();
            return Value::fromString(std::move(out));
        }
        const std::uint64_t count =
            subject.sequence->items.size() * static_cast<std::uint64_t>(times);
        if (!subject.sequence->items.empty()) checkText(count);
        std::vector<Value> out;
        for (std::int64_t i = 0; i < times && !subject.sequence->items.empty(); ++i) {
            out.insert(out.end(), subject.sequence->items.begin(), subject.sequence->items.end());
        }
        return sequence(std::move(out), subject.sequence->kind);
    }

    Value binary(BinaryOp op, const Value& a, const Value& b) {
        if (op == BinaryOp::mod && a.isString()) {
            fail(line_, "string formatting with % is not supported");
        }
        if (a.isUndefined()) undefinedError(a);
        if (b.isUndefined()) undefinedError(b);
        static const char* kSymbols[] = {"+", "-", "*", "/", "//", "%", "**"};
        const auto unsupported = [&]() -> Value {
            fail(line_, std::string("unsupported operand type(s) for ") +
                            kSymbols[static_cast<int>(op)] + ": " + quoted(typeName(a)) + " and " +
                            quoted(typeName(b)));
        };
        const bool plain_sequences =
            a.kind == ValueKind::sequence && b.kind == ValueKind::sequence &&
            a.sequence->kind == b.sequence->kind &&
            (a.sequence->kind == SequenceKind::list || a.sequence->kind == SequenceKind::tuple);
        if (op == BinaryOp::add) {
            if (a.isString() && b.isString()) {
                if (a.markup || b.markup) {
                    // Markup escapes the plain text it is joined with.
                    const std::string left = a.markup ? a.str() : htmlEscape(a.str());
                    const std::string right = b.markup ? b.str() : htmlEscape(b.str());
                    return text(left + right, true);
                }
                checkText(a.str().size() + b.str().size());
                return Value::fromString(a.str() + b.str());
            }
            if (plain_sequences) {
                std::vector<Value> items = a.sequence->items;
                items.insert(items.end(), b.sequence->items.begin(), b.sequence->items.end());
                return sequence(std::move(items), a.sequence->kind);
            }
        }
        if (op == BinaryOp::mul) {
            const bool a_seq = a.isString() || (a.kind == ValueKind::sequence &&
                                                (a.sequence->kind == SequenceKind::list ||
                                                 a.sequence->kind == SequenceKind::tuple));
            const bool b_seq = b.isString() || (b.kind == ValueKind::sequence &&
                                                (b.sequence->kind == SequenceKind::list ||
                                                 b.sequence->kind == SequenceKind::tuple));
            if (a_seq && b.isIntegral()) return repeat(a, b.asInt());
            if (b_seq && a.isIntegral()) return repeat(b, a.asInt());
        }
        if (op == BinaryOp::mod && a.isString()) {
            fail(line_, "string formatting with % is not supported");
        }
        if (!a.isNumber() || !b.isNumber()) return unsupported();
        if (a.isIntegral() && b.isIntegral()) {
            const std::int64_t x = a.asInt();
            const std::int64_t y = b.asInt();
            std::int64_t r = 0;
            switch (op) {
                case BinaryOp::add:
                    if (__builtin_add_overflow(x, y, &r)) overflow();
                    return Value::fromInt(r);
                case BinaryOp::sub:
                    if (__builtin_sub_overflow(x, y, &r)) overflow();
                    return Value::fromInt(r);
                case BinaryOp::mul:
                    if (__builtin_mul_overflow(x, y, &r)) overflow();
                    return Value::fromInt(r);
                case BinaryOp::div: {
                    if (y == 0) fail(line_, "division by zero");
                    constexpr std::int64_t kExact = std::int64_t{1} << 53;
                    if (x > kExact || x < -kExact || y > kExact || y < -kExact) {
                        fail(line_, "dividing integers beyond 2**53 is not supported");
                    }
                    return Value::fromFloat(static_cast<double>(x) / static_cast<double>(y));
                }
                case BinaryOp::floordiv:
                case BinaryOp::mod: {
                    if (y == 0) fail(line_, "integer division or modulo by zero");
                    if (x == std::numeric_limits<std::int64_t>::min() && y == -1) {
                        if (op == BinaryOp::mod) return Value::fromInt(0);
                        overflow();
                    }
                    std::int64_t q = x / y;
                    std::int64_t m = x % y;
                    if (m != 0 && ((m < 0) != (y < 0))) {
                        --q;
                        m += y;
                    }
                    return Value::fromInt(op == BinaryOp::mod ? m : q);
                }
                case BinaryOp::pow: {
                    if (y < 0) {
                        if (x == 0) fail(line_, "0.0 cannot be raised to a negative power");
                        return Value::fromFloat(
                            std::pow(static_cast<double>(x), static_cast<double>(y)));
                    }
                    std::int64_t result = 1;
                    std::int64_t base = x;
                    std::int64_t e = y;
                    while (e > 0) {
                        if ((e & 1) != 0 && __builtin_mul_overflow(result, base, &result)) {
                            overflow();
                        }
                        e >>= 1;
                        if (e > 0 && __builtin_mul_overflow(base, base, &base)) overflow();
                    }
                    return Value::fromInt(result);
                }
            }
        }
        const double x = a.asDouble();
        const double y = b.asDouble();
        switch (op) {
            case BinaryOp::add:
                return Value::fromFloat(x + y);
            case BinaryOp::sub:
                return Value::fromFloat(x - y);
            case BinaryOp::mul:
                return Value::fromFloat(x * y);
            case BinaryOp::div:
                if (y == 0.0) fail(line_, "float division by zero");
                return Value::fromFloat(x / y);
            case BinaryOp::floordiv:
                if (y == 0.0) fail(line_, "float floor division by zero");
                return Value::fromFloat(floatFloorDiv(x, y));
            case BinaryOp::mod:
                if (y == 0.0) fail(line_, "float modulo");
                return Value::fromFloat(floatMod(x, y));
            case BinaryOp::pow:
                if (x == 0.0 && y < 0.0) fail(line_, "0.0 cannot be raised to a negative power");
                if (x < 0.0 && std::isfinite(x) && std::isfinite(y) && y != std::floor(y)) {
                    fail(line_,
                         "a negative number to a fractional power is complex; not supported");
                }
                return Value::fromFloat(std::pow(x, y));
        }
        return unsupported();
    }

    // ---- arguments ----

    // Binds arguments to named parameters as a Python function would.
    std::vector<std::optional<Value>> bindArgs(const Args& args,
                                               const std::vector<std::string_view>& params,
                                               const std::string& what) {
        if (args.positional.size() > params.size()) {
            fail(line_, what + " takes at most " + std::to_string(params.size()) +
                            " argument(s) (" + std::to_string(args.positional.size()) + " given)");
        }
        std::vector<std::optional<Value>> bound(params.size());
        for (std::size_t i = 0; i < args.positional.size(); ++i) bound[i] = args.positional[i];
        for (const auto& [key, value] : args.keywords) {
            const auto it = std::find(params.begin(), params.end(), key);
            if (it == params.end()) {
                fail(line_, what + " got an unexpected keyword argument " + quoted(key));
            }
            auto& slot = bound[static_cast<std::size_t>(it - params.begin())];
            if (slot) fail(line_, what + " got multiple values for argument " + quoted(key));
            slot = value;
        }
        return bound;
    }

    static bool given(const std::optional<Value>& v) {
        return v.has_value() && v->kind != ValueKind::none;
    }

    std::string stringArg(const std::optional<Value>& v, const std::string& what) {
        if (!v || !v->isString()) fail(line_, what + " must be a string");
        return v->str();
    }

    std::int64_t intArg(const std::optional<Value>& v, const std::string& what) {
        if (!v || !v->isIntegral()) fail(line_, what + " must be an integer");
        return v->asInt();
    }

    // ---- calls ----

    Value call(const Value& callee, const Args& args, const ScopePtr& scope) {
        if (callee.isUndefined()) undefinedError(callee);
        if (callee.kind != ValueKind::callable) {
            fail(line_, quoted(typeName(callee)) + " object is not callable");
        }
        step();
        const Callable& c = *callee.callable;
        switch (c.kind) {
            case CallableKind::macro:
                return callMacro(c, args);
            case CallableKind::method:
                return callMethod(c.receiver, c.name, args, scope);
            case CallableKind::builtin:
                return callBuiltin(c.name, args);
        }
        fail(line_, "unknown callable");
    }

    Value callMacro(const Callable& c, const Args& args) {
        const Stmt& m = *c.macro;
        const ScopePtr defined = c.scope.lock();
        if (!defined) fail(line_, "macro " + quoted(m.name) + " is called outside its scope");
        if (args.positional.size() > m.params.size() && !m.uses_varargs) {
            fail(line_, "macro " + quoted(m.name) + " takes not more than " +
                            std::to_string(m.params.size()) + " argument(s)");
        }
        if (call_depth_ >= kMaxCallDepth) {
            fail(line_, "macro calls nest deeper than " + std::to_string(kMaxCallDepth),
                 ChatTemplateErrorKind::limit);
        }
        auto scope = std::make_shared<Scope>();
        scope->parent = defined;
        std::vector<bool> used(args.keywords.size(), false);
        for (std::size_t i = 0; i < m.params.size(); ++i) {
            const std::string& p = m.params[i];
            std::optional<Value> value;
            if (i < args.positional.size()) value = args.positional[i];
            for (std::size_t k = 0; k < args.keywords.size(); ++k) {
                if (args.keywords[k].first != p) continue;
                if (value) {
                    fail(line_, "macro " + quoted(m.name) + " got multiple values for argument " +
                                    quoted(p));
                }
                value = args.keywords[k].second;
                used[k] = true;
            }
            if (!value && m.defaults[i]) value = eval(*m.defaults[i], scope);
            if (!value) value = Value::undefined("parameter " + quoted(p) + " was not provided");
            scope->vars.insert_or_assign(p, *value);
        }
        auto extra = std::make_shared<Mapping>();
        for (std::size_t k = 0; k < args.keywords.size(); ++k) {
            if (used[k]) continue;
            if (!m.uses_kwargs) {
                fail(line_, "macro " + quoted(m.name) + " takes no keyword argument " +
                                quoted(args.keywords[k].first));
            }
            extra->set(Value::fromString(args.keywords[k].first), args.keywords[k].second);
        }
        if (m.uses_kwargs) scope->vars.insert_or_assign("kwargs", Value::fromMapping(extra));
        if (m.uses_varargs) {
            std::vector<Value> rest;
            for (std::size_t i = m.params.size(); i < args.positional.size(); ++i) {
                rest.push_back(args.positional[i]);
            }
            scope->vars.insert_or_assign("varargs", sequence(std::move(rest), SequenceKind::tuple));
        }
        const std::uint32_t saved_line = line_;
        ++call_depth_;
        std::string body;
        try {
            body = capture(m.body, scope);
        } catch (...) {
            --call_depth_;
            throw;
        }
        --call_depth_;
        line_ = saved_line;
        return Value::fromString(std::move(body));
    }

    Value callBuiltin(const std::string& name, const Args& args) {
        if (name == "raise_exception") {
            const auto bound = bindArgs(args, {"message"}, "raise_exception()");
            if (!bound[0]) fail(line_, "raise_exception() missing 1 required argument: 'message'");
            const std::string message = str(*bound[0]);
            fail(line_, message, ChatTemplateErrorKind::raised);
        }
        if (name == "strftime_now") {
            const auto bound = bindArgs(args, {"format"}, "strftime_now()");
            return text(strftimeNow(stringArg(bound[0], "strftime_now's format")));
        }
        if (name == "namespace" || name == "dict") {
            if (args.positional.size() > 1) {
                fail(line_, name + "() takes at most 1 positional argument");
            }
            auto attrs = std::make_shared<Mapping>();
            if (!args.positional.empty()) {
                const Value& init = args.positional[0];
                if (init.kind != ValueKind::mapping) {
                    fail(line_, name + "() takes a mapping as its positional argument");
                }
                for (const auto& [k, v] : init.mapping->items) attrs->set(k, v);
            }
            for (const auto& [k, v] : args.keywords) attrs->set(Value::fromString(k), v);
            if (name == "dict") return Value::fromMapping(std::move(attrs));
            auto ns = std::make_shared<Namespace>();
            for (const auto& [k, v] : attrs->items) {
                if (!k.isString()) fail(line_, "namespace attribute names must be strings");
                if (v.depth() > kNamespaceDepth) {
                    fail(line_,
                         "a namespace holds values at most " + std::to_string(kNamespaceDepth) +
                             " levels deep",
                         ChatTemplateErrorKind::limit);
                }
                ns->set(k.str(), v);
            }
            Value v;
            v.kind = ValueKind::ns;
            v.ns = std::move(ns);
            return v;
        }
        if (name == "range") {
            if (!args.keywords.empty()) fail(line_, "range() takes no keyword arguments");
            if (args.positional.empty() || args.positional.size() > 3) {
                fail(line_, "range expected 1 to 3 arguments, got " +
                                std::to_string(args.positional.size()));
            }
            std::int64_t bounds[3] = {0, 0, 1};
            for (std::size_t i = 0; i < args.positional.size(); ++i) {
                bounds[args.positional.size() == 1 ? 1 : i] =
                    intArg(args.positional[i], "range()'s arguments");
            }
            const std::int64_t start = bounds[0], stop = bounds[1], stride = bounds[2];
            if (stride == 0) fail(line_, "range() arg 3 must not be zero");
            std::vector<Value> items;
            for (std::int64_t i = start; stride > 0 ? i < stop : i > stop; i += stride) {
                if (static_cast<std::int64_t>(items.size()) >= kMaxRange) {
                    fail(line_, "Range too big. The sandbox blocks ranges larger than MAX_RANGE (" +
                                    std::to_string(kMaxRange) + ").");
                }
                items.push_back(Value::fromInt(i));
                if ((stride > 0 && i > std::numeric_limits<std::int64_t>::max() - stride) ||
                    (stride < 0 && i < std::numeric_limits<std::int64_t>::min() - stride)) {
                    break;
                }
            }
            Value range = sequence(std::move(items), SequenceKind::range);
            auto* data = const_cast<Sequence*>(range.sequence.get());
            data->range_start = start;
            data->range_stop = stop;
            data->range_step = stride;
            return range;
        }
        fail(line_, "function " + quoted(name) + " is not supported");
    }

    std::string strftimeNow(const std::string& format) {
        if (!options_.now) fail(line_, "strftime_now: no current time was given");
        const std::tm& t = *options_.now;
        const std::int64_t year = static_cast<std::int64_t>(t.tm_year) + 1900;
        if (year < 1 || year > 9999 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 ||
            t.tm_hour < 0 || t.tm_hour > 23 || t.tm_min < 0 || t.tm_min > 59 || t.tm_sec < 0 ||
            t.tm_sec > 59) {
            fail(line_, "strftime_now: the current time is out of range");
        }
        static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        const int month_days = kDays[t.tm_mon] + (t.tm_mon == 1 && leap ? 1 : 0);
        if (t.tm_mday > month_days) fail(line_, "strftime_now: the current time is out of range");
        const auto month = static_cast<unsigned>(t.tm_mon + 1);
        const auto day = static_cast<unsigned>(t.tm_mday);
        const std::int64_t days = daysFromCivil(year, month, day);
        const auto weekday = static_cast<int>(((days % 7) + 11) % 7);  // 0 = Sunday
        const auto yday = static_cast<int>(days - daysFromCivil(year, 1, 1)) + 1;
        static const char* kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
        static const char* kMonthNames[] = {"January",   "February", "March",    "April",
                                            "May",       "June",     "July",     "August",
                                            "September", "October",  "November", "December"};
        std::string out;
        const auto number = [&](std::int64_t v, int width, bool pad) {
            std::string digits = std::to_string(v);
            if (pad && static_cast<int>(digits.size()) < width) {
                digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
            }
            out += digits;
        };
        for (std::size_t i = 0; i < format.size(); ++i) {
            if (format[i] != '%') {
                out.push_back(format[i]);
                continue;
            }
            if (++i >= format.size()) fail(line_, "strftime_now: the format ends with %");
            bool pad = true;
            if (format[i] == '-' && i + 1 < format.size()) {
                pad = false;
                ++i;
            }
            switch (format[i]) {
                case '%':
                    out.push_back('%');
                    break;
                case 'a':
                    out.append(kDayNames[weekday], 3);
                    break;
                case 'A':
                    out += kDayNames[weekday];
                    break;
                case 'b':
                    out.append(kMonthNames[t.tm_mon], 3);
                    break;
                case 'B':
                    out += kMonthNames[t.tm_mon];
                    break;
                case 'd':
                    number(t.tm_mday, 2, pad);
                    break;
                case 'e':
                    if (pad && t.tm_mday < 10) out.push_back(' ');
                    number(t.tm_mday, 1, false);
                    break;
                case 'H':
                    number(t.tm_hour, 2, pad);
                    break;
                case 'I':
                    number(t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12, 2, pad);
                    break;
                case 'j':
                    number(yday, 3, pad);
                    break;
                case 'm':
                    number(t.tm_mon + 1, 2, pad);
                    break;
                case 'M':
                    number(t.tm_min, 2, pad);
                    break;
                case 'p':
                    out += t.tm_hour < 12 ? "AM" : "PM";
                    break;
                case 'S':
                    number(t.tm_sec, 2, pad);
                    break;
                case 'y':
                    number(year % 100, 2, pad);
                    break;
                case 'Y':
                    number(year, 1, false);
                    break;
                default:
                    fail(line_, "strftime_now: directive %" + std::string(1, format[i]) +
                                    " is not supported");
            }
            checkText(out.size());
        }
        return out;
    }

    Value callMethod(const Value& self, const std::string& name, const Args& args,
                     const ScopePtr& scope) {
        (void)scope;
        if (self.kind == ValueKind::loop) {
            if (name == "cycle") {
                if (args.positional.empty()) fail(line_, "no items for cycling given");
                return args.positional[self.loop->index0 % args.positional.size()];
            }
            fail(line_, "loop." + name + "() is not supported");
        }
        if (self.kind == ValueKind::sequence) {
            if (name != "count" && name != "index") {
                fail(line_, "list method " + quoted(name) + " is not supported");
            }
            const auto bound = bindArgs(args, {"value"}, "list." + name + "()");
            if (!bound[0]) fail(line_, "list." + name + "() takes exactly one argument");
            std::int64_t count = 0;
            const auto& items = self.sequence->items;
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (!pyEquals(items[i], *bound[0])) continue;
                if (name == "index") return Value::fromInt(static_cast<std::int64_t>(i));
                ++count;
            }
            if (name == "index") fail(line_, pyRepr(*bound[0]) + " is not in list");
            return Value::fromInt(count);
        }
        if (self.kind == ValueKind::mapping) return callDictMethod(self, name, args);
        if (self.isNumber()) fail(line_, "number method " + quoted(name) + " is not supported");
        return callStringMethod(self, name, args);
    }

    Value callDictMethod(const Value& self, const std::string& name, const Args& args) {
        const Mapping& m = *self.mapping;
        const std::string what = "dict." + name + "()";
        if (name == "get") {
            if (!args.keywords.empty()) fail(line_, what + " takes no keyword arguments");
            if (args.positional.empty() || args.positional.size() > 2) {
                fail(line_, what + " takes 1 or 2 arguments");
            }
            if (const Value* found = m.find(args.positional[0])) return *found;
            return args.positional.size() == 2 ? args.positional[1] : Value::none();
        }
        if (!args.positional.empty() || !args.keywords.empty()) {
            fail(line_, what + " takes no arguments");
        }
        if (name == "copy") return self;
        std::vector<Value> items;
        for (const auto& [k, v] : m.items) {
            if (name == "keys") {
                items.push_back(k);
            } else if (name == "values") {
                items.push_back(v);
            } else if (name == "items") {
                items.push_back(sequence({k, v}, SequenceKind::tuple));
            } else {
                fail(line_, "dict method " + quoted(name) + " is not supported");
            }
        }
        Value view = sequence(std::move(items), SequenceKind::view);
        std::const_pointer_cast<Sequence>(view.sequence)->view_name = name == "keys" ? "dict_keys"
                                                                      : name == "values"
                                                                          ? "dict_values"
                                                                          : "dict_items";
        return view;
    }

    Value callStringMethod(const Value& self, const std::string& name, const Args& args) {
        const std::string& s = self.str();
        const std::string what = "str." + name + "()";
        const auto noKeywords = [&]() {
            if (!args.keywords.empty()) fail(line_, what + " takes no keyword arguments");
        };
        const auto optionalChars = [&](std::size_t i) -> std::optional<std::string> {
            if (args.positional.size() <= i || args.positional[i].kind == ValueKind::none) {
                return std::nullopt;
            }
            if (!args.positional[i].isString()) {
                fail(line_, name + " arg must be None or str");
            }
            return args.positional[i].str();
        };
        if (name == "strip" || name == "lstrip" || name == "rstrip") {
            noKeywords();
            if (args.positional.size() > 1) fail(line_, what + " takes at most 1 argument");
            return text(pythonStrip(s, optionalChars(0), name != "rstrip", name != "lstrip"));
        }
        if (name == "startswith" || name == "endswith") {
            noKeywords();
            if (args.positional.size() != 1) {
                fail(line_, what + " with start or end positions is not supported");
            }
            const Value& affix = args.positional[0];
            std::vector<std::string> candidates;
            if (affix.isString()) {
                candidates.push_back(affix.str());
            } else if (affix.kind == ValueKind::sequence &&
                       affix.sequence->kind == SequenceKind::tuple) {
                for (const Value& item : affix.sequence->items) {
                    if (!item.isString())
                        fail(line_, "tuple for " + name + " must only contain str");
                    candidates.push_back(item.str());
                }
            } else {
                fail(line_,
                     name + " first arg must be str or a tuple of str, not " + typeName(affix));
            }
            for (const std::string& c : candidates) {
                const bool hit =
                    name == "startswith"
                        ? s.compare(0, c.size(), c) == 0
                        : s.size() >= c.size() && s.compare(s.size() - c.size(), c.size(), c) == 0;
                if (hit) return Value::fromBool(true);
            }
            return Value::fromBool(false);
        }
        if (name == "split") {
            const auto bound = bindArgs(args, {"sep", "maxsplit"}, what);
            std::optional<std::string> sep;
            if (given(bound[0])) {
                sep = stringArg(bound[0], "split's separator");
                if (sep->empty()) fail(line_, "empty separator");
            }
            const std::int64_t maxsplit = bound[1] ? intArg(bound[1], "split's maxsplit") : -1;
            std::vector<Value> parts;
            for (std::string& part : pythonSplit(s, sep, maxsplit)) {
                parts.push_back(Value::fromString(std::move(part)));
            }
            return sequence(std::move(parts), SequenceKind::list);
        }
        if (name == "upper" || name == "lower" || name == "title" || name == "capitalize") {
            noKeywords();
            if (!args.positional.empty()) fail(line_, what + " takes no arguments");
            if (name == "upper") return text(pythonUpper(s, what));
            if (name == "lower") return text(pythonLower(s, what));
            if (name == "title") return text(pythonTitle(s, what));
            return text(pythonCapitalize(s, what));
        }
        if (name == "replace") {
            noKeywords();
            if (args.positional.size() < 2 || args.positional.size() > 3) {
                fail(line_, what + " takes 2 or 3 arguments");
            }
            const std::string old_text = stringArg(args.positional[0], "replace's arguments");
            const std::string new_text = stringArg(args.positional[1], "replace's arguments");
            const std::int64_t count =
                args.positional.size() == 3 ? intArg(args.positional[2], "replace's count") : -1;
            return text(pythonReplace(s, old_text, new_text, count));
        }
        if (name == "join") {
            noKeywords();
            if (args.positional.size() != 1) fail(line_, what + " takes exactly one argument");
            std::string out;
            bool first = true;
            for (const Value& item : iterate(args.positional[0])) {
                if (!item.isString()) {
                    fail(line_,
                         "sequence item: expected str instance, " + typeName(item) + " found");
                }
                if (!first) out += s;
                first = false;
                out += item.str();
                checkText(out.size());
            }
            return Value::fromString(std::move(out));
        }
        fail(line_, "string method " + quoted(name) + " is not supported");
    }

    // ---- filters ----

    Value applyFilterChain(const Expr& chain, const Value& subject, const ScopePtr& scope) {
        // A filter block's chain is a nest of filter nodes whose innermost subject is empty.
        Value value = subject;
        std::vector<const Expr*> nodes;
        for (const Expr* e = &chain; e != nullptr; e = e->items[0].get()) nodes.push_back(e);
        for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
            Args args = evalArgs(**it, 1, scope);
            line_ = (*it)->line;
            value = filter((*it)->name, value, args, scope);
        }
        return value;
    }

    // The getter of selectattr, map and join: dotted names, digits as indexes.
    Value attribute(const Value& item, const Value& attr) {
        if (attr.isIntegral()) return getitem(item, attr);
        if (!attr.isString()) fail(line_, "attribute names must be strings or integers");
        Value v = item;
        std::size_t start = 0;
        const std::string& path = attr.str();
        while (true) {
            const std::size_t dot = path.find('.', start);
            const std::string part = path.substr(start, dot - start);
            const bool digits = !part.empty() && std::all_of(part.begin(), part.end(), [](char c) {
                return c >= '0' && c <= '9';
            });
            if (digits && part.size() < 19) {
                v = getitem(v, Value::fromInt(std::stoll(part)));
            } else {
                v = getitem(v, Value::fromString(part));
            }
            if (dot == std::string::npos) return v;
            start = dot + 1;
        }
    }

    std::int64_t length(const Value& v) {
        switch (v.kind) {
            case ValueKind::undefined:
                return 0;
            case ValueKind::string:
                return static_cast<std::int64_t>(codePointCount(v.str()));
            case ValueKind::sequence:
                if (v.sequence->kind == SequenceKind::generator) break;
                return static_cast<std::int64_t>(v.sequence->items.size());
            case ValueKind::mapping:
                return static_cast<std::int64_t>(v.mapping->items.size());
            default:
                break;
        }
        fail(line_, "object of type " + quoted(typeName(v)) + " has no len()");
    }

    Value generator(std::vector<Value> items) {
        return sequence(std::move(items), SequenceKind::generator);
    }

    // Python's float() of a string; nothing for text it rejects.
    std::optional<double> parseFloat(const std::string& raw) {
        const std::string s = pythonStrip(raw, std::nullopt, true, true);
        for (char c : s) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                fail(line_,
                     "converting text with non-ASCII characters to a number is not supported");
            }
        }
        std::string body = s;
        bool negative = false;
        if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
            negative = body[0] == '-';
            body.erase(0, 1);
        }
        std::string lower;
        for (char c : body) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
        if (lower == "inf" || lower == "infinity") {
            return negative ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
        }
        if (lower == "nan") return std::numeric_limits<double>::quiet_NaN();
        // digits with single underscores between them, an optional point, an exponent
        std::string clean;
        std::size_t i = 0;
        const auto digits = [&]() {
            std::size_t count = 0;
            while (i < body.size()) {
                if (body[i] >= '0' && body[i] <= '9') {
                    clean.push_back(body[i++]);
                    ++count;
                } else if (body[i] == '_' && count > 0 && i + 1 < body.size() &&
                           body[i + 1] >= '0' && body[i + 1] <= '9') {
                    ++i;
                } else {
                    break;
                }
            }
            return count;
        };
        std::size_t mantissa = digits();
        if (i < body.size() && body[i] == '.') {
            clean.push_back('.');
            ++i;
            mantissa += digits();
        }
        if (mantissa == 0) return std::nullopt;
        if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
            clean.push_back('e');
            ++i;
            if (i < body.size() && (body[i] == '+' || body[i] == '-')) clean.push_back(body[i++]);
            if (digits() == 0) return std::nullopt;
        }
        if (i != body.size()) return std::nullopt;
        double value = 0.0;
        const auto result = std::from_chars(clean.data(), clean.data() + clean.size(), value);
        if (result.ec == std::errc::result_out_of_range) {
            const std::size_t e = clean.find('e');
            value = e != std::string::npos && clean[e + 1] == '-'
                        ? 0.0
                        : std::numeric_limits<double>::infinity();
        }
        return negative ? -value : value;
    }

    // Python's int() of a string in a base (0: from its prefix); nothing for text it rejects.
    std::optional<std::int64_t> parseInt(const std::string& raw, std::int64_t base) {
        const std::string s = pythonStrip(raw, std::nullopt, true, true);
        for (char c : s) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                fail(line_,
                     "converting text with non-ASCII characters to a number is not supported");
            }
        }
        std::size_t i = 0;
        bool negative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
        const auto prefixBase = [&](std::size_t at) -> std::int64_t {
            if (at + 1 < s.size() && s[at] == '0') {
                const char p = static_cast<char>(s[at + 1] | 0x20);
                if (p == 'x') return 16;
                if (p == 'o') return 8;
                if (p == 'b') return 2;
            }
            return 0;
        };
        const std::int64_t prefixed = prefixBase(i);
        bool underscore_ok = false;
        if (base == 0) {
            base = prefixed != 0 ? prefixed : 10;
            if (prefixed != 0) {
                i += 2;
                underscore_ok = true;
            } else if (i + 1 < s.size() && s[i] == '0') {
                // Base 0 refuses leading zeros unless the number is zero.
                for (std::size_t k = i; k < s.size(); ++k) {
                    if (s[k] != '0' && s[k] != '_') return std::nullopt;
                }
            }
        } else if (prefixed != 0 && prefixed == base) {
            i += 2;
            underscore_ok = true;
        }
        if (base < 2 || base > 36) fail(line_, "int() base must be >= 2 and <= 36, or 0");
        std::uint64_t value = 0;
        std::size_t count = 0;
        while (i < s.size()) {
            char c = s[i];
            if (c == '_' && (count > 0 || underscore_ok) && i + 1 < s.size() && s[i + 1] != '_') {
                ++i;
                continue;
            }
            int d = 99;
            if (c >= '0' && c <= '9') d = c - '0';
            if (c >= 'a' && c <= 'z') d = c - 'a' + 10;
            if (c >= 'A' && c <= 'Z') d = c - 'A' + 10;
            if (d >= base) return std::nullopt;
            const auto b = static_cast<std::uint64_t>(base);
            const auto du = static_cast<std::uint64_t>(d);
            if (value > (std::uint64_t{1} << 63) / b || value * b > (std::uint64_t{1} << 63) - du) {
                fail(line_, "int: the value does not fit in 64 bits");
            }
            value = value * b + du;
            ++count;
            ++i;
        }
        if (count == 0) return std::nullopt;
        if (!negative && value > static_cast<std::uint64_t>(INT64_MAX)) {
            fail(line_, "int: the value does not fit in 64 bits");
        }
        return negative ? static_cast<std::int64_t>(0 - value) : static_cast<std::int64_t>(value);
    }

    std::optional<std::int64_t> truncate(double d) {
        if (std::isnan(d)) return std::nullopt;
        if (std::isinf(d)) fail(line_, "cannot convert float infinity to integer");
        if (d <= -9223372036854775809.0 || d >= 9223372036854775808.0) {
            fail(line_, "int: the value does not fit in 64 bits");
        }
        return static_cast<std::int64_t>(d);
    }

    Value filter(const std::string& name, const Value& v, const Args& args, const ScopePtr& scope) {
        step();
        const std::string what = "filter " + quoted(name);
        const auto noArgs = [&]() {
            if (!args.positional.empty() || !args.keywords.empty()) {
                fail(line_, what + " takes no arguments");
            }
        };
        if (name == "trim") {
            const auto bound = bindArgs(args, {"chars"}, what);
            std::optional<std::string> chars;
            if (given(bound[0])) chars = stringArg(bound[0], "trim's chars");
            return text(pythonStrip(str(v), chars, true, true), v.markup);
        }
        if (name == "length" || name == "count") {
            noArgs();
            return Value::fromInt(length(v));
        }
        if (name == "upper" || name == "lower" || name == "capitalize" || name == "title") {
            noArgs();
            const std::string s = str(v);
            if (name == "upper") return text(pythonUpper(s, what), v.markup);
            if (name == "lower") return text(pythonLower(s, what), v.markup);
            if (name == "capitalize") return text(pythonCapitalize(s, what), v.markup);
            return text(jinjaTitle(s, what), v.markup);
        }
        if (name == "string") {
            noArgs();
            return v.isString() ? v : text(str(v));
        }
        if (name == "safe") {
            noArgs();
            return v.isString() && v.markup ? v : text(str(v), true);
        }
        if (name == "e" || name == "escape") {
            noArgs();
            if (v.isString() && v.markup) return v;
            return text(htmlEscape(str(v)), true);
        }
        if (name == "default" || name == "d") {
            const auto bound = bindArgs(args, {"default_value", "boolean"}, what);
            const Value fallback = bound[0].value_or(Value::fromString(""));
            const bool boolean = bound[1] && truthy(*bound[1]);
            if (v.isUndefined() || (boolean && !truthy(v))) return fallback;
            return v;
        }
        if (name == "tojson") return tojson(v, args);
        if (name == "join") {
            const auto bound = bindArgs(args, {"d", "attribute"}, what);
            const std::string separator = bound[0] ? str(*bound[0]) : std::string();
            std::string out;
            bool first = true;
            for (const Value& item : iterate(v)) {
                if (!first) out += separator;
                first = false;
                out += str(given(bound[1]) ? attribute(item, *bound[1]) : item);
                checkText(out.size());
            }
            return Value::fromString(std::move(out));
        }
        if (name == "first" || name == "last") {
            noArgs();
            if (v.isUndefined())
                return Value::undefined("No " + name + " item, sequence was empty.");
            if (v.kind == ValueKind::sequence && v.sequence->kind == SequenceKind::generator) {
                const Sequence& s = *v.sequence;
                if (name == "last") fail(line_, "'generator' object is not reversible");
                if (s.cursor < s.items.size()) return s.items[s.cursor++];
                return Value::undefined("No first item, sequence was empty.");
            }
            if (v.kind != ValueKind::string && v.kind != ValueKind::sequence &&
                v.kind != ValueKind::mapping) {
                fail(line_, quoted(typeName(v)) + " object is not iterable");
            }
            std::vector<Value> items = iterate(v);
            if (items.empty()) return Value::undefined("No " + name + " item, sequence was empty.");
            return name == "first" ? items.front() : items.back();
        }
        if (name == "list") {
            noArgs();
            return sequence(iterate(v), SequenceKind::list);
        }
        if (name == "items") {
            noArgs();
            if (v.isUndefined()) return generator({});
            if (v.kind != ValueKind::mapping)
                fail(line_, "Can only get item pairs from a mapping.");
            std::vector<Value> pairs;
            for (const auto& [k, item] : v.mapping->items) {
                pairs.push_back(sequence({k, item}, SequenceKind::tuple));
            }
            return generator(std::move(pairs));
        }
        if (name == "replace") {
            const auto bound = bindArgs(args, {"old", "new", "count"}, what);
            if (!bound[0] || !bound[1]) fail(line_, what + " needs old and new");
            const std::int64_t count = given(bound[2]) ? intArg(bound[2], "replace's count") : -1;
            return text(pythonReplace(str(v), str(*bound[0]), str(*bound[1]), count));
        }
        if (name == "select" || name == "reject" || name == "selectattr" || name == "rejectattr") {
            return selectOrReject(name, v, args);
        }
        if (name == "map") return map(v, args, scope);
        if (name == "reverse") {
            noArgs();
            if (v.isString()) {
                std::u32string cps = decodeUtf8(v.str());
                std::reverse(cps.begin(), cps.end());
                return Value::fromString(encodeUtf8(cps));
            }
            const bool generated =
                v.kind == ValueKind::sequence && v.sequence->kind == SequenceKind::generator;
            std::vector<Value> items = iterate(v);
            std::reverse(items.begin(), items.end());
            // A generator cannot be reversed in place, so Python makes a list of it.
            return generated ? sequence(std::move(items), SequenceKind::list)
                             : generator(std::move(items));
        }
        if (name == "int") {
            const auto bound = bindArgs(args, {"default", "base"}, what);
            const Value fallback = bound[0].value_or(Value::fromInt(0));
            const std::int64_t base = bound[1] ? intArg(bound[1], "int's base") : 10;
            if (v.isUndefined()) undefinedError(v);
            if (v.isIntegral()) return Value::fromInt(v.asInt());
            if (v.kind == ValueKind::floating) {
                const auto t = truncate(v.number);
                return t ? Value::fromInt(*t) : fallback;
            }
            if (v.isString()) {
                if (const auto i = parseInt(v.str(), base)) return Value::fromInt(*i);
                if (const auto d = parseFloat(v.str())) {
                    const auto t = truncate(*d);
                    return t ? Value::fromInt(*t) : fallback;
                }
            }
            return fallback;
        }
        if (name == "float") {
            const auto bound = bindArgs(args, {"default"}, what);
            const Value fallback = bound[0].value_or(Value::fromFloat(0.0));
            if (v.isUndefined()) undefinedError(v);
            if (v.isNumber()) return Value::fromFloat(v.asDouble());
            if (v.isString()) {
                if (const auto d = parseFloat(v.str())) return Value::fromFloat(*d);
            }
            return fallback;
        }
        if (name == "abs") {
            noArgs();
            if (v.isUndefined()) undefinedError(v);
            if (v.kind == ValueKind::floating) return Value::fromFloat(std::fabs(v.number));
            if (v.isIntegral()) {
                if (v.asInt() == std::numeric_limits<std::int64_t>::min()) overflow();
                return Value::fromInt(v.asInt() < 0 ? -v.asInt() : v.asInt());
            }
            fail(line_, "bad operand type for abs(): " + quoted(typeName(v)));
        }
        if (name == "attr") {
            const auto bound = bindArgs(args, {"name"}, what);
            const std::string attr = stringArg(bound[0], "attr's name");
            if (v.isUndefined()) undefinedError(v);
            if (v.kind == ValueKind::mapping && kDictMethods.count(attr) == 0) {
                return Value::undefined("'dict object' has no attribute " + quoted(attr));
            }
            return getattr(v, attr);
        }
        fail(line_, what + " is not supported");
    }

    Value tojson(const Value& v, const Args& args) {
        const auto bound =
            bindArgs(args, {"ensure_ascii", "indent", "separators", "sort_keys"}, "tojson()");
        JsonOptions options;
        options.ensure_ascii = bound[0] && truthy(*bound[0]);
        if (given(bound[1])) {
            const Value& indent = *bound[1];
            if (indent.isString()) {
                options.indent = indent.str();
            } else if (indent.isIntegral()) {
                const std::int64_t n = indent.asInt();
                if (n > 4096) fail(line_, "tojson: indent is larger than 4096");
                options.indent = std::string(n > 0 ? static_cast<std::size_t>(n) : 0, ' ');
            } else {
                fail(line_, "tojson: indent must be an integer or a string");
            }
            options.item_separator = ",";
        }
        if (given(bound[2])) {
            const Value& separators = *bound[2];
            if (separators.kind != ValueKind::sequence ||
                (separators.sequence->kind != SequenceKind::list &&
                 separators.sequence->kind != SequenceKind::tuple) ||
                separators.sequence->items.size() != 2 ||
                !separators.sequence->items[0].isString() ||
                !separators.sequence->items[1].isString()) {
                fail(line_, "tojson: separators must be a pair of strings");
            }
            options.item_separator = separators.sequence->items[0].str();
            options.key_separator = separators.sequence->items[1].str();
        }
        options.sort_keys = bound[3] && truthy(*bound[3]);
        std::string out = toJson(v, options);
        return text(std::move(out));
    }

    Value selectOrReject(const std::string& name, const Value& v, const Args& args) {
        const bool by_attribute = name == "selectattr" || name == "rejectattr";
        const bool keep_when = name == "select" || name == "selectattr";
        if (!args.keywords.empty()) {
            fail(line_, "filter " + quoted(name) + " takes no keyword arguments");
        }
        std::size_t at = 0;
        std::optional<Value> attr;
        if (by_attribute) {
            if (args.positional.empty()) fail(line_, "Missing parameter for attribute name");
            attr = args.positional[at++];
        }
        std::optional<std::string> test_name;
        if (at < args.positional.size()) {
            if (!args.positional[at].isString()) fail(line_, "a test name must be a string");
            test_name = args.positional[at++].str();
        }
        Args test_args;
        test_args.positional.assign(args.positional.begin() + static_cast<std::ptrdiff_t>(at),
                                    args.positional.end());
        std::vector<Value> kept;
        if (truthy(v)) {
            for (const Value& item : iterate(v)) {
                step();
                const Value probe = attr ? attribute(item, *attr) : item;
                const bool passed = test_name ? test(*test_name, probe, test_args) : truthy(probe);
                if (passed == keep_when) kept.push_back(item);
            }
        }
        return generator(std::move(kept));
    }

    Value map(const Value& v, const Args& args, const ScopePtr& scope) {
        std::vector<Value> out;
        if (args.positional.empty()) {
            std::optional<Value> attr;
            std::optional<Value> fallback;
            for (const auto& [key, value] : args.keywords) {
                if (key == "attribute") {
                    attr = value;
                } else if (key == "default") {
                    fallback = value;
                } else {
                    fail(line_, "Unexpected keyword argument " + quoted(key));
                }
            }
            if (!attr) fail(line_, "map requires a filter argument");
            if (truthy(v)) {
                for (const Value& item : iterate(v)) {
                    step();
                    Value got = attribute(item, *attr);
                    if (got.isUndefined() && fallback) got = *fallback;
                    out.push_back(std::move(got));
                }
            }
            return generator(std::move(out));
        }
        if (!args.positional[0].isString()) fail(line_, "a filter name must be a string");
        const std::string filter_name = args.positional[0].str();
        static const std::set<std::string, std::less<>> kMappable = {
            "abs",        "attr",       "capitalize", "count",   "d",     "default",
            "e",          "escape",     "first",      "float",   "int",   "items",
            "join",       "last",       "length",     "list",    "lower", "map",
            "reject",     "rejectattr", "replace",    "reverse", "safe",  "select",
            "selectattr", "string",     "title",      "tojson",  "trim",  "upper"};
        if (kMappable.count(filter_name) == 0) {
            fail(line_, "no filter named " + quoted(filter_name));
        }
        Args rest;
        rest.positional.assign(args.positional.begin() + 1, args.positional.end());
        rest.keywords = args.keywords;
        if (truthy(v)) {
            for (const Value& item : iterate(v))
                out.push_back(filter(filter_name, item, rest, scope));
        }
        return generator(std::move(out));
    }

    // ---- tests ----

    bool test(const std::string& name, const Value& v, const Args& args) {
        step();
        const auto one = [&]() -> const Value& {
            if (args.positional.size() != 1 || !args.keywords.empty()) {
                fail(line_, "test " + quoted(name) + " takes exactly one argument");
            }
            return args.positional[0];
        };
        const auto none_args = [&]() {
            if (!args.positional.empty() || !args.keywords.empty()) {
                fail(line_, "test " + quoted(name) + " takes no arguments");
            }
        };
        if (name == "defined") return none_args(), !v.isUndefined();
        if (name == "undefined") return none_args(), v.isUndefined();
        if (name == "none") return none_args(), v.kind == ValueKind::none;
        if (name == "boolean") return none_args(), v.kind == ValueKind::boolean;
        if (name == "true") return none_args(), v.kind == ValueKind::boolean && v.boolean;
        if (name == "false") return none_args(), v.kind == ValueKind::boolean && !v.boolean;
        if (name == "integer") return none_args(), v.kind == ValueKind::integer;
        if (name == "float") return none_args(), v.kind == ValueKind::floating;
        if (name == "number") return none_args(), v.isNumber();
        if (name == "string") return none_args(), v.isString();
        if (name == "mapping") return none_args(), v.kind == ValueKind::mapping;
        if (name == "callable") {
            none_args();
            return v.kind == ValueKind::callable || v.isUndefined();
        }
        if (name == "iterable") {
            none_args();
            return v.isUndefined() || v.isString() || v.kind == ValueKind::sequence ||
                   v.kind == ValueKind::mapping || v.kind == ValueKind::loop;
        }
        if (name == "sequence") {
            none_args();
            return v.isUndefined() || v.isString() || v.kind == ValueKind::mapping ||
                   (v.kind == ValueKind::sequence && (v.sequence->kind == SequenceKind::list ||
                                                      v.sequence->kind == SequenceKind::tuple ||
                                                      v.sequence->kind == SequenceKind::range));
        }
        if (name == "odd" || name == "even" || name == "divisibleby") {
            const Value divisor = name == "divisibleby" ? one() : Value::fromInt(2);
            if (name != "divisibleby") none_args();
            const Value rest = binary(BinaryOp::mod, v, divisor);
            const bool zero = !truthy(rest);
            return name == "odd" ? pyEquals(rest, Value::fromInt(1)) : zero;
        }
        if (name == "in") return contains(one(), v);
        if (name == "==" || name == "eq" || name == "equalto") return pyEquals(v, one());
        if (name == "!=" || name == "ne") return !pyEquals(v, one());
        if (name == ">" || name == "gt" || name == "greaterthan") {
            return compare(CompareOp::gt, v, one());
        }
        if (name == ">=" || name == "ge") return compare(CompareOp::ge, v, one());
        if (name == "<" || name == "lt" || name == "lessthan") {
            return compare(CompareOp::lt, v, one());
        }
        if (name == "<=" || name == "le") return compare(CompareOp::le, v, one());
        fail(line_, "no test named " + quoted(name));
    }

    const ChatRenderOptions& options_;
    std::string* out_ = nullptr;
    std::uint32_t line_ = 1;
    int call_depth_ = 0;
};

}  // namespace

std::string renderProgram(const TemplateProgram& program, const std::string& name,
                          const Mapping& variables, const ChatRenderOptions& options) {
    try {
        return Renderer(options).run(program, variables);
    } catch (const Failure& f) {
        throw ChatTemplateError(
            f.kind, name + ": line " + std::to_string(f.line) + ": " + f.message, f.message);
    }
}

}  // namespace Nuvexis::Core::Tarvel::detail::chat

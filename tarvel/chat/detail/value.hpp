#pragma once

// The values a template computes with, modelled on the Python objects Jinja2 gives it: their
// truth, equality, ordering, str() and repr(), and json.dumps as chat templates call it.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Nuvexis::Core::Tarvel::detail::chat {

struct Stmt;
struct Scope;

enum class ValueKind : std::uint8_t {
    undefined,
    none,
    boolean,
    integer,
    floating,
    string,
    sequence,
    mapping,
    ns,
    callable,
    loop,
};

// A list, a tuple, a one-shot generator (what select, map and friends give), a view of a
// dict's items, keys or values, or a range.
enum class SequenceKind : std::uint8_t { list, tuple, generator, view, range };

// Lists and dicts nest at most this deep; a namespace counts as half of it, since it may hold
// values up to half as deep and may change after it was put in a list.
inline constexpr std::uint32_t kMaxValueDepth = 512;
inline constexpr std::uint32_t kNamespaceDepth = kMaxValueDepth / 2;

struct Value;
struct Sequence;
struct Mapping;
struct Namespace;
struct Callable;
struct LoopState;

struct Value {
    ValueKind kind = ValueKind::undefined;
    bool markup = false;  // a string from safe or escape
    bool boolean = false;
    std::int64_t integer = 0;
    double number = 0.0;
    // The string's text; for undefined, the message of the error using it raises.
    std::shared_ptr<const std::string> text;
    std::shared_ptr<const Sequence> sequence;
    std::shared_ptr<const Mapping> mapping;
    std::shared_ptr<Namespace> ns;
    std::shared_ptr<const Callable> callable;
    std::shared_ptr<LoopState> loop;

    static Value undefined(std::string hint);
    static Value none();
    static Value fromBool(bool b);
    static Value fromInt(std::int64_t i);
    static Value fromFloat(double d);
    static Value fromString(std::string s, bool markup = false);
    static Value fromSequence(std::vector<Value> items, SequenceKind kind);
    static Value fromMapping(std::shared_ptr<const Mapping> mapping);

    bool isUndefined() const noexcept { return kind == ValueKind::undefined; }
    bool isString() const noexcept { return kind == ValueKind::string; }
    // Python's numbers: bool counts as int.
    bool isIntegral() const noexcept {
        return kind == ValueKind::integer || kind == ValueKind::boolean;
    }
    bool isNumber() const noexcept { return isIntegral() || kind == ValueKind::floating; }
    std::int64_t asInt() const noexcept { return kind == ValueKind::boolean ? boolean : integer; }
    double asDouble() const noexcept {
        return kind == ValueKind::floating ? number : static_cast<double>(asInt());
    }
    const std::string& str() const noexcept { return *text; }
    std::uint32_t depth() const noexcept;
};

struct Sequence {
    std::vector<Value> items;
    SequenceKind kind = SequenceKind::list;
    std::uint32_t depth = 1;
    const char* view_name = "dict_items";  // a view's Python type
    std::int64_t range_start = 0;          // a range's arguments, for its repr
    std::int64_t range_stop = 0;
    std::int64_t range_step = 1;
    // How far a generator has been consumed; Python's generators run once.
    mutable std::size_t cursor = 0;
};

struct Mapping {
    std::vector<std::pair<Value, Value>> items;
    std::unordered_map<std::string, std::size_t> string_keys;
    std::uint32_t depth = 1;

    // Throws std::domain_error for a key Python cannot hash (a list or dict).
    const Value* find(const Value& key) const;
    // Inserts or replaces, keeping the first position as a Python dict does.
    void set(Value key, Value value);
};

struct Namespace {
    std::vector<std::pair<std::string, Value>> attributes;
    const Value* find(std::string_view name) const;
    void set(const std::string& name, Value value);
};

enum class CallableKind : std::uint8_t { macro, method, builtin };

struct Callable {
    CallableKind kind = CallableKind::builtin;
    std::string name;
    Value receiver;               // method: the object it is bound to
    const Stmt* macro = nullptr;  // macro: its definition
    std::weak_ptr<Scope> scope;   // macro: where it was defined
};

struct LoopState {
    std::shared_ptr<const Sequence> items;
    std::size_t index0 = 0;
    std::uint32_t depth0 = 0;
};

// Failures of operations on values, with Python's meaning (TypeError, ValueError, ...); the
// renderer adds the template's name and line.
class ValueError : public std::domain_error {
  public:
    using std::domain_error::domain_error;
};

// A bound of the rendering reached inside an operation on values.
class ValueLimit : public std::length_error {
  public:
    using std::length_error::length_error;
};

// What the rendering on this thread may still spend: steps (values visited by comparisons,
// repr and json.dumps count one each; lists may share parts, so a value can be far larger than
// the memory it takes) and the bytes of any one text.
struct WorkBudget {
    std::uint64_t steps = 0;
    std::uint64_t max_steps = 0;
    std::uint64_t max_text_bytes = 0;
};

// Makes `budget` the one charged on this thread while it lives.
class WorkBudgetScope {
  public:
    explicit WorkBudgetScope(WorkBudget& budget);
    ~WorkBudgetScope();
    WorkBudgetScope(const WorkBudgetScope&) = delete;
    WorkBudgetScope& operator=(const WorkBudgetScope&) = delete;

  private:
    WorkBudget* saved_;
};

// Charges steps to this thread's budget, if there is one; throws ValueLimit past it.
void chargeSteps(std::uint64_t n);
// Throws ValueLimit when a text of this many bytes is longer than the budget allows.
void checkTextBytes(std::uint64_t bytes);

bool truthy(const Value& v);
bool pyEquals(const Value& a, const Value& b);
// Python's <, <=, >, >= (op is one of them); throws ValueError for unordered types.
bool pyOrder(const Value& a, const Value& b, std::string_view op);
// Python's type name, for messages.
std::string typeName(const Value& v);
// str(v) and repr(v); throw ValueError for values whose text is an address (generators,
// methods).
std::string pyStr(const Value& v);
std::string pyRepr(const Value& v);

struct JsonOptions {
    bool ensure_ascii = false;
    std::optional<std::string> indent;  // absent: one line
    std::string item_separator = ", ";
    std::string key_separator = ": ";
    bool sort_keys = false;
};
// json.dumps(v, ...); throws ValueError for what is not JSON serializable.
std::string toJson(const Value& v, const JsonOptions& options);

// A JSON text's values; throws std::invalid_argument "<context>: <problem>".
Value valueFromJson(std::string_view json, std::string_view context);

}  // namespace Nuvexis::Core::Tarvel::detail::chat

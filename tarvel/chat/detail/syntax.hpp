#pragma once

// The parsed form of a chat template: expressions and statements of the supported subset.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvel/chat/detail/value.hpp"

namespace Nuvexis::Core::Tarvel::detail::chat {

enum class ExprKind : std::uint8_t {
    constant,   // constant
    name,       // name
    list,       // items
    tuple,      // items
    dict,       // items: key, value, key, value, ...
    getattr,    // items[0].name
    getitem,    // items[0][items[1]]
    slice,      // items[0..2], each may be null
    call,       // items[0](items[1..], kwargs)
    filter,     // items[0] | name(items[1..], kwargs); items[0] null in a filter block
    test,       // items[0] is [not] name(items[1..], kwargs)
    not_,       // not items[0]
    negate,     // -items[0]
    plus,       // +items[0]
    binary,     // items[0] op items[1]
    compare,    // items[0] ops[0] items[1] ops[1] items[2] ...
    and_,       // items[0] and items[1]
    or_,        // items[0] or items[1]
    concat,     // items[0] ~ items[1] ~ ...
    condition,  // items[0] if items[1] else items[2] (items[2] may be null)
};

enum class BinaryOp : std::uint8_t { add, sub, mul, div, floordiv, mod, pow };
enum class CompareOp : std::uint8_t { eq, ne, lt, le, gt, ge, in, not_in };

struct Expr {
    ExprKind kind = ExprKind::constant;
    std::uint32_t line = 1;
    Value constant;
    std::string name;
    std::vector<std::unique_ptr<Expr>> items;
    std::vector<std::pair<std::string, std::unique_ptr<Expr>>> kwargs;
    BinaryOp op = BinaryOp::add;
    std::vector<CompareOp> compare_ops;
    bool negated = false;  // test: `is not`
};

enum class StmtKind : std::uint8_t {
    text,       // text
    output,     // {{ expr }}
    if_,        // branches, else_body
    for_,       // target in expr [if filter] body [else else_body]
    set,        // target = expr
    set_block,  // target [| filter] = rendered body
    macro,      // name(params = defaults) body
    break_,
    continue_,
    generation,  // body, rendered as it is
};

// What an assignment or a loop binds: one name, several (unpacking), or a namespace attribute.
struct Target {
    std::vector<std::string> names;
    bool unpack = false;
    std::string attribute;  // names[0].attribute when set
};

struct Stmt {
    StmtKind kind = StmtKind::text;
    std::uint32_t line = 1;
    std::string text;
    std::unique_ptr<Expr> expr;
    std::unique_ptr<Expr> filter;  // for: its `if` condition; set block: its filters
    Target target;
    std::vector<std::pair<std::unique_ptr<Expr>, std::vector<Stmt>>> branches;
    std::vector<Stmt> body;
    std::vector<Stmt> else_body;
    std::string name;
    std::vector<std::string> params;
    std::vector<std::unique_ptr<Expr>> defaults;  // one per parameter, null without a default
    bool uses_varargs = false;
    bool uses_kwargs = false;
};

struct TemplateProgram {
    std::vector<Stmt> body;
};

// Throws std::invalid_argument "<name>: line L: <problem>".
std::unique_ptr<TemplateProgram> parseTemplate(std::string_view source, std::string_view name);

}  // namespace Nuvexis::Core::Tarvel::detail::chat

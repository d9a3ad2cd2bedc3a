// Chat templates: the published templates of today's model families and a table of the
// language's semantics render byte for byte as Jinja2 renders them (render_reference.py writes
// Jinja2's results before these tests run); what is outside the subset or past a bound fails
// with a message naming it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "support/expect_throw.hpp"
#include "tarvel/chat/chat_template.hpp"

using namespace Nuvexis::Core::Tarvel;
using Json = nlohmann::ordered_json;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const Json& cases() {
    static const Json json = Json::parse(readFile(TARVEL_CHAT_CASES));
    return json;
}

const Json& reference() {
    static const Json json = Json::parse(readFile(TARVEL_CHAT_REFERENCE));
    return json;
}

ChatRenderOptions fixedTime() {
    // The cases' "now", 2024-09-05T14:30:07, as the caller's broken-down time.
    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 8;
    t.tm_mday = 5;
    t.tm_hour = 14;
    t.tm_min = 30;
    t.tm_sec = 7;
    ChatRenderOptions options;
    options.now = t;
    return options;
}

// Renders and compares with what Jinja2 did: the same text, or the same raise_exception
// message, or a failure where Jinja2 failed too.
void expectLikeJinja2(const std::string& case_name, const std::function<std::string()>& render) {
    SCOPED_TRACE(case_name);
    ASSERT_TRUE(reference().contains(case_name)) << "no reference for " << case_name;
    const Json& expected = reference()[case_name];
    try {
        const std::string text = render();
        ASSERT_TRUE(expected.contains("output")) << "Jinja2 did not render: " << expected.dump();
        EXPECT_EQ(text, expected["output"].get<std::string>());
    } catch (const ChatTemplateError& e) {
        if (expected.contains("raised")) {
            EXPECT_EQ(e.kind(), ChatTemplateErrorKind::raised) << e.what();
            EXPECT_EQ(e.message(), expected["raised"].get<std::string>());
        } else {
            EXPECT_TRUE(expected.contains("failed"))
                << "Jinja2 rendered it, we failed: " << e.what();
            EXPECT_EQ(e.kind(), ChatTemplateErrorKind::failed) << e.what();
        }
    }
}

bool onlyRoleAndContent(const Json& messages) {
    for (const Json& m : messages) {
        if (m.size() != 2 || !m.contains("role") || !m.contains("content") ||
            !m["content"].is_string()) {
            return false;
        }
    }
    return true;
}

TEST(ChatTemplateReference, PublishedTemplatesRenderLikeJinja2) {
    std::size_t through_context = 0;
    for (const Json& c : cases()["families"]) {
        const std::string file = c["template"].get<std::string>();
        const ChatTemplate tmpl =
            ChatTemplate::parse(readFile(std::string(TARVEL_CHAT_TEMPLATES) + "/" + file), file);
        Json messages = c["messages"];
        if (messages.is_string()) messages = cases()["conversations"][messages.get<std::string>()];
        const Json variables = c.value("variables", Json::object());
        for (const bool prompt : {false, true}) {
            const std::string name =
                c["name"].get<std::string>() + (prompt ? "/prompt" : "/no_prompt");
            if (onlyRoleAndContent(messages)) {
                // The record form, as the command fills it.
                ++through_context;
                ChatContext context;
                for (const Json& m : messages) {
                    context.messages.push_back(
                        {m["role"].get<std::string>(), m["content"].get<std::string>()});
                }
                context.add_generation_prompt = prompt;
                context.bos_token = c["bos_token"].get<std::string>();
                context.eos_token = c["eos_token"].get<std::string>();
                if (!variables.empty()) context.variables_json = variables.dump();
                expectLikeJinja2(name, [&] { return tmpl.render(context, fixedTime()); });
            } else {
                Json all = variables;
                all["messages"] = messages;
                all["add_generation_prompt"] = prompt;
                all["bos_token"] = c["bos_token"];
                all["eos_token"] = c["eos_token"];
                expectLikeJinja2(name, [&] { return tmpl.renderJson(all.dump(), fixedTime()); });
            }
        }
    }
    EXPECT_GT(through_context, 20u);
}

TEST(ChatTemplateReference, LanguageSemanticsMatchJinja2) {
    for (const Json& c : cases()["semantics"]) {
        const std::string name = c["name"].get<std::string>();
        const std::string variables = c.value("variables", Json::object()).dump();
        if (c.contains("error")) {
            // Jinja2 fails too; the message is ours.
            SCOPED_TRACE(name);
            ASSERT_TRUE(reference()[name].contains("failed")) << reference()[name].dump();
            const ChatTemplate tmpl =
                ChatTemplate::parse(c["template"].get<std::string>(), "semantics");
            EXPECT_THROW_MSG(tmpl.renderJson(variables, fixedTime()), ChatTemplateError,
                             c["error"].get<std::string>());
            continue;
        }
        expectLikeJinja2(name, [&] {
            const ChatTemplate tmpl =
                ChatTemplate::parse(c["template"].get<std::string>(), "semantics");
            return tmpl.renderJson(variables, fixedTime());
        });
    }
}

struct ErrorCase {
    const char* source;
    const char* message;
};

TEST(ChatTemplateErrors, ConstructsOutsideTheSubsetAreNamedWhenParsed) {
    const ErrorCase table[] = {
        {"{% include 'x' %}", "t: line 1: tag 'include' is not supported"},
        {"a\n{% extends 'base' %}", "t: line 2: tag 'extends' is not supported"},
        {"{% call m() %}x{% endcall %}", "t: line 1: tag 'call' is not supported"},
        {"{% filter upper %}x{% endfilter %}", "t: line 1: tag 'filter' is not supported"},
        {"{% frobnicate %}", "t: line 1: unknown tag 'frobnicate'"},
        {"{{ x | sort }}", "t: line 1: filter 'sort' is not supported"},
        {"{{ x | nosuch }}", "t: line 1: no filter named 'nosuch'"},
        {"{{ x is lower }}", "t: line 1: test 'lower' is not supported"},
        {"{{ x is nosuch }}", "t: line 1: no test named 'nosuch'"},
        {"{% for x in y recursive %}{% endfor %}", "t: line 1: recursive loops are not supported"},
        {"{{ f(*args) }}", "t: line 1: '*' and '**' arguments are not supported"},
        {"{% break %}", "t: line 1: 'break' outside a loop"},
        {"{{ caf\xc3\xa9 }}", "t: line 1: names with non-ASCII letters are not supported"},
        {"{{ '\\N{DASH}' }}", "t: line 1: \\N{...} escapes are not supported"},
        {"{{ '\\ud800' }}", "t: line 1: a string escape gives a surrogate code point"},
        {"{{ 99999999999999999999 }}", "t: line 1: integer literal does not fit in 64 bits"},
        {"{% if x %}\nno end",
         "t: line 2: unexpected end of template, expected 'elif' or 'else' or 'endif'"},
        {"{{ x ]}}", "t: line 1: unexpected ']'"},
        {"{{ 'open }}", "t: line 1: unterminated string"},
        {"{# never closed", "t: line 1: missing end of comment tag"},
        {"{{ x y }}", "t: line 1: expected end of print statement, got 'y'"},
        {"{{ }}", "t: line 1: expected an expression, got 'end of print statement'"},
        {"{{ a ! b }}", "t: line 1: unexpected char '!'"},
        {"ok\n\xff", "t: line 2: invalid UTF-8"},
        {"{% macro m(a=1, b) %}{% endmacro %}",
         "t: line 1: non-default argument follows default argument"},
    };
    for (const ErrorCase& c : table) {
        SCOPED_TRACE(c.source);
        EXPECT_THROW_MSG(ChatTemplate::parse(c.source, "t"), std::invalid_argument, c.message);
    }
}

TEST(ChatTemplateErrors, RenderFailuresNameTheLineAndWhatFailed) {
    const ErrorCase table[] = {
        {"a\n{{ 1 + 'x' }}", "t: line 2: unsupported operand type(s) for +: 'int' and 'str'"},
        {"{{ 'a' % 1 }}", "t: line 1: string formatting with % is not supported"},
        {"{{ 1 // 0 }}", "t: line 1: integer division or modulo by zero"},
        {"{{ 9223372036854775807 + 1 }}",
         "t: line 1: integer overflow: results must fit in 64 bits"},
        {"{{ 'x'.zfill(3) }}", "t: line 1: string method 'zfill' is not supported"},
        {"{{ [1].append(2) }}",
         "t: line 1: access to attribute 'append' of 'list' object is unsafe."},
        {"{{ 'Éa' | upper }}",
         "t: line 1: filter 'upper': changing the case of non-ASCII letters is not supported"},
        {"{{ [1] | select }}", "t: line 1: cannot show a generator as text; convert it with |list"},
        {"{{ cycler() }}", "t: line 1: function 'cycler' is not supported"},
        {"{% set x = 1 %}{% set x.a = 2 %}",
         "t: line 1: cannot assign attribute on non-namespace object"},
        {"{% set ns = namespace() %}{% set ns.me = [ns] %}",
         "t: line 1: a namespace cannot hold itself"},
        {"{{ strftime_now('%Q') }}", "t: line 1: strftime_now: directive %Q is not supported"},
        {"{{ range(100001) | length }}",
         "t: line 1: Range too big. The sandbox blocks ranges larger than MAX_RANGE (100000)."},
        {"{% for a, b in [[1, 2, 3]] %}{% endfor %}",
         "t: line 1: too many values to unpack (expected 2)"},
        {"{{ none.x.y }}", "t: line 1: 'None' has no attribute 'x'"},
    };
    for (const ErrorCase& c : table) {
        SCOPED_TRACE(c.source);
        const ChatTemplate tmpl = ChatTemplate::parse(c.source, "t");
        EXPECT_THROW_MSG(tmpl.renderJson("{}", fixedTime()), ChatTemplateError, c.message);
    }
}

TEST(ChatTemplateErrors, RaiseExceptionCarriesTheTemplatesMessage) {
    const ChatTemplate tmpl =
        ChatTemplate::parse("x\n{{ raise_exception('Bad role: ' ~ r) }}", "t");
    try {
        tmpl.renderJson(R"({"r": "tool"})");
        FAIL() << "no exception";
    } catch (const ChatTemplateError& e) {
        EXPECT_EQ(e.kind(), ChatTemplateErrorKind::raised);
        EXPECT_EQ(e.message(), "Bad role: tool");
        EXPECT_EQ(std::string(e.what()), "t: line 2: Bad role: tool");
    }
}

TEST(ChatTemplateLimits, BoundsStopRunawayTemplates) {
    ChatRenderOptions small;
    small.max_output_bytes = 1000;
    small.max_steps = 10000;
    struct LimitCase {
        const char* source;
        const char* message;
    } table[] = {
        {"{% for i in range(2000) %}x{% endfor %}", "t: line 1: output exceeds 1000 bytes"},
        {"{{ 'x' * 5000 }}", "t: line 1: text exceeds 1000 bytes"},
        {"{% for i in range(100000) %}{% endfor %}",
         "t: line 1: rendering takes more than 10000 steps"},
        {"{% macro m(n) %}{{ m(n + 1) }}{% endmacro %}{{ m(0) }}",
         "t: line 1: macro calls nest deeper than 100"},
        // Lists that share their parts are far larger than the memory they take: comparing or
        // printing them counts every part.
        {"{% set ns = namespace(a=1, b=1) %}{% for i in range(60) %}{% set ns.a = [ns.a, ns.a] %}"
         "{% set ns.b = [ns.b, ns.b] %}{% endfor %}{{ ns.a == ns.b }}",
         "t: line 1: rendering takes more than 10000 steps"},
        {"{% set ns = namespace(a=1) %}{% for i in range(60) %}{% set ns.a = [ns.a, ns.a] %}"
         "{% endfor %}{{ ns.a | tojson }}",
         "t: line 1: text exceeds 1000 bytes"},
    };
    for (const LimitCase& c : table) {
        SCOPED_TRACE(c.source);
        const ChatTemplate tmpl = ChatTemplate::parse(c.source, "t");
        try {
            tmpl.renderJson("{}", small);
            ADD_FAILURE() << "no exception";
        } catch (const ChatTemplateError& e) {
            EXPECT_EQ(e.kind(), ChatTemplateErrorKind::limit);
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    // Nesting is bounded where it is parsed and where values are built.
    EXPECT_THROW_MSG(ChatTemplate::parse(
                         "{{ " + std::string(200, '(') + "1" + std::string(200, ')') + " }}", "t"),
                     std::invalid_argument, "t: line 1: template nests deeper than 100 levels");
    const ChatTemplate deep = ChatTemplate::parse(
        "{% set ns = namespace(v=1) %}{% for i in range(300) %}{% set ns.v = [ns.v] %}{% endfor %}",
        "t");
    try {
        deep.renderJson("{}");
        ADD_FAILURE() << "no exception";
    } catch (const ChatTemplateError& e) {
        EXPECT_EQ(e.kind(), ChatTemplateErrorKind::limit);
        EXPECT_EQ(std::string(e.what()),
                  "t: line 1: a namespace holds values at most 256 levels deep");
    }
    EXPECT_THROW_MSG(ChatTemplate::parse("{{ x }}", "t")
                         .renderJson(std::string(300, '[') + std::string(300, ']')),
                     std::invalid_argument, "t: variables: JSON nests deeper than 256 levels");
}

TEST(ChatTemplateInputs, ContextAndMessagesAreChecked) {
    const ChatTemplate tmpl = ChatTemplate::parse("{{ messages | length }}{{ extra }}", "t");
    ChatContext context;
    context.messages = {{"user", "hi"}};
    context.variables_json = R"({"extra": "!"})";
    EXPECT_EQ(tmpl.render(context), "1!");
    context.variables_json = R"({"messages": []})";
    EXPECT_THROW_MSG(tmpl.render(context), std::invalid_argument,
                     "t: variables: messages is given twice");
    context.variables_json = "[1]";
    EXPECT_THROW_MSG(tmpl.render(context), std::invalid_argument,
                     "t: variables: not a JSON object");
    context.variables_json = "{";
    EXPECT_THROW_MSG(tmpl.render(context), std::invalid_argument,
                     "t: variables: not well-formed JSON");
    context.variables_json.clear();
    context.messages = {{"user", "\xc3"}};
    EXPECT_THROW_MSG(tmpl.render(context), std::invalid_argument,
                     "t: variables: a message is not valid UTF-8");
    EXPECT_THROW_MSG(tmpl.renderJson(R"({"n": 18446744073709551615})"), std::invalid_argument,
                     "t: variables: integer 18446744073709551615 does not fit in 64 bits");
    EXPECT_THROW_MSG(ChatTemplate::parse("{{ strftime_now('%Y') }}", "t").renderJson("{}"),
                     ChatTemplateError, "t: line 1: strftime_now: no current time was given");

    const std::vector<ChatMessage> messages = chatMessagesFromJson(
        R"([{"role": "user", "content": "a"}, {"content": "b", "role": "assistant"}])", "m.json");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].role, "assistant");
    EXPECT_EQ(messages[1].content, "b");
    const ErrorCase bad[] = {
        {R"({"role": "user"})", "m.json: messages must be a JSON array"},
        {R"([1])", "m.json: messages[0] is not an object"},
        {R"([{"role": "user", "content": "a"}, {"role": "user"}])",
         "m.json: messages[1] has no content"},
        {R"([{"role": "user", "content": 3}])", "m.json: messages[0].content is not a string"},
        {R"([{"role": "user", "content": "a", "name": "x"}])",
         "m.json: messages[0] has the key \"name\"; only role and content are read"},
        {"[", "m.json: not well-formed JSON"},
    };
    for (const ErrorCase& c : bad) {
        SCOPED_TRACE(c.source);
        EXPECT_THROW_MSG(chatMessagesFromJson(c.source, "m.json"), std::invalid_argument,
                         c.message);
    }
}

}  // namespace

#pragma once

#include <string>

#include "tarvel/chat/chat_template.hpp"
#include "tarvel/chat/detail/syntax.hpp"

namespace Nuvexis::Core::Tarvel::detail::chat {

// Renders a parsed template with these variables (a mapping of string keys). Throws
// ChatTemplateError "<name>: line L: <problem>".
std::string renderProgram(const TemplateProgram& program, const std::string& name,
                          const Mapping& variables, const ChatRenderOptions& options);

}  // namespace Nuvexis::Core::Tarvel::detail::chat

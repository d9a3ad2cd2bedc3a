#include "tarvel/tokenizer/detail/tokenizer_json_reader.hpp"

#include <nlohmann/json.hpp>

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "tarvel/tokenizer/detail/json_tokenizer.hpp"
#include "tarvel/tokenizer/detail/utf8.hpp"

namespace Nuvexis::Core::Tarvel::detail {
namespace {

using Json = nlohmann::json;

// A value from the file as a message shows it: a plain word as it is, anything else quoted and
// escaped (so a message stays one line) and cut short.
std::string describe(std::string_view value) {
    constexpr std::size_t longest = 64;
    bool plain = !value.empty() && value.size() <= longest;
    for (const char c : value) {
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_');
    }
    if (plain) return std::string(value);
    std::string shown = Json(std::string(value)).dump(-1, ' ', true);
    if (shown.size() > longest) shown = shown.substr(0, longest) + "...";
    return shown;
}

std::string member(const std::string& path, std::string_view key) {
    return path + "." + std::string(key);
}

std::string element(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

class Reader {
  public:
    explicit Reader(std::string_view name) : name_(name) {}

    std::unique_ptr<TokenizerBackend> read(std::string_view bytes) {
        const Json root = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
        if (root.is_discarded()) fail("tokenizer file is not well-formed JSON");
        if (!root.is_object()) fail("tokenizer file is not a JSON object");
        allowOnly(root, "",
                  {"version", "truncation", "padding", "added_tokens", "normalizer",
                   "pre_tokenizer", "model", "post_processor", "decoder"});
        if (const Json* version = field(root, "version"); version && !version->is_string()) {
            fail("version must be a string");
        }
        for (const char* absent : {"truncation", "padding"}) {
            if (const Json* value = field(root, absent); value && !value->is_null()) {
                fail(std::string(absent) + " is not supported; it must be null");
            }
        }
        const Json* model_json = field(root, "model");
        if (model_json == nullptr) fail("model is missing");
        model(*model_json);
        if (const Json* added = field(root, "added_tokens")) addedTokens(*added);
        known_.assign(parts_.piece_count, false);
        for (const auto& [text, id] : vocabulary_) known_[id] = true;
        for (const AddedToken& token : parts_.added_tokens) known_[token.id] = true;

        if (const Json* value = field(root, "normalizer"); value && !value->is_null()) {
            normalizer(*value, "normalizer", 0);
        }
        if (const Json* value = field(root, "pre_tokenizer"); value && !value->is_null()) {
            preTokenizer(*value, "pre_tokenizer", 0);
        }
        if (const Json* value = field(root, "post_processor"); value && !value->is_null()) {
            postProcessor(*value, "post_processor", 0);
        }
        if (const Json* value = field(root, "decoder"); value && !value->is_null()) {
            parts_.has_decoder = true;
            decoder(*value, "decoder", 0);
        }
        parts_.model = BpeModel(std::move(vocabulary_), merges_, options_);
        return makeJsonTokenizer(std::move(parts_), name_);
    }

  private:
    [[noreturn]] void fail(const std::string& problem) const {
        throw std::invalid_argument(name_ + ": " + problem);
    }

    static const Json* field(const Json& object, std::string_view key) {
        const auto found = object.find(key);
        return found == object.end() ? nullptr : &*found;
    }

    void allowOnly(const Json& object, const std::string& path,
                   std::initializer_list<std::string_view> keys) const {
        for (const auto& [key, value] : object.items()) {
            bool known = false;
            for (const std::string_view k : keys) known = known || key == k;
            if (!known) {
                fail(path.empty() ? describe(key) + " is not supported"
                                  : path + " option " + describe(key) + " is not supported");
            }
        }
    }

    bool flag(const Json& object, const std::string& path, std::string_view key,
              std::optional<bool> fallback) const {
        const Json* value = field(object, key);
        if (value == nullptr) {
            if (!fallback) fail(member(path, key) + " is missing");
            return *fallback;
        }
        if (!value->is_boolean()) fail(member(path, key) + " must be true or false");
        return value->get<bool>();
    }

    std::string text(const Json& value, const std::string& path) const {
        if (!value.is_string()) fail(path + " must be a string");
        const auto& s = value.get_ref<const std::string&>();
        if (s.size() > max_text_bytes) {
            fail(path + " is longer than " + std::to_string(max_text_bytes) + " bytes");
        }
        return s;
    }

    std::string requiredText(const Json& object, const std::string& path,
                             std::string_view key) const {
        const Json* value = field(object, key);
        if (value == nullptr) fail(member(path, key) + " is missing");
        return text(*value, member(path, key));
    }

    std::string character(const Json& object, const std::string& path, std::string_view key) const {
        const std::string s = requiredText(object, path, key);
        if (s.empty() || codePointAt(s, 0).length != s.size()) {
            fail(member(path, key) + " must be one character");
        }
        return s;
    }

    static std::optional<std::uint64_t> unsignedValue(const Json& value) {
        if (value.is_number_unsigned()) return value.get<std::uint64_t>();
        if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
            return static_cast<std::uint64_t>(value.get<std::int64_t>());
        }
        return std::nullopt;
    }

    std::uint64_t count(const Json& object, const std::string& path, std::string_view key,
                        std::optional<std::uint64_t> fallback) const {
        const Json* value = field(object, key);
        if (value == nullptr) {
            if (!fallback) fail(member(path, key) + " is missing");
            return *fallback;
        }
        const auto n = unsignedValue(*value);
        if (!n) fail(member(path, key) + " must be a non-negative integer");
        return *n;
    }

    std::uint32_t tokenIdValue(const Json& value, const std::string& path) const {
        const auto n = unsignedValue(value);
        if (!n) fail(path + " must be a non-negative integer");
        if (*n > max_token_id) fail(path + " is larger than " + std::to_string(max_token_id));
        return static_cast<std::uint32_t>(*n);
    }

    const Json& list(const Json& object, const std::string& path, std::string_view key) const {
        const Json* value = field(object, key);
        if (value == nullptr) fail(member(path, key) + " is missing");
        if (!value->is_array()) fail(member(path, key) + " must be a list");
        return *value;
    }

    // The object's "type", after checking that it is an object with one.
    std::string componentType(const Json& value, const std::string& path) const {
        if (!value.is_object()) fail(path + " must be an object");
        const Json* type = field(value, "type");
        if (type == nullptr) fail(path + " has no type");
        if (!type->is_string()) fail(member(path, "type") + " must be a string");
        return type->get<std::string>();
    }

    [[noreturn]] void unsupportedType(const std::string& path, const std::string& type) const {
        fail(path + " type " + describe(type) + " is not supported");
    }

    void nested(const std::string& path, std::uint64_t depth) const {
        if (depth >= max_nesting) {
            fail(path + " nests Sequences deeper than " + std::to_string(max_nesting));
        }
    }

    template <class Steps>
    void addStep(Steps& steps, typename Steps::value_type step, const std::string& path) const {
        if (steps.size() >= max_steps)
            fail(path + " makes more than " + std::to_string(max_steps) + " steps");
        steps.push_back(std::move(step));
    }

    Pattern pattern(const Json& object, const std::string& path) const {
        const std::string at = member(path, "pattern");
        const Json* value = field(object, "pattern");
        if (value == nullptr) fail(at + " is missing");
        if (!value->is_object() || value->size() != 1 ||
            (!value->contains("String") && !value->contains("Regex"))) {
            fail(at + " must hold one String or Regex");
        }
        if (const Json* literal = field(*value, "String")) {
            std::string s = text(*literal, member(at, "String"));
            if (s.empty()) fail(member(at, "String") + " is empty");
            return Pattern::literal(std::move(s));
        }
        const std::string source = text(*field(*value, "Regex"), member(at, "Regex"));
        if (source.empty()) fail(member(at, "Regex") + " is empty");
        try {
            return Pattern::regex(source);
        } catch (const std::invalid_argument& e) {
            fail(member(at, "Regex") + " does not compile (" + e.what() + ")");
        }
    }

    PrependScheme prependScheme(const Json& object, const std::string& path) const {
        PrependScheme scheme = PrependScheme::always;
        if (const Json* value = field(object, "prepend_scheme")) {
            const std::string s = text(*value, member(path, "prepend_scheme"));
            if (s == "always") {
                scheme = PrependScheme::always;
            } else if (s == "first") {
                scheme = PrependScheme::first;
            } else if (s == "never") {
                scheme = PrependScheme::never;
            } else {
                fail(member(path, "prepend_scheme") + " " + describe(s) + " is not supported");
            }
        }
        // The older spelling: add_prefix_space false goes with the scheme "never" only.
        if (!flag(object, path, "add_prefix_space", true) && scheme != PrependScheme::never) {
            fail(member(path, "add_prefix_space") + " false needs prepend_scheme never");
        }
        if (const Json* value = field(object, "str_rep"))
            (void)text(*value, member(path, "str_rep"));
        return scheme;
    }

    void model(const Json& value) {
        const std::string type = componentType(value, "model");
        if (type != "BPE") unsupportedType("model", type);
        allowOnly(
            value, "model",
            {"type", "dropout", "unk_token", "continuing_subword_prefix", "end_of_word_suffix",
             "fuse_unk", "byte_fallback", "ignore_merges", "vocab", "merges"});
        if (const Json* dropout = field(value, "dropout");
            dropout && !dropout->is_null() &&
            !(dropout->is_number() && dropout->get<double>() == 0.0)) {
            fail("model.dropout is not supported; it must be null");
        }
        for (const char* affix : {"continuing_subword_prefix", "end_of_word_suffix"}) {
            const Json* v = field(value, affix);
            if (v && !v->is_null() &&
                !(v->is_string() && v->get_ref<const std::string&>().empty())) {
                fail(std::string("model.") + affix + " is not supported; it must be null or empty");
            }
        }
        options_.fuse_unk = flag(value, "model", "fuse_unk", false);
        options_.byte_fallback = flag(value, "model", "byte_fallback", false);
        options_.ignore_merges = flag(value, "model", "ignore_merges", false);

        const Json* vocab = field(value, "vocab");
        if (vocab == nullptr) fail("model.vocab is missing");
        if (!vocab->is_object()) fail("model.vocab must be an object");
        if (vocab->empty()) fail("model.vocab is empty");
        if (vocab->size() > max_vocabulary_tokens) {
            fail("model.vocab has more than " + std::to_string(max_vocabulary_tokens) + " tokens");
        }
        std::vector<bool> taken;
        vocabulary_.reserve(vocab->size());
        for (const auto& [token, id_json] : vocab->items()) {
            if (token.size() > max_token_bytes) {
                fail("model.vocab has a token longer than " + std::to_string(max_token_bytes) +
                     " bytes");
            }
            const std::uint32_t id = tokenIdValue(id_json, "model.vocab[" + describe(token) + "]");
            if (id >= taken.size()) taken.resize(std::size_t{id} + 1, false);
            if (taken[id]) fail("model.vocab gives id " + std::to_string(id) + " to two tokens");
            taken[id] = true;
            vocabulary_.emplace(token, id);
            parts_.piece_count = std::max(parts_.piece_count, id + 1);
        }

        if (const Json* unk = field(value, "unk_token"); unk && !unk->is_null()) {
            const std::string token = text(*unk, "model.unk_token");
            const auto found = vocabulary_.find(token);
            if (found == vocabulary_.end()) fail("model.unk_token is not in the vocabulary");
            options_.unk_id = found->second;
        }

        const Json& merges = list(value, "model", "merges");
        if (merges.size() > max_merges) {
            fail("model.merges has more than " + std::to_string(max_merges) + " merges");
        }
        merges_.reserve(merges.size());
        for (std::size_t k = 0; k < merges.size(); ++k) {
            const Json& merge = merges[k];
            const std::string path = element("model.merges", k);
            std::string_view left, right;
            if (merge.is_string()) {
                const std::string& s = merge.get_ref<const std::string&>();
                const std::size_t space = s.find(' ');
                if (space == std::string::npos || s.find(' ', space + 1) != std::string::npos) {
                    fail(path + " must be two tokens separated by one space");
                }
                left = std::string_view(s).substr(0, space);
                right = std::string_view(s).substr(space + 1);
            } else if (merge.is_array() && merge.size() == 2 && merge[0].is_string() &&
                       merge[1].is_string()) {
                left = merge[0].get_ref<const std::string&>();
                right = merge[1].get_ref<const std::string&>();
            } else {
                fail(path + " must be two tokens");
            }
            const auto a = vocabulary_.find(left), b = vocabulary_.find(right);
            if (a == vocabulary_.end() || b == vocabulary_.end()) {
                fail(path + " names a token that is not in the vocabulary");
            }
            const auto merged = vocabulary_.find(std::string(left) + std::string(right));
            if (merged == vocabulary_.end()) {
                fail(path + " makes a token that is not in the vocabulary");
            }
            merges_.push_back({a->second, b->second, merged->second});
        }
    }

    void addedTokens(const Json& value) {
        if (!value.is_array()) fail("added_tokens must be a list");
        if (value.size() > max_added_tokens) {
            fail("added_tokens has more than " + std::to_string(max_added_tokens) + " tokens");
        }
        std::unordered_set<std::uint32_t> ids;
        std::unordered_set<std::string> contents;
        for (std::size_t k = 0; k < value.size(); ++k) {
            const Json& entry = value[k];
            const std::string path = element("added_tokens", k);
            if (!entry.is_object()) fail(path + " must be an object");
            allowOnly(
                entry, path,
                {"id", "content", "single_word", "lstrip", "rstrip", "normalized", "special"});
            AddedToken token;
            const Json* id = field(entry, "id");
            if (id == nullptr) fail(member(path, "id") + " is missing");
            token.id = tokenIdValue(*id, member(path, "id"));
            const Json* content = field(entry, "content");
            if (content == nullptr) fail(member(path, "content") + " is missing");
            if (!content->is_string()) fail(member(path, "content") + " must be a string");
            token.content = content->get<std::string>();
            if (token.content.empty()) fail(member(path, "content") + " is empty");
            if (token.content.size() > max_token_bytes) {
                fail(member(path, "content") + " is longer than " +
                     std::to_string(max_token_bytes) + " bytes");
            }
            token.single_word = flag(entry, path, "single_word", std::nullopt);
            token.lstrip = flag(entry, path, "lstrip", std::nullopt);
            token.rstrip = flag(entry, path, "rstrip", std::nullopt);
            token.normalized = flag(entry, path, "normalized", std::nullopt);
            token.special = flag(entry, path, "special", std::nullopt);
            if (!ids.insert(token.id).second) {
                fail(path + " has id " + std::to_string(token.id) +
                     ", which another added token has");
            }
            if (!contents.insert(token.content).second) {
                fail(path + " has the content of another added token");
            }
            if (const auto in_vocabulary = vocabulary_.find(token.content);
                in_vocabulary != vocabulary_.end() && in_vocabulary->second != token.id) {
                fail(path + " has id " + std::to_string(token.id) +
                     " but the vocabulary gives it " + std::to_string(in_vocabulary->second));
            }
            parts_.piece_count = std::max(parts_.piece_count, token.id + 1);
            parts_.added_tokens.push_back(std::move(token));
        }
        // An added token's id belongs to it alone: a vocabulary token with that id is another
        // text for it.
        std::vector<bool> vocabulary_ids(parts_.piece_count, false);
        for (const auto& [text, id] : vocabulary_) vocabulary_ids[id] = true;
        for (std::size_t k = 0; k < parts_.added_tokens.size(); ++k) {
            const AddedToken& token = parts_.added_tokens[k];
            if (vocabulary_ids[token.id] && vocabulary_.find(token.content) == vocabulary_.end()) {
                fail(element("added_tokens", k) + " has id " + std::to_string(token.id) +
                     ", which a vocabulary token has");
            }
        }
    }

    void normalizer(const Json& value, const std::string& path, std::uint64_t depth) {
        const std::string type = componentType(value, path);
        NormalizerStep step;
        if (type == "Sequence") {
            nested(path, depth);
            allowOnly(value, path, {"type", "normalizers"});
            const Json& members = list(value, path, "normalizers");
            for (std::size_t k = 0; k < members.size(); ++k) {
                normalizer(members[k], element(member(path, "normalizers"), k), depth + 1);
            }
            return;
        }
        if (type == "NFC" || type == "NFKC" || type == "Lowercase") {
            allowOnly(value, path, {"type"});
            step.kind = type == "NFC"    ? NormalizerStep::Kind::nfc
                        : type == "NFKC" ? NormalizerStep::Kind::nfkc
                                         : NormalizerStep::Kind::lowercase;
        } else if (type == "Prepend") {
            allowOnly(value, path, {"type", "prepend"});
            step.kind = NormalizerStep::Kind::prepend;
            step.text = requiredText(value, path, "prepend");
        } else if (type == "Replace") {
            allowOnly(value, path, {"type", "pattern", "content"});
            step.kind = NormalizerStep::Kind::replace;
            step.pattern = pattern(value, path);
            step.text = requiredText(value, path, "content");
        } else {
            unsupportedType(path, type);
        }
        addStep(parts_.normalizers, std::move(step), path);
    }

    void preTokenizer(const Json& value, const std::string& path, std::uint64_t depth) {
        const std::string type = componentType(value, path);
        PreTokenizerStep step;
        if (type == "Sequence") {
            nested(path, depth);
            allowOnly(value, path, {"type", "pretokenizers"});
            const Json& members = list(value, path, "pretokenizers");
            for (std::size_t k = 0; k < members.size(); ++k) {
                preTokenizer(members[k], element(member(path, "pretokenizers"), k), depth + 1);
            }
            return;
        }
        if (type == "Split") {
            allowOnly(value, path, {"type", "pattern", "behavior", "invert"});
            step.kind = PreTokenizerStep::Kind::split;
            step.pattern = pattern(value, path);
            const std::string behavior = requiredText(value, path, "behavior");
            if (behavior == "Removed") {
                step.behavior = SplitBehavior::removed;
            } else if (behavior == "Isolated") {
                step.behavior = SplitBehavior::isolated;
            } else if (behavior == "MergedWithPrevious") {
                step.behavior = SplitBehavior::merged_with_previous;
            } else if (behavior == "MergedWithNext") {
                step.behavior = SplitBehavior::merged_with_next;
            } else if (behavior == "Contiguous") {
                step.behavior = SplitBehavior::contiguous;
            } else {
                fail(member(path, "behavior") + " " + describe(behavior) + " is not supported");
            }
            step.invert = flag(value, path, "invert", false);
        } else if (type == "ByteLevel") {
            allowOnly(value, path, {"type", "add_prefix_space", "trim_offsets", "use_regex"});
            step.kind = PreTokenizerStep::Kind::byte_level;
            step.add_prefix_space = flag(value, path, "add_prefix_space", std::nullopt);
            (void)flag(value, path, "trim_offsets", true);  // offsets only
            step.use_regex = flag(value, path, "use_regex", true);
        } else if (type == "Metaspace") {
            allowOnly(
                value, path,
                {"type", "replacement", "prepend_scheme", "add_prefix_space", "split", "str_rep"});
            step.kind = PreTokenizerStep::Kind::metaspace;
            step.replacement = character(value, path, "replacement");
            step.prepend_scheme = prependScheme(value, path);
            step.split = flag(value, path, "split", true);
        } else if (type == "Digits") {
            allowOnly(value, path, {"type", "individual_digits"});
            step.kind = PreTokenizerStep::Kind::digits;
            step.individual_digits = flag(value, path, "individual_digits", false);
        } else {
            unsupportedType(path, type);
        }
        addStep(parts_.pre_tokenizers, std::move(step), path);
    }

    // A template's ids, in order, for the items before and after the text ($A).
    void templateItems(const Json& value, const std::string& path, const Json& special_tokens,
                       std::vector<std::uint32_t>& before,
                       std::vector<std::uint32_t>& after) const {
        const Json& items = list(value, path, "single");
        const std::string single = member(path, "single");
        if (items.size() > max_template_items) {
            fail(single + " has more than " + std::to_string(max_template_items) + " items");
        }
        bool seen_sequence = false;
        for (std::size_t k = 0; k < items.size(); ++k) {
            const Json& item = items[k];
            const std::string at = element(single, k);
            if (!item.is_object() || item.size() != 1)
                fail(at + " must hold one SpecialToken or Sequence");
            if (const Json* sequence = field(item, "Sequence")) {
                if (!sequence->is_object()) fail(member(at, "Sequence") + " must be an object");
                allowOnly(*sequence, member(at, "Sequence"), {"id", "type_id"});
                const std::string id = requiredText(*sequence, member(at, "Sequence"), "id");
                if (id != "A") fail(member(at, "Sequence.id") + " must be A");
                (void)count(*sequence, member(at, "Sequence"), "type_id", 0);
                if (seen_sequence) fail(single + " holds the text twice");
                seen_sequence = true;
                continue;
            }
            const Json* special = field(item, "SpecialToken");
            if (special == nullptr) fail(at + " must hold one SpecialToken or Sequence");
            if (!special->is_object()) fail(member(at, "SpecialToken") + " must be an object");
            allowOnly(*special, member(at, "SpecialToken"), {"id", "type_id"});
            const std::string name = requiredText(*special, member(at, "SpecialToken"), "id");
            (void)count(*special, member(at, "SpecialToken"), "type_id", 0);
            const Json* entry = field(special_tokens, name);
            if (entry == nullptr) {
                fail(member(at, "SpecialToken.id") + " " + describe(name) +
                     " is not among the special tokens");
            }
            const std::string entry_path =
                member(path, "special_tokens") + "[" + describe(name) + "]";
            if (!entry->is_object()) fail(entry_path + " must be an object");
            allowOnly(*entry, entry_path, {"id", "ids", "tokens"});
            const Json& ids = list(*entry, entry_path, "ids");
            if (ids.size() > max_template_items) {
                fail(member(entry_path, "ids") + " has more than " +
                     std::to_string(max_template_items) + " ids");
            }
            for (std::size_t i = 0; i < ids.size(); ++i) {
                const std::string id_path = element(member(entry_path, "ids"), i);
                const std::uint32_t id = tokenIdValue(ids[i], id_path);
                if (id >= known_.size() || !known_[id])
                    fail(id_path + " is not a token of this tokenizer");
                (seen_sequence ? after : before).push_back(id);
            }
        }
        if (!seen_sequence) fail(single + " does not hold the text");
    }

    void postProcessor(const Json& value, const std::string& path, std::uint64_t depth) {
        const std::string type = componentType(value, path);
        if (type == "Sequence") {
            nested(path, depth);
            allowOnly(value, path, {"type", "processors"});
            const Json& members = list(value, path, "processors");
            for (std::size_t k = 0; k < members.size(); ++k) {
                postProcessor(members[k], element(member(path, "processors"), k), depth + 1);
            }
            return;
        }
        if (type == "ByteLevel") {
            // It adjusts offsets only; the ids are left as they are.
            allowOnly(value, path, {"type", "add_prefix_space", "trim_offsets", "use_regex"});
            for (const char* key : {"add_prefix_space", "trim_offsets", "use_regex"}) {
                (void)flag(value, path, key, true);
            }
            return;
        }
        if (type != "TemplateProcessing") unsupportedType(path, type);
        allowOnly(value, path, {"type", "single", "pair", "special_tokens"});
        const Json* special_tokens = field(value, "special_tokens");
        if (special_tokens == nullptr) fail(member(path, "special_tokens") + " is missing");
        if (!special_tokens->is_object())
            fail(member(path, "special_tokens") + " must be an object");
        (void)list(value, path, "pair");  // pairs of texts are never encoded
        std::vector<std::uint32_t> before, after;
        templateItems(value, path, *special_tokens, before, after);
        // A later processor wraps what the earlier ones made.
        before.insert(before.end(), parts_.prefix.begin(), parts_.prefix.end());
        parts_.prefix = std::move(before);
        parts_.suffix.insert(parts_.suffix.end(), after.begin(), after.end());
        if (parts_.prefix.size() + parts_.suffix.size() > max_template_items) {
            fail(path + " adds more than " + std::to_string(max_template_items) + " ids");
        }
    }

    void decoder(const Json& value, const std::string& path, std::uint64_t depth) {
        const std::string type = componentType(value, path);
        DecoderStep step;
        if (type == "Sequence") {
            nested(path, depth);
            allowOnly(value, path, {"type", "decoders"});
            const Json& members = list(value, path, "decoders");
            for (std::size_t k = 0; k < members.size(); ++k) {
                decoder(members[k], element(member(path, "decoders"), k), depth + 1);
            }
            return;
        }
        if (type == "ByteLevel") {
            allowOnly(value, path, {"type", "add_prefix_space", "trim_offsets", "use_regex"});
            for (const char* key : {"add_prefix_space", "trim_offsets", "use_regex"}) {
                (void)flag(value, path, key, true);  // none changes the text
            }
            step.kind = DecoderStep::Kind::byte_level;
        } else if (type == "Replace") {
            allowOnly(value, path, {"type", "pattern", "content"});
            step.kind = DecoderStep::Kind::replace;
            step.pattern = pattern(value, path);
            step.content = requiredText(value, path, "content");
        } else if (type == "ByteFallback" || type == "Fuse") {
            allowOnly(value, path, {"type"});
            step.kind = type == "Fuse" ? DecoderStep::Kind::fuse : DecoderStep::Kind::byte_fallback;
        } else if (type == "Strip") {
            allowOnly(value, path, {"type", "content", "start", "stop"});
            step.kind = DecoderStep::Kind::strip;
            step.content = character(value, path, "content");
            step.start = count(value, path, "start", std::nullopt);
            step.stop = count(value, path, "stop", std::nullopt);
        } else if (type == "Metaspace") {
            allowOnly(
                value, path,
                {"type", "replacement", "prepend_scheme", "add_prefix_space", "split", "str_rep"});
            step.kind = DecoderStep::Kind::metaspace;
            step.content = character(value, path, "replacement");
            step.prepend_scheme = prependScheme(value, path);
            (void)flag(value, path, "split", true);  // splitting is the pre-tokenizer's
        } else {
            unsupportedType(path, type);
        }
        addStep(parts_.decoders, std::move(step), path);
    }

    std::string name_;
    TokenizerJsonParts parts_;
    TextIdMap vocabulary_;
    std::vector<BpeModel::Merge> merges_;
    BpeOptions options_;
    std::vector<bool> known_;  // ids that have a token
};

}  // namespace

std::unique_ptr<TokenizerBackend> readTokenizerJson(std::string_view bytes, std::string_view name) {
    return Reader(name).read(bytes);
}

}  // namespace Nuvexis::Core::Tarvel::detail

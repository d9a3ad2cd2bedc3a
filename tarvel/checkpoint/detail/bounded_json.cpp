#include "tarvel/checkpoint/detail/bounded_json.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>

namespace Nuvexis::Core::Tarvel::detail {
namespace {

using Json = nlohmann::json;

// Counts while the parser reads and builds nothing, so a refusal costs no memory.
class CountingHandler {
  public:
    CountingHandler(std::string_view file_name, std::string_view what)
        : file_name_(file_name), what_(what) {}

    bool null() { return value(); }
    bool boolean(bool) { return value(); }
    bool number_integer(Json::number_integer_t) { return value(); }
    bool number_unsigned(Json::number_unsigned_t) { return value(); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return value(); }
    bool string(Json::string_t&) { return value(); }
    bool binary(Json::binary_t&) { return value(); }
    bool start_object(std::size_t) { return open(); }
    bool key(Json::string_t&) { return true; }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const Json::exception&) { return false; }

  private:
    [[noreturn]] void fail(const std::string& problem) const {
        throw std::invalid_argument(std::string(file_name_) + ": " + std::string(what_) + " " +
                                    problem);
    }
    bool value() {
        if (++values_ > max_json_values) {
            fail("holds more than " + std::to_string(max_json_values) + " JSON values");
        }
        return true;
    }
    bool open() {
        value();
        if (++depth_ > max_json_depth) {
            fail("nests deeper than " + std::to_string(max_json_depth) + " levels");
        }
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }

    std::string_view file_name_;
    std::string_view what_;
    std::uint64_t depth_ = 0;
    std::uint64_t values_ = 0;
};

}  // namespace

Json parseBoundedJson(std::string_view text, std::string_view file_name, std::string_view what) {
    CountingHandler counter(file_name, what);
    if (!Json::sax_parse(text.begin(), text.end(), &counter)) return Json(Json::value_t::discarded);
    // Within the bounds, and well-formed: the plain parser (no callback) is linear too.
    return Json::parse(text.begin(), text.end(), nullptr, false);
}

}  // namespace Nuvexis::Core::Tarvel::detail

#include "tarvel/reference/npy.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Nuvexis::Core::Tarvel {
namespace {

constexpr std::string_view magic("\x93NUMPY", 6);
// A header far past any real one is refused before it is parsed.
constexpr std::size_t max_header = 1 << 20;

// Control bytes a header echoed into the message are written as \xNN, so it stays one line.
[[noreturn]] void refuse(const std::string& what) {
    std::string line = "npy: ";
    for (const char c : what) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            static constexpr char hex[] = "0123456789abcdef";
            line += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        } else {
            line += c;
        }
    }
    throw std::invalid_argument(line);
}

std::uint64_t readLittle(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{bytes[at + i]} << (8 * i);
    return value;
}

double halfToDouble(std::uint16_t h) {
    const int exponent = (h >> 10) & 0x1f;
    const int fraction = h & 0x3ff;
    double magnitude = 0.0;
    if (exponent == 0) {
        magnitude = std::ldexp(static_cast<double>(fraction), -24);
    } else if (exponent == 31) {
        magnitude = fraction == 0 ? std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::quiet_NaN();
    } else {
        magnitude = std::ldexp(static_cast<double>(fraction | 0x400), exponent - 25);
    }
    return (h & 0x8000) != 0 ? -magnitude : magnitude;
}

// The header dictionary, a Python literal such as
// {'descr': '<f8', 'fortran_order': False, 'shape': (3, 4), }
class HeaderParser {
  public:
    explicit HeaderParser(std::string_view text) : text_(text) {}

    void parse(std::string& descr, std::optional<bool>& fortran,
               std::optional<std::vector<std::uint64_t>>& shape) {
        bool has_descr = false;
        skip();
        expect('{');
        for (;;) {
            skip();
            if (peek('}')) break;
            const std::string key = quoted();
            skip();
            expect(':');
            skip();
            if (key == "descr") {
                if (has_descr) refuse("header repeats 'descr'");
                descr = quoted();
                has_descr = true;
            } else if (key == "fortran_order") {
                if (fortran) refuse("header repeats 'fortran_order'");
                fortran = boolean();
            } else if (key == "shape") {
                if (shape) refuse("header repeats 'shape'");
                shape = tuple();
            } else {
                refuse("header has an unknown key '" + key + "'");
            }
            skip();
            if (peek(',')) continue;
            skip();
            expect('}');
            break;
        }
        skip();
        if (at_ != text_.size()) refuse("header has text after its dictionary");
        if (!has_descr) refuse("header lacks 'descr'");
        if (!fortran) refuse("header lacks 'fortran_order'");
        if (!shape) refuse("header lacks 'shape'");
    }

  private:
    void skip() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n')) ++at_;
    }
    bool peek(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!peek(c)) refuse("header is not a dictionary literal");
    }
    std::string quoted() {
        if (at_ >= text_.size() || (text_[at_] != '\'' && text_[at_] != '"'))
            refuse("header is not a dictionary literal");
        const char quote = text_[at_++];
        const std::size_t end = text_.find(quote, at_);
        if (end == std::string_view::npos) refuse("header is not a dictionary literal");
        std::string value(text_.substr(at_, end - at_));
        at_ = end + 1;
        return value;
    }
    bool boolean() {
        if (text_.substr(at_, 4) == "True") {
            at_ += 4;
            return true;
        }
        if (text_.substr(at_, 5) == "False") {
            at_ += 5;
            return false;
        }
        refuse("'fortran_order' is not True or False");
    }
    std::vector<std::uint64_t> tuple() {
        if (!peek('(')) refuse("'shape' is not a tuple of sizes");
        std::vector<std::uint64_t> dims;
        for (;;) {
            skip();
            if (peek(')')) return dims;
            const std::size_t start = at_;
            std::uint64_t value = 0;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
                const std::uint64_t digit = static_cast<std::uint64_t>(text_[at_] - '0');
                if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
                    refuse("'shape' has a size past 64 bits");
                value = value * 10 + digit;
                ++at_;
            }
            if (at_ == start || dims.size() == 32) refuse("'shape' is not a tuple of sizes");
            dims.push_back(value);
            skip();
            if (peek(',')) continue;
            skip();
            if (!peek(')')) refuse("'shape' is not a tuple of sizes");
            return dims;
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

std::vector<std::uint8_t> npyBytes(std::span<const std::uint64_t> shape,
                                   std::span<const double> values) {
    std::uint64_t count = 1;
    for (const std::uint64_t d : shape) {
        if (d != 0 && count > std::numeric_limits<std::uint64_t>::max() / d)
            throw std::invalid_argument("npy shape does not match its values");
        count *= d;
    }
    if (count != values.size()) throw std::invalid_argument("npy shape does not match its values");
    std::string header = "{'descr': '<f8', 'fortran_order': False, 'shape': (";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        header += std::to_string(shape[i]);
        if (shape.size() == 1 || i + 1 < shape.size()) header += ",";
        if (i + 1 < shape.size()) header += " ";
    }
    header += "), }";
    // Magic, version and length take 10 bytes; the whole preamble is a multiple of 64.
    const std::size_t unpadded = 10 + header.size() + 1;
    header.append((64 - unpadded % 64) % 64, ' ');
    header += '\n';
    if (header.size() > 0xffff) throw std::invalid_argument("npy shape does not match its values");
    std::vector<std::uint8_t> bytes(magic.begin(), magic.end());
    bytes.push_back(1);
    bytes.push_back(0);
    bytes.push_back(static_cast<std::uint8_t>(header.size() & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(header.size() >> 8));
    bytes.insert(bytes.end(), header.begin(), header.end());
    const std::size_t start = bytes.size();
    bytes.resize(start + values.size() * 8);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(values[i]);
        for (std::size_t b = 0; b < 8; ++b)
            bytes[start + i * 8 + b] = static_cast<std::uint8_t>(bits >> (8 * b));
    }
    return bytes;
}

NpyArray readNpy(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 8 || std::memcmp(bytes.data(), magic.data(), magic.size()) != 0)
        refuse("not a NumPy .npy file");
    const std::uint8_t major = bytes[6];
    if (major < 1 || major > 3 || bytes[7] != 0)
        refuse("version " + std::to_string(major) + "." + std::to_string(bytes[7]) +
               " is not supported");
    const std::size_t length_size = major == 1 ? 2 : 4;
    if (bytes.size() < 8 + length_size) refuse("file ends inside its header");
    const std::uint64_t header_size = readLittle(bytes, 8, length_size);
    const std::size_t header_start = 8 + length_size;
    if (header_size > max_header) refuse("header is too long");
    if (header_size > bytes.size() - header_start) refuse("file ends inside its header");
    const std::string_view header(reinterpret_cast<const char*>(bytes.data()) + header_start,
                                  static_cast<std::size_t>(header_size));
    std::string descr;
    std::optional<bool> fortran;
    std::optional<std::vector<std::uint64_t>> shape;
    HeaderParser(header).parse(descr, fortran, shape);

    std::size_t width = 0;
    if (descr == "<f8") {
        width = 8;
    } else if (descr == "<f4") {
        width = 4;
    } else if (descr == "<f2") {
        width = 2;
    } else {
        refuse("dtype '" + descr + "' is not little-endian float16, float32 or float64");
    }
    if (*fortran && shape->size() > 1) refuse("Fortran-ordered arrays are not supported");
    std::uint64_t count = 1;
    for (const std::uint64_t d : *shape) {
        if (d != 0 && count > std::numeric_limits<std::uint64_t>::max() / d)
            refuse("shape holds more values than 64 bits count");
        count *= d;
    }
    const std::size_t data_start = header_start + static_cast<std::size_t>(header_size);
    const std::size_t available = bytes.size() - data_start;
    const bool beyond = count > std::numeric_limits<std::uint64_t>::max() / width;
    if (beyond || count * width != available) {
        refuse("data is " + std::to_string(available) + " bytes; the shape needs " +
               (beyond ? std::string("more than 64 bits count") : std::to_string(count * width)));
    }
    NpyArray array;
    array.shape = std::move(*shape);
    array.values.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < array.values.size(); ++i) {
        const std::uint64_t bits = readLittle(bytes, data_start + i * width, width);
        if (width == 8) {
            array.values[i] = std::bit_cast<double>(bits);
        } else if (width == 4) {
            array.values[i] =
                static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
        } else {
            array.values[i] = halfToDouble(static_cast<std::uint16_t>(bits));
        }
    }
    return array;
}

}  // namespace Nuvexis::Core::Tarvel

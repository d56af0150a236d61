// A small JSON value for the virtual device's models, journal and control API.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace sim {

class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>;  // keeps the order of the document

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool b) : v_(b) {}
    Json(int i) : v_(int64_t(i)) {}
    Json(unsigned i) : v_(int64_t(i)) {}
    Json(long i) : v_(int64_t(i)) {}
    Json(unsigned long i) : v_(int64_t(i)) {}
    Json(long long i) : v_(int64_t(i)) {}
    Json(unsigned long long i) : v_(int64_t(i)) {}
    Json(double d) : v_(d) {}
    Json(float f) : v_(double(f)) {}
    Json(const char* s) { if (s) v_ = std::string(s); }
    Json(std::string s) : v_(std::move(s)) {}
    Json(std::string_view s) : v_(std::string(s)) {}
    Json(Array a) : v_(std::move(a)) {}
    Json(Object o) : v_(std::move(o)) {}

    bool is_null() const { return v_.index() == 0; }
    bool is_bool() const { return v_.index() == 1; }
    bool is_int() const { return v_.index() == 2; }
    bool is_number() const { return v_.index() == 2 || v_.index() == 3; }
    bool is_string() const { return v_.index() == 4; }
    bool is_array() const { return v_.index() == 5; }
    bool is_object() const { return v_.index() == 6; }

    bool as_bool() const { return std::get<bool>(v_); }
    int64_t as_int() const { return std::get<int64_t>(v_); }
    double as_double() const { return is_int() ? double(as_int()) : std::get<double>(v_); }
    const std::string& as_string() const { return std::get<std::string>(v_); }
    const Array& as_array() const { return std::get<Array>(v_); }
    Array& as_array() { return std::get<Array>(v_); }
    const Object& as_object() const { return std::get<Object>(v_); }
    Object& as_object() { return std::get<Object>(v_); }

    // Object member lookup; null when absent or not an object.
    const Json* find(std::string_view key) const;
    // Object member, created (as null) when absent; turns a null into an object.
    Json& operator[](std::string_view key);
    Json& push(Json v) { if (is_null()) v_ = Array{}; as_array().push_back(std::move(v)); return as_array().back(); }

    // Compact JSON; non-finite numbers are written NaN, Infinity and -Infinity (as Python's json
    // module writes and reads them).
    std::string dump() const;
    const char* type_name() const;

private:
    std::variant<std::nullptr_t, bool, int64_t, double, std::string, Array, Object> v_;
};

// The length of the longest prefix of `s` that is valid UTF-8.
size_t utf8_prefix(std::string_view s);

// A text of a model or of the control interface: a JSON string, or the escape object
// {"bytes": "<hex>"} for any bytes (those that are not valid UTF-8, which a JSON string cannot
// hold). text_json gives the string where it is valid UTF-8, else the escape object; text_from
// reads either (the bytes must not hold a NUL: a text of the library ends at its first one), false
// with the problem.
Json text_json(const std::string& text);
bool text_from(const Json& value, std::string& out, std::string& problem);

// Bytes in hexadecimal (lower case), and back: hex_bytes reads pairs of digits of either case,
// passing over blanks, and fails on anything else or an odd digit.
std::string hex_of(const unsigned char* p, size_t n);
bool hex_bytes(std::string_view hex, std::string& out);

// Parses a document; on failure returns false and sets `error` to the place and the problem, to be
// appended to the document's name: ":line:column: problem" for malformed text, ": /path: problem"
// for a duplicate member name or nesting deeper than 64 levels.
bool parse_json(std::string_view text, Json& out, std::string& error);

// Reads typed members of a model document and reports the first problem with its place.
class Reader {
public:
    explicit Reader(std::string where) : where_(std::move(where)) {}
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    void fail(const std::string& path, const std::string& problem) {
        if (error_.empty()) error_ = where_ + ": " + (path.empty() ? "/" : path) + ": " + problem;
    }

    // Each getter leaves `out` alone when the member is absent and reports a wrong type.
    bool get(const Json& obj, const std::string& path, std::string_view key, int64_t& out);
    bool get(const Json& obj, const std::string& path, std::string_view key, int& out);
    bool get(const Json& obj, const std::string& path, std::string_view key, double& out);
    bool get(const Json& obj, const std::string& path, std::string_view key, float& out);
    bool get(const Json& obj, const std::string& path, std::string_view key, bool& out);
    bool get(const Json& obj, const std::string& path, std::string_view key, std::string& out);
    bool get(const Json& obj, const std::string& path, std::string_view key, std::vector<std::string>& out);
    // Checks that `obj` has no members besides `known`.
    void only(const Json& obj, const std::string& path, std::initializer_list<std::string_view> known) {
        only(obj, path, std::vector<std::string_view>(known));
    }
    void only(const Json& obj, const std::string& path, const std::vector<std::string_view>& known);
    // The member as an array (or null when absent); reports a wrong type.
    const Json::Array* array(const Json& obj, const std::string& path, std::string_view key);
    const Json* object(const Json& obj, const std::string& path, std::string_view key);

private:
    // A text at `path` (see text_from); reports what it is not.
    bool text(const Json& value, const std::string& path, std::string& out);
    // The member when present and of the type `is` tests (null when absent); reports another type
    // as "expected <expected>, found <its type>".
    const Json* typed(const Json& obj, const std::string& path, std::string_view key, bool (Json::*is)() const,
                      const char* expected);

    std::string where_;
    std::string error_;
};

}  // namespace sim

#include "json.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include <nlohmann/json.hpp>

namespace sim {

const Json* Json::find(std::string_view key) const {
    if (!is_object()) return nullptr;
    for (auto& [k, v] : as_object())
        if (k == key) return &v;
    return nullptr;
}

Json& Json::operator[](std::string_view key) {
    if (is_null()) v_ = Object{};
    for (auto& [k, v] : as_object())
        if (k == key) return v;
    as_object().emplace_back(std::string(key), Json());
    return as_object().back().second;
}

const char* Json::type_name() const {
    static const char* names[] = {"null", "a boolean", "an integer", "a number", "a string", "an array", "an object"};
    return names[v_.index()];
}

size_t utf8_prefix(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size()) return i;
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t >> 6) != 0x2) return i;
            cp = (cp << 6) | (t & 0x3F);
        }
        static const uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return i;  // overlong, surrogate
        i += n;
    }
    return i;
}

std::string hex_of(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = digits[p[i] >> 4];
        s[2 * i + 1] = digits[p[i] & 15];
    }
    return s;
}

bool hex_bytes(std::string_view hex, std::string& out) {
    out.clear();
    int nib = -1;
    for (char c : hex) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else if (c == ' ') continue;
        else return false;
        if (nib < 0) nib = d;
        else { out += char(nib * 16 + d); nib = -1; }
    }
    return nib < 0;
}

Json text_json(const std::string& text) {
    if (utf8_prefix(text) == text.size()) return Json(text);
    Json escape;
    escape["bytes"] = hex_of(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return escape;
}

bool text_from(const Json& value, std::string& out, std::string& problem) {
    if (value.is_string()) {
        out = value.as_string();
        return true;
    }
    const Json* hex = value.is_object() && value.as_object().size() == 1 ? value.find("bytes") : nullptr;
    if (!hex) {
        problem = std::string("expected a string or {\"bytes\": \"<hex>\"}, found ") + value.type_name();
        return false;
    }
    std::string bytes;
    if (!hex->is_string() || !hex_bytes(hex->as_string(), bytes)) {
        problem = "expected the bytes as pairs of hexadecimal digits";
        return false;
    }
    if (bytes.find('\0') != std::string::npos) {
        problem = "a text cannot hold a NUL byte (the library's texts end at their first one)";
        return false;
    }
    out = std::move(bytes);
    return true;
}

// Texts are written as UTF-8; a byte that is not part of valid UTF-8 becomes U+FFFD, so that the
// output always decodes (the journal records such texts as bytes instead, see Call::arg).
static void dump_string(const std::string& text, std::string& out) {
    std::string valid;
    const std::string* source = &text;
    if (utf8_prefix(text) != text.size()) {
        std::string_view rest = text;
        while (!rest.empty()) {
            size_t n = utf8_prefix(rest);
            valid.append(rest.substr(0, n));
            if (n == rest.size()) break;
            valid += "\xEF\xBF\xBD";
            rest.remove_prefix(n + 1);
        }
        source = &valid;
    }
    const std::string& s = *source;
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
}

static void dump_to(const Json& j, std::string& out) {
    if (j.is_null()) out += "null";
    else if (j.is_bool()) out += j.as_bool() ? "true" : "false";
    else if (j.is_int()) out += std::to_string(j.as_int());
    else if (j.is_number()) {
        double d = j.as_double();
        // Not JSON proper, but what Python's json module reads back as the same float.
        if (std::isnan(d)) { out += "NaN"; return; }
        if (std::isinf(d)) { out += d > 0 ? "Infinity" : "-Infinity"; return; }
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        out += buf;
        if (!std::strpbrk(buf, ".eE")) out += ".0";
    } else if (j.is_string()) dump_string(j.as_string(), out);
    else if (j.is_array()) {
        out += '[';
        bool first = true;
        for (auto& v : j.as_array()) { if (!first) out += ','; first = false; dump_to(v, out); }
        out += ']';
    } else {
        out += '{';
        bool first = true;
        for (auto& [k, v] : j.as_object()) {
            if (!first) out += ',';
            first = false;
            dump_string(k, out);
            out += ':';
            dump_to(v, out);
        }
        out += '}';
    }
}

std::string Json::dump() const {
    std::string out;
    dump_to(*this, out);
    return out;
}

namespace {

// Builds a Json from the events of the parser. Members are kept in document order; a member name
// seen twice in one object, and nesting deeper than kMaxDepth, are refused. Every step is constant
// time (names are checked against a hash set per open object), so a document loads in linear time.
class Builder {
public:
    static constexpr size_t kMaxDepth = 64;
    using Sax = nlohmann::json_sax<nlohmann::json>;

    explicit Builder(std::string_view text) : text_(text) {}

    bool null() { return put(Json()); }
    bool boolean(bool v) { return put(Json(v)); }
    bool number_integer(Sax::number_integer_t v) { return put(Json((long long)v)); }
    // Integers beyond the signed 64-bit range keep their value as a real.
    bool number_unsigned(Sax::number_unsigned_t v) {
        return put(v > uint64_t(INT64_MAX) ? Json(double(v)) : Json((long long)v));
    }
    bool number_float(Sax::number_float_t v, const std::string&) { return put(Json(v)); }
    bool string(std::string& v) { return put(Json(std::move(v))); }
    bool binary(Sax::binary_t&) { return refuse("binary values are not JSON"); }
    bool start_object(size_t) { return open(Json(Json::Object{})); }
    bool start_array(size_t) { return open(Json(Json::Array{})); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(std::string& k) {
        Open& o = stack_.back();
        o.key = std::move(k);
        if (!o.names.insert(o.key).second) return refuse("duplicate member name");
        return true;
    }

    bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception& e) {
        if (error_.empty()) error_ = place(position) + problem(e.what());
        return false;
    }

    // The parsed document, or false with `error` set (see parse_json).
    bool finish(Json& out, std::string& error) {
        if (!error_.empty()) {
            error = error_;
            return false;
        }
        out = std::move(root_);
        return true;
    }

private:
    struct Open {
        Json value;
        std::string key;
        std::unordered_set<std::string> names;
    };

    bool put(Json v) {
        if (stack_.empty()) {
            root_ = std::move(v);
            return true;
        }
        Open& o = stack_.back();
        if (o.value.is_array()) o.value.as_array().push_back(std::move(v));
        else o.value.as_object().emplace_back(std::move(o.key), std::move(v));
        return true;
    }
    bool open(Json v) {
        if (stack_.size() >= kMaxDepth) return refuse("nesting deeper than 64 levels");
        stack_.push_back(Open{std::move(v), {}, {}});
        return true;
    }
    bool close() {
        Json v = std::move(stack_.back().value);
        stack_.pop_back();
        return put(std::move(v));
    }
    // A refusal of the builder itself, placed by the path of the value it concerns.
    bool refuse(const std::string& what) {
        if (!error_.empty()) return false;
        std::string path;
        for (const Open& o : stack_)
            path += "/" + (o.value.is_array() ? std::to_string(o.value.as_array().size()) : o.key);
        error_ = ": " + (path.empty() ? "/" : path) + ": " + what;
        return false;
    }

    // "line:column: " of a byte offset: the parser counts the byte it stopped at as read.
    std::string place(size_t position) const {
        size_t end = std::min(position > 0 ? position - 1 : 0, text_.size());
        size_t line = 1, column = 1;
        for (size_t k = 0; k < end; ++k) {
            if (text_[k] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        char text[48];
        std::snprintf(text, sizeof text, ":%zu:%zu: ", line, column);
        return text;
    }
    // The parser's description without its prefix ("[json.exception...] parse error at line L,
    // column C: "), with the end of the text said plainly.
    static std::string problem(std::string_view what) {
        if (what.find("unexpected end of input") != std::string_view::npos) return "unexpected end of document";
        size_t at = what.find("column ");
        at = at == std::string_view::npos ? 0 : what.find(": ", at);
        return std::string(at == std::string_view::npos ? what : what.substr(at + 2));
    }

    std::string_view text_;
    std::vector<Open> stack_;
    Json root_;
    std::string error_;
};

}  // namespace

bool parse_json(std::string_view text, Json& out, std::string& error) {
    Builder b(text);
    try {
        nlohmann::json::sax_parse(text.begin(), text.end(), &b);
    } catch (const std::exception& e) {  // memory exhausted: nothing else throws with a handler
        error = std::string(": the document cannot be read: ") + e.what();
        return false;
    }
    return b.finish(out, error);
}

// ---- Reader ----

static std::string member(const std::string& path, std::string_view key) {
    return path + "/" + std::string(key);
}

const Json* Reader::typed(const Json& obj, const std::string& path, std::string_view key, bool (Json::*is)() const,
                          const char* expected) {
    const Json* v = obj.find(key);
    if (!v || (v->*is)()) return v;
    fail(member(path, key), std::string("expected ") + expected + ", found " + v->type_name());
    return nullptr;
}

// Copies a member that typed() found into `out`; false when there is none.
template <class T, class As>
static bool assign(const Json* v, T& out, As as) {
    if (v) out = (v->*as)();
    return v != nullptr;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, int64_t& out) {
    return assign(typed(obj, path, key, &Json::is_int, "an integer"), out, &Json::as_int);
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, int& out) {
    int64_t v = out;
    if (!get(obj, path, key, v)) return false;
    if (v < INT32_MIN || v > INT32_MAX) { fail(member(path, key), "integer out of the 32-bit range"); return false; }
    out = int(v);
    return true;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, double& out) {
    return assign(typed(obj, path, key, &Json::is_number, "a number"), out, &Json::as_double);
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, float& out) {
    double d = out;
    if (!get(obj, path, key, d)) return false;
    out = float(d);
    return true;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, bool& out) {
    return assign(typed(obj, path, key, &Json::is_bool, "true or false"), out, &Json::as_bool);
}

bool Reader::text(const Json& value, const std::string& path, std::string& out) {
    std::string problem;
    if (text_from(value, out, problem)) return true;
    fail(path, problem);
    return false;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, std::string& out) {
    const Json* v = obj.find(key);
    return v && text(*v, member(path, key), out);
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, std::vector<std::string>& out) {
    const Json::Array* a = array(obj, path, key);
    if (!a) return false;
    std::vector<std::string> r(a->size());
    for (size_t k = 0; k < a->size(); ++k)
        if (!text((*a)[k], member(path, key) + "/" + std::to_string(k), r[k])) return false;
    out = std::move(r);
    return true;
}

void Reader::only(const Json& obj, const std::string& path, const std::vector<std::string_view>& known) {
    if (!obj.is_object()) { fail(path, std::string("expected an object, found ") + obj.type_name()); return; }
    for (auto& [k, v] : obj.as_object()) {
        bool found = false;
        for (auto n : known) found = found || n == k;
        if (!found) { fail(member(path, k), "unknown member"); return; }
    }
}

const Json::Array* Reader::array(const Json& obj, const std::string& path, std::string_view key) {
    const Json* v = typed(obj, path, key, &Json::is_array, "an array");
    return v ? &v->as_array() : nullptr;
}

const Json* Reader::object(const Json& obj, const std::string& path, std::string_view key) {
    return typed(obj, path, key, &Json::is_object, "an object");
}

}  // namespace sim

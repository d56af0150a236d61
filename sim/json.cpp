#include "json.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>

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

static void dump_string(const std::string& s, std::string& out) {
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
        if (!std::isfinite(d)) { out += "null"; return; }
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

struct Parser {
    std::string_view s;
    size_t i = 0;
    std::string error;
    int depth = 0;

    bool fail(const char* what) {
        if (error.empty()) {
            size_t line = 1, col = 1;
            for (size_t k = 0; k < i && k < s.size(); ++k) {
                if (s[k] == '\n') { ++line; col = 1; } else ++col;
            }
            error = std::to_string(line) + ":" + std::to_string(col) + ": " + what;
        }
        return false;
    }
    void ws() { while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i; }
    bool lit(const char* word, Json v, Json& out) {
        size_t n = std::strlen(word);
        if (s.substr(i, n) != word) return fail("unexpected character");
        i += n;
        out = std::move(v);
        return true;
    }
    static void utf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) out += char(cp);
        else if (cp < 0x800) { out += char(0xC0 | (cp >> 6)); out += char(0x80 | (cp & 0x3F)); }
        else if (cp < 0x10000) { out += char(0xE0 | (cp >> 12)); out += char(0x80 | ((cp >> 6) & 0x3F)); out += char(0x80 | (cp & 0x3F)); }
        else { out += char(0xF0 | (cp >> 18)); out += char(0x80 | ((cp >> 12) & 0x3F)); out += char(0x80 | ((cp >> 6) & 0x3F)); out += char(0x80 | (cp & 0x3F)); }
    }
    bool hex4(uint32_t& cp) {
        if (i + 4 > s.size()) return fail("truncated \\u escape");
        cp = 0;
        for (int k = 0; k < 4; ++k) {
            char c = s[i++];
            cp <<= 4;
            if (c >= '0' && c <= '9') cp |= c - '0';
            else if (c >= 'a' && c <= 'f') cp |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') cp |= c - 'A' + 10;
            else return fail("bad \\u escape");
        }
        return true;
    }
    bool string(std::string& out) {
        ++i;  // opening quote
        while (true) {
            if (i >= s.size()) return fail("unterminated string");
            char c = s[i];
            if (c == '"') { ++i; return true; }
            if (static_cast<unsigned char>(c) < 0x20) return fail("control character in string");
            if (c != '\\') { out += c; ++i; continue; }
            if (++i >= s.size()) return fail("unterminated string");
            char e = s[i++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp < 0xDC00 && s.substr(i, 2) == "\\u") {
                    size_t save = i;
                    i += 2;
                    uint32_t lo = 0;
                    if (!hex4(lo)) return false;
                    if (lo >= 0xDC00 && lo < 0xE000) cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    else i = save;
                }
                utf8(out, cp);
                break;
            }
            default: --i; return fail("bad escape in string");
            }
        }
    }
    bool number(Json& out) {
        size_t start = i;
        if (s[i] == '-') ++i;
        if (i >= s.size() || !(s[i] >= '0' && s[i] <= '9')) return fail("bad number");
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        bool real = false;
        if (i < s.size() && s[i] == '.') {
            real = true;
            ++i;
            if (i >= s.size() || !(s[i] >= '0' && s[i] <= '9')) return fail("bad number");
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        }
        if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
            real = true;
            ++i;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
            if (i >= s.size() || !(s[i] >= '0' && s[i] <= '9')) return fail("bad number");
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        }
        std::string text(s.substr(start, i - start));
        if (!real) {
            errno = 0;
            long long v = std::strtoll(text.c_str(), nullptr, 10);
            if (errno == 0) { out = Json(v); return true; }
            // Integers beyond 64 bits keep their value as a real.
        }
        out = Json(std::strtod(text.c_str(), nullptr));
        return true;
    }
    bool value(Json& out) {
        ws();
        if (i >= s.size()) return fail("unexpected end of document");
        if (++depth > 64) return fail("nesting too deep");
        bool ok;
        char c = s[i];
        if (c == '{') ok = object(out);
        else if (c == '[') ok = array(out);
        else if (c == '"') { std::string str; ok = string(str); if (ok) out = Json(std::move(str)); }
        else if (c == 't') ok = lit("true", Json(true), out);
        else if (c == 'f') ok = lit("false", Json(false), out);
        else if (c == 'n') ok = lit("null", Json(), out);
        else if (c == '-' || (c >= '0' && c <= '9')) ok = number(out);
        else ok = fail("unexpected character");
        --depth;
        return ok;
    }
    bool array(Json& out) {
        ++i;
        Json::Array a;
        ws();
        if (i < s.size() && s[i] == ']') { ++i; out = Json(std::move(a)); return true; }
        while (true) {
            Json v;
            if (!value(v)) return false;
            a.push_back(std::move(v));
            ws();
            if (i >= s.size()) return fail("expected ',' or ']'");
            if (s[i] == ',') { ++i; continue; }
            if (s[i] == ']') { ++i; out = Json(std::move(a)); return true; }
            return fail("expected ',' or ']'");
        }
    }
    bool object(Json& out) {
        ++i;
        Json::Object o;
        ws();
        if (i < s.size() && s[i] == '}') { ++i; out = Json(std::move(o)); return true; }
        while (true) {
            ws();
            if (i >= s.size() || s[i] != '"') return fail("expected a member name");
            std::string key;
            if (!string(key)) return false;
            for (auto& kv : o)
                if (kv.first == key) return fail("duplicate member name");
            ws();
            if (i >= s.size() || s[i] != ':') return fail("expected ':'");
            ++i;
            Json v;
            if (!value(v)) return false;
            o.emplace_back(std::move(key), std::move(v));
            ws();
            if (i >= s.size()) return fail("expected ',' or '}'");
            if (s[i] == ',') { ++i; continue; }
            if (s[i] == '}') { ++i; out = Json(std::move(o)); return true; }
            return fail("expected ',' or '}'");
        }
    }
};

}  // namespace

bool parse_json(std::string_view text, Json& out, std::string& error) {
    Parser p;
    p.s = text;
    Json v;
    if (!p.value(v)) { error = p.error; return false; }
    p.ws();
    if (p.i != text.size()) { p.fail("unexpected text after the document"); error = p.error; return false; }
    out = std::move(v);
    return true;
}

// ---- Reader ----

static std::string member(const std::string& path, std::string_view key) {
    return path + "/" + std::string(key);
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, int64_t& out) {
    const Json* v = obj.find(key);
    if (!v) return false;
    if (!v->is_int()) { fail(member(path, key), std::string("expected an integer, found ") + v->type_name()); return false; }
    out = v->as_int();
    return true;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, int& out) {
    int64_t v = out;
    if (!get(obj, path, key, v)) return false;
    if (v < INT32_MIN || v > INT32_MAX) { fail(member(path, key), "integer out of the 32-bit range"); return false; }
    out = int(v);
    return true;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, double& out) {
    const Json* v = obj.find(key);
    if (!v) return false;
    if (!v->is_number()) { fail(member(path, key), std::string("expected a number, found ") + v->type_name()); return false; }
    out = v->as_double();
    return true;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, float& out) {
    double d = out;
    if (!get(obj, path, key, d)) return false;
    out = float(d);
    return true;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, bool& out) {
    const Json* v = obj.find(key);
    if (!v) return false;
    if (!v->is_bool()) { fail(member(path, key), std::string("expected true or false, found ") + v->type_name()); return false; }
    out = v->as_bool();
    return true;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, std::string& out) {
    const Json* v = obj.find(key);
    if (!v) return false;
    if (!v->is_string()) { fail(member(path, key), std::string("expected a string, found ") + v->type_name()); return false; }
    out = v->as_string();
    return true;
}

bool Reader::get(const Json& obj, const std::string& path, std::string_view key, std::vector<std::string>& out) {
    const Json::Array* a = array(obj, path, key);
    if (!a) return false;
    std::vector<std::string> r;
    for (size_t k = 0; k < a->size(); ++k) {
        if (!(*a)[k].is_string()) { fail(member(path, key) + "/" + std::to_string(k), "expected a string"); return false; }
        r.push_back((*a)[k].as_string());
    }
    out = std::move(r);
    return true;
}

void Reader::only(const Json& obj, const std::string& path, std::initializer_list<std::string_view> known) {
    if (!obj.is_object()) { fail(path, std::string("expected an object, found ") + obj.type_name()); return; }
    for (auto& [k, v] : obj.as_object()) {
        bool found = false;
        for (auto n : known) found = found || n == k;
        if (!found) { fail(member(path, k), "unknown member"); return; }
    }
}

const Json::Array* Reader::array(const Json& obj, const std::string& path, std::string_view key) {
    const Json* v = obj.find(key);
    if (!v) return nullptr;
    if (!v->is_array()) { fail(member(path, key), std::string("expected an array, found ") + v->type_name()); return nullptr; }
    return &v->as_array();
}

const Json* Reader::object(const Json& obj, const std::string& path, std::string_view key) {
    const Json* v = obj.find(key);
    if (!v) return nullptr;
    if (!v->is_object()) { fail(member(path, key), std::string("expected an object, found ") + v->type_name()); return nullptr; }
    return v;
}

}  // namespace sim

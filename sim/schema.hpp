// Model members declared once. Each model struct has
//
//     template <class V> void members(V& v, Board& b) { v("id", b.id); v("powered", b.powered); }
//
// and the generic code below loads it from a document, dumps it back in the same order and lists
// its allowed members from that one declaration. A member is one of:
//   v(key, field)                 a value, a list of values, a nested struct or a list of structs;
//   v.fallback(key, field, other) loaded as `other` (read earlier) when absent;
//   v.state(key, field, now)      loaded into `field`, dumped as now(t) at the dump's clock time t;
//   v(key, field, ok, text)       a value that must satisfy ok(field), else `text` at its place;
//   v(key, ints, ok, text, count) a fixed-length list of integers, each satisfying ok, else `text`
//                                 at its place; `count` is reported for a list of another length;
//   v.group(key, rule, each, ok)  a nested object of members that live in the enclosing struct,
//                                 each(v) visiting them; `rule` is reported at its place for
//                                 out-of-range values and, when `ok` is given, unless ok() holds;
//   v.own(key, load, dump)        a member read its own way: load(obj, path, reader) reads it (also
//                                 when absent) from the enclosing object `obj` at `path`; dump()
//                                 gives its value, or null to leave it out of the dump.
// A member may also be a struct with its own load(x, doc, path, reader) and dump(x).
// A struct may also have `static constexpr const char* rule` and `bool valid(const T&)`: the rule
// is reported at the element's place when the loaded element is not valid or one of its 32-bit
// members is out of range; checks with places and wordings of their own go in
// `void check(Reader&, const std::string& path, const T&)`. Members named `since` start their clock when loaded.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "json.hpp"

namespace sim {

double now();

class Names;

// A struct that declares its members.
template <class T>
concept Model = requires(Names& n, T& x) { members(n, x); };

// A struct that loads and dumps itself.
template <class T>
concept Foreign = !Model<T> && requires(T& x, const Json& j, const std::string& p, Reader& r) {
    load(x, j, p, r);
    { dump(std::as_const(x)) } -> std::same_as<Json>;
};

// The allowed member names of a struct.
class Names {
public:
    std::vector<std::string_view> keys;
    template <class T, class... Rest>
    void operator()(std::string_view key, T&, Rest&&...) { keys.push_back(key); }
    template <class T, class U>
    void fallback(std::string_view key, T&, U&) { keys.push_back(key); }
    template <class T, class F>
    void state(std::string_view key, T&, F&&) { keys.push_back(key); }
    template <class F, class... Ok>
    void group(std::string_view key, const char*, F&&, Ok&&...) { keys.push_back(key); }
    template <class L, class D>
    void own(std::string_view key, L&&, D&&) { keys.push_back(key); }
};

template <class F>
std::vector<std::string_view> group_names(F& each) {
    Names n;
    each(n);
    return n.keys;
}

template <Model T>
const std::vector<std::string_view>& member_names() {
    static const std::vector<std::string_view> keys = [] {
        Names n;
        T x{};
        members(n, x);
        return n.keys;
    }();
    return keys;
}

template <Foreign T>
void load_foreign(T& x, const Json& doc, const std::string& path, Reader& r) { load(x, doc, path, r); }

class Loader {
public:
    Loader(Reader& r, const Json& obj, std::string path, const char* rule)
        : r_(r), obj_(obj), path_(std::move(path)), rule_(rule) {}

    template <class T>
    void operator()(std::string_view key, T& field) { load(key, field); }
    template <class T, class U>
    void fallback(std::string_view key, T& field, const U& other) { field = other; load(key, field); }
    template <class T, class F>
    void state(std::string_view key, T& field, F&&) { load(key, field); }
    template <class T, class P>
    void operator()(std::string_view key, T& field, P ok, const char* text) {
        if (r_.get(obj_, path_, key, field) && !ok(field)) r_.fail(path_ + "/" + std::string(key), text);
    }
    template <size_t N, class P>
    void operator()(std::string_view key, int (&field)[N], P ok, const char* text, const char* count) {
        const Json::Array* a = r_.array(obj_, path_, key);
        if (!a) return;
        std::string path = path_ + "/" + std::string(key);
        if (a->size() != N) r_.fail(path, count);
        for (size_t i = 0; i < a->size() && i < N && r_.ok(); ++i) {
            const Json& v = (*a)[i];
            if (!v.is_int() || !ok(v.as_int())) r_.fail(path + "/" + std::to_string(i), text);
            else field[i] = int(v.as_int());
        }
    }
    template <class F, class... Ok>
    void group(std::string_view key, const char* rule, F&& each, Ok&&... ok) {
        const Json* j = r_.object(obj_, path_, key);
        if (!j) return;
        std::string path = path_ + "/" + std::string(key);
        r_.only(*j, path, group_names(each));
        if (!r_.ok()) return;
        Loader l(r_, *j, path, rule);
        each(l);
        if (r_.ok() && !(ok() && ...)) r_.fail(path, rule);
    }
    template <class L, class D>
    void own(std::string_view, L&& load, D&&) { load(obj_, path_, r_); }

    // Loads the members of `x` from `obj` at `path`, after checking that it has no others.
    template <Model T>
    static void object(Reader& r, const Json& obj, const std::string& path, T& x) {
        r.only(obj, path, member_names<T>());
        if (!r.ok()) return;
        Loader l(r, obj, path, rule_of<T>());
        members(l, x);
        if constexpr (requires { valid(x); })
            if (r.ok() && !valid(x)) r.fail(path, T::rule);
        if constexpr (requires { check(r, path, x); })
            if (r.ok()) check(r, path, x);
        if constexpr (requires { x.since; }) x.since = now();
    }

private:
    template <class T>
    static constexpr const char* rule_of() {
        if constexpr (requires { T::rule; }) return T::rule; else return "expected a 32-bit value";
    }
    template <class T>
    void load(std::string_view key, T& field) { r_.get(obj_, path_, key, field); }
    void load(std::string_view key, uint32_t& field) {
        int64_t v = field;
        if (!r_.get(obj_, path_, key, v)) return;
        if (v < 0 || v > int64_t(UINT32_MAX)) r_.fail(path_, rule_);
        else field = uint32_t(v);
    }
    void load(std::string_view key, uint64_t& field) {
        int64_t v = int64_t(field);
        if (!r_.get(obj_, path_, key, v)) return;
        if (v < 0) r_.fail(path_, rule_);
        else field = uint64_t(v);
    }
    template <Model T>
    void load(std::string_view key, T& field) {
        if (const Json* j = r_.object(obj_, path_, key)) object(r_, *j, path_ + "/" + std::string(key), field);
    }
    template <Foreign T>
    void load(std::string_view key, T& field) {
        if (const Json* j = r_.object(obj_, path_, key)) load_foreign(field, *j, path_ + "/" + std::string(key), r_);
    }
    template <Model T>
    void load(std::string_view key, std::vector<T>& list) {
        const Json::Array* a = r_.array(obj_, path_, key);
        if (!a) return;
        std::vector<T> before = std::move(list);
        list.clear();
        for (size_t i = 0; i < a->size() && r_.ok(); ++i) {
            T x{};
            if constexpr (requires { T::replaces; })
                if (i < before.size()) x = before[i];
            object(r_, (*a)[i], path_ + "/" + std::string(key) + "/" + std::to_string(i), x);
            if (!r_.ok()) break;
            list.push_back(std::move(x));
        }
    }

    Reader& r_;
    const Json& obj_;
    std::string path_;
    const char* rule_;
};

class Dumper {
public:
    Dumper(Json& out, double t) : out_(out), t_(t) {}

    template <class T, class U>
    void fallback(std::string_view key, const T& field, const U&) { out_[key] = value(field, t_); }
    template <class T, class F>
    void state(std::string_view key, const T&, F&& at) { out_[key] = at(t_); }
    template <class T, class... Rest>
    void operator()(std::string_view key, const T& field, Rest&&...) { out_[key] = value(field, t_); }
    template <class F, class... Ok>
    void group(std::string_view key, const char*, F&& each, Ok&&...) {
        Json j = Json(Json::Object{});
        Dumper d(j, t_);
        each(d);
        out_[key] = std::move(j);
    }
    template <class L, class D>
    void own(std::string_view key, L&&, D&& dump) {
        if (Json j = dump(); !j.is_null()) out_[key] = std::move(j);
    }

    // The members of `x` as an object, in their declared order; `t` is the clock time of the dump.
    template <Model T>
    static Json object(const T& x, double t) {
        Json j = Json(Json::Object{});
        Dumper d(j, t);
        members(d, const_cast<T&>(x));  // the dumper only reads
        return j;
    }

private:
    template <class T>
    static Json value(const T& v, double) { return Json(v); }
    static Json value(uint64_t v, double) { return Json((unsigned long long)v); }
    static Json value(const std::string& v, double) { return text_json(v); }
    template <Model T>
    static Json value(const T& v, double t) { return object(v, t); }
    template <Foreign T>
    static Json value(const T& v, double) { return dump(v); }
    template <class T, size_t N>
    static Json value(const T (&list)[N], double t) {
        Json a = Json(Json::Array{});
        for (auto& x : list) a.push(value(x, t));
        return a;
    }
    template <class T>
    static Json value(const std::vector<T>& list, double t) {
        Json a = Json(Json::Array{});
        for (auto& x : list) a.push(value(x, t));
        return a;
    }

    Json& out_;
    double t_;
};

// The whole load and dump of a model struct.
template <Model T>
void load_model(T& x, const Json& doc, const std::string& path, Reader& r) { Loader::object(r, doc, path, x); }
template <Model T>
Json dump_model(const T& x) { return Dumper::object(x, now()); }

}  // namespace sim

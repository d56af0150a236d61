#include "method.hpp"

#include "component.hpp"

#include <cstring>
#include <deque>

namespace zorv {

namespace {

// Texts made for the method tables, kept for the life of the process.
std::deque<std::string>& texts() {
    static auto* t = new std::deque<std::string>;
    return *t;
}

const char* keep(std::string text) { return texts().emplace_back(std::move(text)).c_str(); }

// The name argument errors give: "_Bias__getCount" is "__getCount".
std::string reported_name(const char* name) {
    const char* mangled = name[0] == '_' && name[1] != '_' ? std::strstr(name, "__") : nullptr;
    return mangled ? std::string(mangled) : std::string(name);
}

}  // namespace

DeclaredParams* Methods::make_params(const char* name, std::initializer_list<const char*> params) {
    auto* names = new const char*[params.size() + 1];
    auto* interned = new PyObject*[params.size() + 1]();
    size_t count = 0, required = 0;
    for (const char* p : params) {
        const char* equals = std::strchr(p, '=');
        names[count++] = equals ? keep(std::string(p, size_t(equals - p))) : p;
        if (!equals) required = count;
    }
    return new DeclaredParams(keep(reported_name(name)), names, interned, count, required);
}

bool Methods::add_row(const char* name, PyCFunction fn, std::initializer_list<const char*> params,
                      std::string_view doc, bool self) {
    std::string text = std::string(name) + "(";
    const char* sep = "";
    if (self) {
        text += "$self";
        sep = ", ";
    }
    for (const char* p : params) {
        text += sep;
        text += p;
        sep = ", ";
    }
    text += ")\n--\n\n";
    text += doc;
    if (!rows_) rows_ = new std::vector<PyMethodDef>;
    rows_->push_back({name, fn, METH_FASTCALL | METH_KEYWORDS, keep(std::move(text))});
    return true;
}

bool Methods::refuse(const char* name, const char* why) {
    if (!wrong_) wrong_ = name, why_ = why;
    return false;
}

PyMethodDef* Methods::table(bool pickling) {
    if (wrong_) {
        PyErr_Format(PyExc_SystemError, "the declaration of %s is wrong: %s", wrong_, why_);
        return nullptr;
    }
    if (!rows_) rows_ = new std::vector<PyMethodDef>;
    if (pickling) {
        rows_->push_back({"__reduce__", refuse_reduce, METH_NOARGS, nullptr});
        rows_->push_back({"__setstate__", refuse_reduce, METH_O, nullptr});
    }
    rows_->push_back({nullptr, nullptr, 0, nullptr});
    return rows_->data();
}

}  // namespace zorv

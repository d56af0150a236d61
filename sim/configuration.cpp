// Virtual device: configuration documents and the pixel mask.
//
// A configuration document sets DAC values, thresholds (in keV or raw), bias voltages and the size
// of the pixel mask. Two kinds are understood, each a small subset of its format (see
// docs/virtual-device.md):
//
//   yml:                               xml:
//     dacs:                              <configuration>
//       preamp_bias: 150                   <dac name="preamp_bias" value="150"/>
//     thresholds:                          <threshold id="0:threshold" kev="5.5"/>
//       0:threshold: 5.5                   <threshold id="1:threshold" raw="300"/>
//     rawThresholds:                       <bias id="hv" volts="100"/>
//       1:threshold: 300                   <pixelMask width="256" height="256"/>
//     bias:                              </configuration>
//       hv: 100
//     pixelMask:
//       width: 256
//       height: 256
//
// A document is applied whole or not at all: a malformed one, or a value that the device refuses,
// fails with the line and the problem in the last-error text and changes nothing.
#include "sim.hpp"
#include "zorv/configuration.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

namespace {

using namespace sim;

struct Setting {
    enum Kind { Dac, ThresholdKev, ThresholdRaw, Bias, MaskWidth, MaskHeight } kind;
    std::string key;
    std::string value;
    int line;
};

// A problem of a document: its line (0: the document as a whole), its text and the status.
struct Problem {
    int line = 0;
    std::string text;
    int status = ZORV_INVALID_ARGUMENT;
    bool any() const { return !text.empty(); }
};

std::string quoted(std::string_view s) {
    std::string r(1, '\'');
    r.append(s.data(), s.size());
    r.push_back('\'');
    return r;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// ---- yml ----

// Cuts a comment: '#' at the start or after a blank, outside quotes.
std::string_view strip_comment(std::string_view s) {
    char quote = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '#' && (i == 0 || s[i - 1] == ' ' || s[i - 1] == '\t')) {
            return s.substr(0, i);
        }
    }
    return s;
}

bool parse_yml(std::string_view text, std::vector<Setting>& out, Problem& p) {
    static const struct { const char* name; Setting::Kind kind; } kSections[] = {
        {"dacs", Setting::Dac}, {"thresholds", Setting::ThresholdKev}, {"rawThresholds", Setting::ThresholdRaw},
        {"bias", Setting::Bias}, {"pixelMask", Setting::MaskWidth},
    };
    int line = 0;
    int section = -1;
    size_t indent = 0;
    bool content = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view raw = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        ++line;
        p.line = line;
        std::string_view s = strip_comment(raw);
        size_t lead = 0;
        while (lead < s.size() && (s[lead] == ' ' || s[lead] == '\t')) {
            if (s[lead] == '\t') {
                p.text = "tabs are not allowed for indentation";
                return false;
            }
            ++lead;
        }
        std::string_view body = trim(s);
        if (body.empty()) continue;
        if (body == "---" && lead == 0 && !content) continue;
        content = true;
        // key: the text before the first ':' that ends the line or is followed by a blank.
        std::string key;
        size_t colon = std::string_view::npos;
        if (body.front() == '"' || body.front() == '\'') {
            size_t close = body.find(body.front(), 1);
            if (close == std::string_view::npos) {
                p.text = "a quoted key is not closed";
                return false;
            }
            key = std::string(body.substr(1, close - 1));
            std::string_view rest = trim(body.substr(close + 1));
            if (rest.empty() || rest.front() != ':') {
                p.text = "expected ':' after the key " + quoted(key);
                return false;
            }
            colon = body.size() - rest.size();
        } else {
            for (size_t i = 0; i < body.size(); ++i)
                if (body[i] == ':' && (i + 1 == body.size() || body[i + 1] == ' ' || body[i + 1] == '\t')) {
                    colon = i;
                    break;
                }
            if (colon == std::string_view::npos) {
                p.text = "expected 'key: value', found " + quoted(body);
                return false;
            }
            key = std::string(trim(body.substr(0, colon)));
        }
        std::string_view value = trim(body.substr(colon + 1));
        if (key.empty()) {
            p.text = "a key is empty";
            return false;
        }
        if (lead == 0) {
            if (!value.empty()) {
                p.text = "expected a section such as 'dacs:', found a value for " + quoted(key);
                return false;
            }
            section = -1;
            for (size_t k = 0; k < std::size(kSections); ++k)
                if (key == kSections[k].name) section = int(k);
            if (section < 0) {
                p.text = "unknown section " + quoted(key) + " (known: dacs, thresholds, rawThresholds, bias, pixelMask)";
                return false;
            }
            indent = 0;
            continue;
        }
        if (section < 0) {
            p.text = "an indented entry outside any section";
            return false;
        }
        if (indent == 0) indent = lead;
        if (lead != indent) {
            p.text = "inconsistent indentation (" + std::to_string(lead) + " spaces, the section's entries have " +
                     std::to_string(indent) + ")";
            return false;
        }
        if (value.empty()) {
            p.text = "expected a value after " + quoted(key + ":") + " (nested entries are not supported)";
            return false;
        }
        Setting::Kind kind = kSections[section].kind;
        if (kind == Setting::MaskWidth) {
            if (key == "height") kind = Setting::MaskHeight;
            else if (key != "width") {
                p.text = "unknown pixelMask entry " + quoted(key) + " (known: width, height)";
                return false;
            }
        }
        out.push_back({kind, key, std::string(value), line});
    }
    p = Problem{};
    return true;
}

// ---- xml ----

class XmlReader {
public:
    XmlReader(std::string_view text, Problem& p) : s_(text), p_(p) {}

    bool parse(std::vector<Setting>& out) {
        if (!skip_misc(true)) return false;
        if (at_end()) return fail("expected the root element <configuration>");
        if (!expect_open("configuration")) return false;
        std::vector<std::pair<std::string, std::string>> attrs;
        bool empty = false;
        if (!attributes(attrs, empty)) return false;
        if (!attrs.empty()) return fail("<configuration> takes no attributes, found " + quoted(attrs[0].first));
        while (!empty) {
            if (!skip_misc(false)) return false;
            if (at_end()) return fail("the document ends before </configuration>");
            if (s_.substr(i_, 2) == "</") {
                i_ += 2;
                std::string name = name_here();
                if (name != "configuration") return fail("expected </configuration>, found </" + name + ">");
                skip_blanks();
                if (peek() != '>') return fail("expected '>' to close </configuration>");
                ++i_;
                break;
            }
            if (!element(out)) return false;
        }
        if (!skip_misc(false)) return false;
        if (!at_end()) return fail("unexpected content after </configuration>");
        p_ = Problem{};
        return true;
    }

private:
    bool fail(std::string text) {
        p_.line = line_;
        p_.text = std::move(text);
        return false;
    }
    bool at_end() const { return i_ >= s_.size(); }
    char peek() const { return at_end() ? '\0' : s_[i_]; }
    void advance() {
        if (s_[i_] == '\n') ++line_;
        ++i_;
    }
    void skip_blanks() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\r' || peek() == '\n')) advance();
    }
    bool skip_until(std::string_view end, const char* what) {
        while (!at_end() && s_.substr(i_, end.size()) != end) advance();
        if (at_end()) return fail(std::string(what) + " is not closed");
        i_ += end.size();
        return true;
    }
    // Blanks, comments and (at the start) the declaration; anything else but '<' is text.
    bool skip_misc(bool prolog) {
        for (;;) {
            skip_blanks();
            if (s_.substr(i_, 4) == "<!--") {
                if (!skip_until("-->", "a comment")) return false;
            } else if (prolog && s_.substr(i_, 5) == "<?xml") {
                if (!skip_until("?>", "the declaration")) return false;
                prolog = false;
            } else if (!at_end() && peek() != '<') {
                return fail("unexpected text outside an element");
            } else {
                return true;
            }
        }
    }
    static bool name_char(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
               c == '.' || c == ':';
    }
    std::string name_here() {
        size_t start = i_;
        while (!at_end() && name_char(peek())) ++i_;
        return std::string(s_.substr(start, i_ - start));
    }
    bool expect_open(const char* name) {
        if (peek() != '<') return fail(std::string("expected <") + name + ">");
        ++i_;
        std::string got = name_here();
        if (got != name) return fail(std::string("expected the root element <") + name + ">, found <" + got + ">");
        return true;
    }
    // name="value" pairs up to '>' or "/>".
    bool attributes(std::vector<std::pair<std::string, std::string>>& out, bool& empty) {
        for (;;) {
            size_t before = i_;
            skip_blanks();
            if (at_end()) return fail("the document ends inside a tag");
            if (peek() == '>') {
                ++i_;
                empty = false;
                return true;
            }
            if (s_.substr(i_, 2) == "/>") {
                i_ += 2;
                empty = true;
                return true;
            }
            if (i_ == before) return fail("expected a blank before an attribute");
            std::string name = name_here();
            if (name.empty()) return fail(std::string("unexpected character '") + peek() + "' in a tag");
            skip_blanks();
            if (peek() != '=') return fail("expected '=' after the attribute " + quoted(name));
            ++i_;
            skip_blanks();
            char q = peek();
            if (q != '"' && q != '\'') return fail("the value of the attribute " + quoted(name) + " is not quoted");
            ++i_;
            std::string value;
            while (!at_end() && peek() != q) {
                char c = peek();
                if (c == '<') return fail("'<' inside the value of the attribute " + quoted(name));
                if (c == '&') {
                    size_t semi = s_.find(';', i_);
                    std::string_view entity = semi == std::string_view::npos ? "" : s_.substr(i_, semi - i_ + 1);
                    static const struct { const char* text; char c; } kEntities[] = {
                        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
                    char decoded = 0;
                    for (auto& e : kEntities)
                        if (entity == e.text) decoded = e.c;
                    if (!decoded) return fail("unknown entity in the value of the attribute " + quoted(name));
                    value += decoded;
                    i_ = semi + 1;
                    continue;
                }
                value += c;
                advance();
            }
            if (at_end()) return fail("the value of the attribute " + quoted(name) + " is not closed");
            ++i_;
            for (auto& a : out)
                if (a.first == name) return fail("the attribute " + quoted(name) + " is given twice");
            out.emplace_back(std::move(name), std::move(value));
        }
    }
    // One empty element inside <configuration>.
    bool element(std::vector<Setting>& out) {
        int line = line_;
        ++i_;  // '<'
        std::string name = name_here();
        if (name.empty()) return fail("expected an element name after '<'");
        std::vector<std::pair<std::string, std::string>> attrs;
        bool empty = false;
        if (!attributes(attrs, empty)) return false;
        auto take = [&](const char* key, std::string& value) {
            for (auto it = attrs.begin(); it != attrs.end(); ++it)
                if (it->first == key) {
                    value = it->second;
                    attrs.erase(it);
                    return true;
                }
            return false;
        };
        auto finish = [&](const char* usage) {
            if (!empty) {
                p_.line = line;
                p_.text = "<" + name + "> must be an empty element: " + usage;
                return false;
            }
            if (!attrs.empty()) {
                p_.line = line;
                p_.text = "unknown attribute " + quoted(attrs[0].first) + " of <" + name + ">: " + usage;
                return false;
            }
            return true;
        };
        auto missing = [&](const char* usage) {
            p_.line = line;
            p_.text = "<" + name + "> lacks an attribute: " + usage;
            return false;
        };
        std::string key, value, other;
        // An element of exactly the attributes `a` and `b`, read into `key` and `value`.
        auto pair = [&](const char* a, const char* b, const char* usage) {
            if (!take(a, key) || !take(b, value)) return missing(usage);
            return finish(usage);
        };
        if (name == "dac") {
            if (!pair("name", "value", "<dac name=\"...\" value=\"...\"/>")) return false;
            out.push_back({Setting::Dac, key, value, line});
        } else if (name == "threshold") {
            const char* usage = "<threshold id=\"...\" kev=\"...\"/> or <threshold id=\"...\" raw=\"...\"/>";
            bool kev = take("kev", value), raw = take("raw", other);
            if (!take("id", key) || kev == raw) return missing(usage);
            if (!finish(usage)) return false;
            out.push_back({kev ? Setting::ThresholdKev : Setting::ThresholdRaw, key, kev ? value : other, line});
        } else if (name == "bias") {
            if (!pair("id", "volts", "<bias id=\"...\" volts=\"...\"/>")) return false;
            out.push_back({Setting::Bias, key, value, line});
        } else if (name == "pixelMask") {
            if (!pair("width", "height", "<pixelMask width=\"...\" height=\"...\"/>")) return false;
            out.push_back({Setting::MaskWidth, "width", key, line});
            out.push_back({Setting::MaskHeight, "height", value, line});
        } else {
            p_.line = line;
            p_.text = "unknown element <" + name + "> (known: dac, threshold, bias, pixelMask)";
            return false;
        }
        return true;
    }

    std::string_view s_;
    Problem& p_;
    size_t i_ = 0;
    int line_ = 1;
};

// ---- values ----

bool parse_int(const std::string& s, int& out) {
    if (s.empty() || std::isspace((unsigned char)s[0])) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (*end || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    out = int(v);
    return true;
}

bool parse_real(const std::string& s, double& out) {
    if (s.empty() || std::isspace((unsigned char)s[0])) return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (*end || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// Applies the settings to copies of the areas and commits them only when every one was accepted.
Problem apply_settings(Device& dev, const std::vector<Setting>& settings) {
    Problem p;
    ChipArea chip = dev.chip;
    std::vector<BiasSupply> biases = dev.supplies.biases;
    int maskWidth = 0, maskHeight = 0, maskLine = 0;
    double t = now();
    for (const Setting& s : settings) {
        p.line = s.line;
        int i = 0;
        double d = 0;
        std::string error;
        switch (s.kind) {
        case Setting::Dac:
            if (!parse_int(s.value, i)) p.text = "expected an integer for DAC " + quoted(s.key) + ", found " + quoted(s.value);
            else if ((p.status = set_dac(chip, s.key, i, error))) p.text = error;
            break;
        case Setting::ThresholdRaw:
            if (!parse_int(s.value, i))
                p.text = "expected an integer raw value for threshold " + quoted(s.key) + ", found " + quoted(s.value);
            else if ((p.status = set_threshold_raw(chip, s.key, i, error))) p.text = error;
            break;
        case Setting::ThresholdKev:
            if (!parse_real(s.value, d))
                p.text = "expected a number of keV for threshold " + quoted(s.key) + ", found " + quoted(s.value);
            else if ((p.status = set_threshold_kev(chip, s.key, d, error))) p.text = error;
            break;
        case Setting::Bias: {
            BiasSupply* b = nullptr;
            for (auto& x : biases)
                if (x.id == s.key) b = &x;
            if (!parse_real(s.value, d)) {
                p.text = "expected a number of volts for bias " + quoted(s.key) + ", found " + quoted(s.value);
            } else if (!b) {
                p.text = "no bias supply with the identifier " + quoted(s.key);
            } else if (d < b->min || d > b->max) {
                char text[160];
                std::snprintf(text, sizeof text, "bias %g V is outside the range [%g, %g] of '%s'", d, b->min, b->max,
                              s.key.c_str());
                p.text = text;
            } else {
                b->from = bias_voltage(*b, t);
                b->since = t;
                b->target = d;
            }
            break;
        }
        case Setting::MaskWidth:
        case Setting::MaskHeight:
            if (!parse_int(s.value, i) || i < 1 || i > kMaxMaskSide) {
                p.text = "expected a pixel mask " + s.key + " from 1 to " + std::to_string(kMaxMaskSide) + ", found " +
                         quoted(s.value);
            } else {
                (s.kind == Setting::MaskWidth ? maskWidth : maskHeight) = i;
                maskLine = s.line;
            }
            break;
        }
        if (p.any()) {
            if (p.status >= 0) p.status = ZORV_INVALID_ARGUMENT;
            return p;
        }
    }
    if ((maskWidth == 0) != (maskHeight == 0)) {
        p.line = maskLine;
        p.text = "the pixel mask needs both its width and its height";
        p.status = ZORV_INVALID_ARGUMENT;
        return p;
    }
    dev.chip = std::move(chip);
    dev.supplies.biases = std::move(biases);
    if (maskWidth) {
        dev.memory.maskWidth = maskWidth;
        dev.memory.maskHeight = maskHeight;
        dev.memory.mask.assign(size_t(maskWidth) * size_t(maskHeight), 0);  // a new size unmasks every pixel
    }
    return Problem{};
}

Json mask_length_arg(const pixel_mask* mask) { return mask ? Json((unsigned long long)mask->data_len) : Json(); }

}  // namespace

extern "C" {

int zorv_load_configuration(zorv_ctx_t* ctx, const char* type, const char* content) {
    Call call(__func__, ctx, type, content);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, type && content);
    if (!dev) return call.status();
    std::string kind = type;
    std::vector<Setting> settings;
    Problem p;
    if (kind == "yml") parse_yml(content, settings, p);
    else if (kind == "xml") XmlReader(content, p).parse(settings);
    else return call.fail(ZORV_INVALID_ARGUMENT, "unknown configuration kind '%s': expected 'xml' or 'yml'", type);
    if (!p.any()) {
        if (acquiring(*dev)) return call.fail(ZORV_INVALID_OPERATION, "a configuration cannot be loaded while acquiring");
        p = apply_settings(*dev, settings);
    }
    if (p.any()) return call.fail(p.status, "%s configuration, line %d: %s", type, p.line, p.text.c_str());
    return call.done(0);
}

int zorv_get_pixel_mask_size(zorv_ctx_t* ctx, pixel_mask_size* size) {
    Call call(__func__, ctx);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, size);
    if (!dev) return call.status();
    mask_size(*dev, size->width, size->height);
    return call.done(0, &size->width, &size->height);
}

// The one out-value is the number of bytes delivered.
int zorv_get_pixel_mask(zorv_ctx_t* ctx, pixel_mask* mask, size_t* delivered) {
    Call call(__func__, ctx, mask_length_arg(mask));
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, mask && delivered && (mask->data || mask->data_len == 0));
    if (!dev) return call.status();
    size_t w, h;
    mask_size(*dev, w, h);
    const std::vector<uint8_t>& bytes = mask_bytes(*dev);
    if (mask->data_len < bytes.size())
        return call.fail(ZORV_INVALID_ARGUMENT, "a buffer of %zu bytes is too small for the %zu x %zu pixel mask (%zu bytes)", mask->data_len,
                          w, h, bytes.size());
    if (!bytes.empty()) std::memcpy(mask->data, bytes.data(), bytes.size());
    *delivered = bytes.size();
    return call.done(0, delivered);
}

int zorv_set_pixel_mask(zorv_ctx_t* ctx, const pixel_mask* mask) {
    Call call(__func__, ctx, mask_length_arg(mask));
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, mask && (mask->data || mask->data_len == 0));
    if (!dev) return call.status();
    call.note_bytes("data", mask->data, mask->data_len);
    size_t w, h;
    mask_size(*dev, w, h);
    std::vector<uint8_t>& bytes = mask_bytes(*dev);
    if (mask->data_len != bytes.size())
        return call.fail(ZORV_INVALID_ARGUMENT, "a mask of %zu bytes does not fit the %zu x %zu pixel mask (%zu bytes)", mask->data_len, w, h,
                          bytes.size());
    if (!bytes.empty()) std::memcpy(bytes.data(), mask->data, bytes.size());
    return call.done(0);
}

}  // extern "C"

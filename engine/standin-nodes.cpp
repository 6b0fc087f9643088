#include "standin-nodes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "standin-com.h"

namespace standin {

namespace {

constexpr double int_low = -2147483648.0;
constexpr double int_high = 2147483647.0;
constexpr double uint_high = 4294967295.0;

constexpr const wchar_t* resize_methods[] = {L"lanczos", L"nearest"};
constexpr const wchar_t* convert_targets[] = {L"BGR24", L"BGRA32"};

property_rule number(const wchar_t* name, value_kind kind, double low, double high, bool required = true) {
    return {name, kind, low, high, required, {}};
}

// The ranges are those the plug-in's sliders can produce after its scalings (see the stage jobs): a
// value outside them means the plug-in computed a text wrongly.
const property_rule reduce_noise_properties[] = {
    number(L"reduce-intensity", value_kind::real, 0.1, 30.0),
    number(L"intensity-color", value_kind::real, 0.1, 30.0),
    number(L"tile-size", value_kind::signed_int, 3, 51),
    number(L"search-size", value_kind::signed_int, 7, 33),
    number(L"blend-intensity", value_kind::real, 0.01, 1.0),
};
const property_rule bilateral_properties[] = {
    number(L"val-square-sigma", value_kind::signed_int, 4, 1200),
    number(L"pos-square-sigma", value_kind::signed_int, 1, 300),
    number(L"radius", value_kind::signed_int, 1, 25),
    number(L"blending", value_kind::real, 0.01, 1.0),
};
const property_rule natural_enhance_properties[] = {
    number(L"enhance-intensity", value_kind::real, 0.0, 1.0),
    number(L"ratio-red", value_kind::real, 0.0, 1.0),
    number(L"ratio-green", value_kind::real, 0.0, 1.0),
    number(L"ratio-blue", value_kind::real, 0.0, 1.0),
    number(L"balance-intensity", value_kind::real, 0.0, 1.0),
    number(L"tolerance", value_kind::real, 0.0, 0.02),
    number(L"ahe-scope", value_kind::real, 1.0, 2.0),
    number(L"avg-segment-size", value_kind::signed_int, 24, 512),
};
const property_rule circle_properties[] = {
    number(L"X", value_kind::signed_int, int_low, int_high),
    number(L"Y", value_kind::signed_int, int_low, int_high),
    number(L"radius", value_kind::unsigned_int, 1, int_high),
};
const property_rule red_eye_properties[] = {
    number(L"border-width", value_kind::unsigned_int, 0, 30),
    number(L"intensity", value_kind::real, 0.0, 2.0),
};
const property_rule rectangle_properties[] = {
    number(L"x", value_kind::unsigned_int, 0, int_high),
    number(L"y", value_kind::unsigned_int, 0, int_high),
    number(L"width", value_kind::unsigned_int, 1, int_high),
    number(L"height", value_kind::unsigned_int, 1, int_high),
};
const property_rule tilt_shift_properties[] = {
    number(L"blur-radius", value_kind::signed_int, 1, 150),
    number(L"border-size-relative", value_kind::real, 0.01, 0.5),
};
const property_rule intensity_properties[] = {
    number(L"intensity", value_kind::real, 0.01, 1.0, false),
};
const property_rule resize_properties[] = {
    number(L"width", value_kind::signed_int, 1, 65535),
    number(L"height", value_kind::signed_int, 1, 65535),
    {L"method", value_kind::choice, 0, 0, true, resize_methods},
};
const property_rule convert_properties[] = {
    {L"to", value_kind::choice, 0, 0, true, convert_targets},
    number(L"alpha-background", value_kind::hex_colour, 0, 0xffffff, false),
};

const node_rule circle_spec{L"Circle", node_kind::circle, 0, circle_properties, nullptr, 0, false};
const node_rule focused_rect_spec{
    L"focused-rect", node_kind::rectangle, 0, rectangle_properties, nullptr, 0, false};
const node_rule impact_rect_spec{L"impact-rect", node_kind::rectangle, 0, rectangle_properties, nullptr, 0,
                                 false};

struct named_look {
    const wchar_t* name;
    film_look look;
};

// One distinct transform per look; the first four have no intensity and are monochrome.
const named_look film_looks[] = {
    {L"KODAKPLUSX125", {true, 0.0f, 1.10f, 0.30f, 0.59f, 0.11f, 0.00f, 0.00f, 0.00f}},
    {L"AGFAAPX100", {true, 0.0f, 1.00f, 0.25f, 0.65f, 0.10f, 0.00f, 0.00f, 0.00f}},
    {L"KODAKPANATOMX", {true, 0.0f, 1.20f, 0.40f, 0.45f, 0.15f, 0.00f, 0.00f, 0.00f}},
    {L"POLAPAN", {true, 0.0f, 0.90f, 0.33f, 0.34f, 0.33f, 0.02f, 0.02f, 0.02f}},
    {L"PRINT100", {false, 1.30f, 1.20f, 1.05f, 1.00f, 0.85f, 0.00f, 0.02f, 0.05f}},
    {L"AGFAOPTIMA", {false, 1.10f, 1.05f, 1.02f, 1.00f, 0.96f, 0.01f, 0.00f, 0.00f}},
    {L"EPPHIGHCONTRASTCYAN", {false, 0.90f, 1.35f, 0.85f, 1.00f, 1.05f, 0.00f, 0.03f, 0.06f}},
    {L"EPPHIGHCONTRASTBLUE", {false, 0.90f, 1.35f, 0.90f, 0.95f, 1.12f, 0.00f, 0.00f, 0.08f}},
    {L"FUJIPROVIA100F", {false, 1.20f, 1.10f, 0.98f, 1.03f, 1.00f, 0.00f, 0.01f, 0.00f}},
    {L"FUJISENSIA", {false, 1.15f, 1.00f, 0.97f, 1.04f, 1.02f, 0.00f, 0.00f, 0.01f}},
    {L"KODAKE100S", {false, 1.25f, 1.08f, 1.03f, 1.00f, 0.98f, 0.01f, 0.00f, 0.00f}},
    {L"OWNVIOLET", {false, 1.10f, 1.15f, 1.06f, 0.90f, 1.10f, 0.03f, 0.00f, 0.04f}},
    {L"LOMOAGFA", {false, 1.40f, 1.30f, 1.04f, 1.02f, 0.90f, 0.00f, 0.00f, 0.00f}},
    {L"LOMOFUJI", {false, 1.35f, 1.25f, 0.92f, 1.06f, 1.00f, 0.00f, 0.02f, 0.00f}},
    {L"LOMOKONICA", {false, 1.30f, 1.28f, 1.08f, 0.98f, 0.92f, 0.02f, 0.00f, 0.00f}},
    {L"TECHNICOLORPROCESS2STRIP", {false, 1.50f, 1.10f, 1.10f, 0.92f, 0.95f, 0.00f, 0.00f, 0.02f}},
    {L"HELGA", {false, 0.80f, 1.20f, 1.05f, 1.00f, 0.90f, 0.05f, 0.03f, 0.00f}},
    {L"TEJAS", {false, 0.85f, 0.95f, 1.04f, 1.02f, 0.94f, 0.04f, 0.03f, 0.02f}},
    {L"KAIMAL", {false, 0.75f, 1.10f, 1.10f, 1.00f, 0.88f, 0.06f, 0.02f, 0.00f}},
    {L"ALFRED", {false, 1.05f, 1.12f, 1.00f, 1.05f, 1.08f, 0.00f, 0.00f, 0.03f}},
    {L"LUCIFER", {false, 1.20f, 1.40f, 1.12f, 0.90f, 0.85f, 0.02f, 0.00f, 0.00f}},
    {L"VIOLET", {false, 0.95f, 1.00f, 1.03f, 0.92f, 1.12f, 0.02f, 0.00f, 0.05f}},
    {L"JIMMY", {false, 0.70f, 1.05f, 1.00f, 1.00f, 1.00f, 0.05f, 0.05f, 0.05f}},
    {L"LORDKELVIN", {false, 1.20f, 1.15f, 1.15f, 1.00f, 0.80f, 0.04f, 0.02f, 0.00f}},
    {L"XPROII", {false, 1.30f, 1.35f, 1.02f, 1.05f, 0.88f, 0.00f, 0.01f, 0.06f}},
    {L"SUTRO", {false, 0.60f, 1.20f, 1.05f, 0.95f, 0.95f, 0.00f, 0.00f, 0.00f}},
    {L"LOMOFI", {false, 1.45f, 1.40f, 1.00f, 1.00f, 1.00f, 0.00f, 0.00f, 0.00f}},
    {L"APOLLO", {false, 0.90f, 0.90f, 0.98f, 1.02f, 1.06f, 0.03f, 0.04f, 0.05f}},
    {L"EARLYBIRD", {false, 0.80f, 0.92f, 1.10f, 1.00f, 0.85f, 0.06f, 0.04f, 0.00f}},
    {L"TOASTER", {false, 1.10f, 1.05f, 1.18f, 0.95f, 0.82f, 0.05f, 0.00f, 0.00f}},
    {L"POPROCKET", {false, 1.25f, 1.10f, 1.10f, 0.95f, 1.00f, 0.04f, 0.00f, 0.02f}},
    {L"YR1977", {false, 0.90f, 0.95f, 1.08f, 0.98f, 1.00f, 0.06f, 0.02f, 0.03f}},
    {L"POLAROID", {false, 0.95f, 0.98f, 1.02f, 1.02f, 0.98f, 0.03f, 0.03f, 0.02f}},
    {L"POLA600", {false, 0.85f, 1.02f, 1.06f, 1.00f, 0.94f, 0.04f, 0.02f, 0.04f}},
    {L"VIGNCROSSED", {false, 1.35f, 1.30f, 0.95f, 1.08f, 0.86f, 0.00f, 0.00f, 0.04f}},
    {L"CYANSPOT", {false, 1.00f, 1.10f, 0.86f, 1.04f, 1.06f, 0.00f, 0.02f, 0.03f}},
    {L"WARMGREEN", {false, 1.05f, 1.00f, 1.02f, 1.10f, 0.90f, 0.02f, 0.03f, 0.00f}},
    {L"HOLGASEPIA", {false, 0.00f, 1.15f, 1.08f, 0.95f, 0.78f, 0.04f, 0.02f, 0.00f}},
    {L"SEPIA", {false, 0.00f, 1.00f, 1.10f, 0.98f, 0.80f, 0.05f, 0.03f, 0.00f}},
};

std::vector<node_rule> make_node_specs() {
    std::vector<node_rule> rules{
        {L"reduce-noise", node_kind::reduce_noise, 0, reduce_noise_properties, nullptr, 0, false},
        {L"bilateral-filter", node_kind::bilateral_filter, 0, bilateral_properties, nullptr, 0, false},
        {L"natural-enhance", node_kind::natural_enhance, 0, natural_enhance_properties, nullptr, 0, false},
        {L"remove-red-eyes", node_kind::remove_red_eyes, 0, red_eye_properties, &circle_spec, 0x7fffffff,
         true},
        {L"tilt-shift", node_kind::tilt_shift, 0, tilt_shift_properties, &focused_rect_spec, 1, false},
        {L"grain-regular", node_kind::grain, 0, intensity_properties, nullptr, 0, false},
        {L"grain-fat", node_kind::grain, 1, intensity_properties, nullptr, 0, false},
        {L"grain-fractal", node_kind::grain, 2, intensity_properties, nullptr, 0, false},
        {L"resize", node_kind::resize, 0, resize_properties, &impact_rect_spec, 1, false},
        {L"convert", node_kind::convert, 0, convert_properties, nullptr, 0, false},
    };
    for (int i = 0; i != static_cast<int>(std::size(film_looks)); ++i) {
        std::span<const property_rule> properties;
        if (!film_looks[i].look.monochrome)
            properties = intensity_properties;
        rules.push_back({film_looks[i].name, node_kind::film, i, properties, nullptr, 0, false});
    }
    return rules;
}

const std::vector<node_rule>& node_rules() {
    static const std::vector<node_rule> rules = make_node_specs();
    return rules;
}

bool is_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Every reader takes the whole text or nothing: a trailing blank or a comma is as wrong as a letter.
bool read_integer(std::wstring_view text, bool allow_sign, double& value) {
    bool negative = allow_sign && !text.empty() && text.front() == L'-';
    if (negative)
        text.remove_prefix(1);
    if (text.empty() || text.size() > 10)
        return false;
    std::int64_t v = 0;
    for (wchar_t c : text) {
        if (!is_digit(c))
            return false;
        v = v * 10 + (c - L'0');
    }
    value = static_cast<double>(negative ? -v : v);
    return true;
}

bool read_real(std::wstring_view text, double& value) {
    bool negative = !text.empty() && text.front() == L'-';
    if (negative)
        text.remove_prefix(1);
    std::size_t point = text.find(L'.');
    std::wstring_view whole = text.substr(0, point);
    std::wstring_view fraction =
        point == std::wstring_view::npos ? std::wstring_view{} : text.substr(point + 1);
    if (whole.empty() || whole.size() > 15 || (point != std::wstring_view::npos && fraction.empty()))
        return false;
    double v = 0.0;
    for (wchar_t c : whole) {
        if (!is_digit(c))
            return false;
        v = v * 10.0 + (c - L'0');
    }
    double scale = 1.0;
    for (wchar_t c : fraction) {
        if (!is_digit(c))
            return false;
        scale /= 10.0;
        v += (c - L'0') * scale;
    }
    value = negative ? -v : v;
    return true;
}

bool read_hex_colour(std::wstring_view text, double& value) {
    if (text.size() != 8)
        return false;
    std::uint32_t v = 0;
    for (wchar_t c : text) {
        int digit = is_digit(c) ? c - L'0' : (c >= L'a' && c <= L'f') ? c - L'a' + 10 : -1;
        if (digit < 0)
            return false;
        v = v * 16 + static_cast<std::uint32_t>(digit);
    }
    value = v;
    return true;
}

const wchar_t* kind_text(value_kind kind) {
    switch (kind) {
    case value_kind::signed_int:
        return L"an integer";
    case value_kind::unsigned_int:
        return L"an unsigned integer";
    case value_kind::real:
        return L"a decimal number";
    case value_kind::choice:
        return L"one of the known words";
    case value_kind::hex_colour:
        return L"eight lower-case hexadecimal digits";
    }
    return L"";
}

} // namespace

std::wstring number_text(double value) {
    std::wstring text;
    if (value < 0) {
        text = L"-";
        value = -value;
    }
    auto micro = static_cast<std::uint64_t>(std::llround(value * 1e6));
    text += std::to_wstring(micro / 1000000);
    if (auto fraction = micro % 1000000; fraction != 0) {
        std::wstring digits = std::to_wstring(fraction);
        digits.insert(0, 6 - digits.size(), L'0');
        while (digits.back() == L'0')
            digits.pop_back();
        text += L"." + digits;
    }
    return text;
}

std::wstring quoted(std::wstring_view text) {
    return L"\"" + std::wstring(text) + L"\"";
}

bool node_settings::has(std::wstring_view name) const {
    for (const auto& [rule, value] : values)
        if (name == rule->name)
            return true;
    return false;
}

double node_settings::number(std::wstring_view name, double fallback) const {
    for (const auto& [rule, value] : values)
        if (name == rule->name)
            return value;
    return fallback;
}

const node_rule& find_node_spec(std::wstring_view name) {
    for (const node_rule& rule : node_rules())
        if (name == rule.name)
            return rule;
    invalid(L"unknown node " + quoted(name));
}

const node_rule& find_child_spec(const node_rule& parent, std::wstring_view name) {
    if (parent.child == nullptr || name != parent.child->name)
        invalid(L"node " + quoted(parent.name) + L" has no child " + quoted(name));
    return *parent.child;
}

void set_node_property(node_settings& node, std::wstring_view name, std::wstring_view text) {
    const node_rule& rule = *node.rule;
    std::wstring where = L"property " + quoted(name) + L" of node " + quoted(rule.name);
    if (node.committed)
        invalid(where + L": the node is already committed");
    const property_rule* property = nullptr;
    for (const property_rule& p : rule.properties)
        if (name == p.name)
            property = &p;
    if (property == nullptr)
        invalid(L"node " + quoted(rule.name) + L" has no property " + quoted(name));

    double value = 0.0;
    bool read = false;
    switch (property->kind) {
    case value_kind::signed_int:
        read = read_integer(text, true, value);
        break;
    case value_kind::unsigned_int:
        read = read_integer(text, false, value);
        break;
    case value_kind::real:
        read = read_real(text, value);
        break;
    case value_kind::hex_colour:
        read = read_hex_colour(text, value);
        break;
    case value_kind::choice:
        for (std::size_t i = 0; i != property->choices.size(); ++i)
            if (text == property->choices[i]) {
                value = static_cast<double>(i);
                read = true;
            }
        break;
    }
    if (!read)
        invalid(where + L": " + quoted(text) + L" is not " + kind_text(property->kind));
    if (property->kind != value_kind::choice) {
        // The plug-in prints floats computed in single precision with six decimals, so its texts may
        // miss a bound by a few millionths.
        double slack =
            property->kind == value_kind::real ? 1e-5 * std::max(1.0, std::fabs(property->high)) : 0.0;
        if (value < property->low - slack || value > property->high + slack)
            invalid(where + L": " + quoted(text) + L" is outside " + number_text(property->low) + L" to " +
                    number_text(property->high));
    }
    for (auto& entry : node.values)
        if (entry.first == property) {
            entry.second = value;
            return;
        }
    node.values.emplace_back(property, value);
}

void check_complete(const node_settings& node) {
    for (const property_rule& p : node.rule->properties)
        if (p.required && !node.has(p.name))
            invalid(L"node " + quoted(node.rule->name) + L" lacks property " + quoted(p.name));
    for (const auto& child : node.children)
        if (!child->committed)
            invalid(L"child " + quoted(child->rule->name) + L" of node " + quoted(node.rule->name) +
                    L" is not committed");
}

const film_look& film_look_of(int variant) {
    return film_looks[variant].look;
}

} // namespace standin

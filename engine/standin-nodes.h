// The filter nodes the stand-in engine knows, with their children and properties, and the strict
// reading of property texts. The plug-in sends every parameter as text; a name the engine does not
// know, a text it cannot read or a value outside what the plug-in can produce is refused with a
// description that names it, so a wrong text shows up at once instead of as a subtly wrong picture.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

enum class value_kind {
    signed_int,   // optional "-", decimal digits
    unsigned_int, // decimal digits
    real,         // optional "-", digits, optionally "." and digits; no exponent, no locale
    choice,       // one of a fixed list of words, stored as its index
    hex_colour,   // exactly eight lower-case hexadecimal digits, 0x00rrggbb
};

struct property_rule {
    const wchar_t* name;
    value_kind kind;
    double low;
    double high;
    bool required;
    std::span<const wchar_t* const> choices;
};

enum class node_kind {
    reduce_noise,
    bilateral_filter,
    natural_enhance,
    remove_red_eyes,
    tilt_shift,
    film,
    grain,
    resize,
    convert,
    circle,
    rectangle,
};

struct node_rule {
    const wchar_t* name;
    node_kind kind;
    int variant; // the film look's index, or the grain kind
    std::span<const property_rule> properties;
    const node_rule* child; // the one kind of child the node takes, or null
    int most_children;
    bool needs_shared_data; // nodes that keep state between runs take a shared data object, others none
};

// A node's values as read from its texts; numbers are kept as doubles (every 32-bit integer fits),
// choices as their index. A committed node never changes again, so operations built from it share it
// with its chain instead of copying it.
struct node_settings {
    const node_rule* rule = nullptr;
    std::vector<std::pair<const property_rule*, double>> values;
    std::vector<std::shared_ptr<node_settings>> children;
    bool committed = false;

    bool has(std::wstring_view name) const;
    double number(std::wstring_view name, double fallback = 0.0) const;
    int integer(std::wstring_view name, int fallback = 0) const {
        return static_cast<int>(number(name, fallback));
    }
};

// The node of that name, or a failure naming it.
const node_rule& find_node_spec(std::wstring_view name);
const node_rule& find_child_spec(const node_rule& parent, std::wstring_view name);

// Reads the text for the named property into the settings, or fails naming node, property and text.
void set_node_property(node_settings& node, std::wstring_view name, std::wstring_view text);

// Fails when a required property is missing or a child is not committed.
void check_complete(const node_settings& node);

// The colour transform of a film look: saturation, contrast, channel gains and offsets. The looks
// without an intensity are monochrome mixes (gains are then the channel weights).
struct film_look {
    bool monochrome;
    float saturation, contrast;
    float gain_r, gain_g, gain_b;
    float offset_r, offset_g, offset_b;
};
const film_look& film_look_of(int variant);

// Numbers in descriptions, written without the locale: up to six decimals, trailing zeros dropped.
std::wstring number_text(double value);
std::wstring quoted(std::wstring_view text);

} // namespace standin

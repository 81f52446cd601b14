#include "explore_state.h"

#include "Light_Controller.h"
#include "Lock_Controller.h"
#include "Sound_Controller.h"
#include "pw_control2.h"

#include <type_traits>

namespace {

constexpr int timer_bits = 10;     // 0 to 1000
constexpr int lock_timer_bits = 9; // 0 to 300
constexpr int digit_bits = 4;

// The packed fields side by side, the first lowest: their widths in the order of `each_field`.
constexpr int field_widths[] = {3,          timer_bits, 3, digit_bits, digit_bits,
                                digit_bits, digit_bits, 1, digit_bits, digit_bits,
                                digit_bits, digit_bits, 1, 2,          lock_timer_bits,
                                1,          1,          3, timer_bits, 1,
                                timer_bits, 1,          1, 1};
constexpr int field_count = sizeof field_widths / sizeof field_widths[0];
constexpr int field_offset(int field) {
    int at = 0;
    for (int i = 0; i < field; ++i) {
        at += field_widths[i];
    }
    return at;
}
static_assert(field_offset(field_count) <= 96, "a state packs into 96 bits");
constexpr bool widths_within(int most) {
    for (int width : field_widths) {
        if (width < 1 || width > most) {
            return false;
        }
    }
    return true;
}
static_assert(widths_within(timer_bits), "every field has 1 to timer_bits bits");

template <int I> using field_number = std::integral_constant<int, I>;

// Packs or unpacks every field in one order: `field(value, field_number<I>)` for each, so that
// every width and offset is a constant where it is used.
static_assert(code_length == 4);
template <typename Values, typename Field> void each_field(Values& v, Field field) {
    field(v.pw_state, field_number<0>{});
    field(v.pw_timer, field_number<1>{});
    field(v.count, field_number<2>{});
    field(v.digits[0], field_number<3>{});
    field(v.digits[1], field_number<4>{});
    field(v.digits[2], field_number<5>{});
    field(v.digits[3], field_number<6>{});
    field(v.registered, field_number<7>{});
    field(v.code[0], field_number<8>{});
    field(v.code[1], field_number<9>{});
    field(v.code[2], field_number<10>{});
    field(v.code[3], field_number<11>{});
    field(v.locked_mirror, field_number<12>{});
    field(v.lock_state, field_number<13>{});
    field(v.lock_timer, field_number<14>{});
    field(v.changed, field_number<15>{});
    field(v.locked, field_number<16>{});
    field(v.sound_state, field_number<17>{});
    field(v.sound_timer, field_number<18>{});
    field(v.light_state, field_number<19>{});
    field(v.light_timer, field_number<20>{});
    field(v.backlight, field_number<21>{});
    field(v.door, field_number<22>{});
    field(v.cover, field_number<23>{});
}

} // namespace

void merge_counters(lock_values& v) {
    if (v.pw_state != pw_entering) {
        v.pw_timer = 0;
    }
    if (v.lock_state != lock_closing) {
        v.lock_timer = 0;
    }
    if (v.sound_state != sound_waiting) {
        v.sound_timer = 0;
    }
    if (v.light_state != light_on) {
        v.light_timer = 0;
    } else if (v.light_timer > light_limit) {
        v.light_timer = light_limit;
    }
    for (int i = v.count < 0 ? 0 : v.count; i < code_length; ++i) {
        v.digits[i] = 0;
    }
    if (v.registered == 0) {
        for (std::int32_t& digit : v.code) {
            digit = 0;
        }
    }
}

void relabel_digits(lock_values& v, const std::vector<int>& alphabet, int mapping[10]) {
    for (int d = 0; d < 10; ++d) {
        mapping[d] = -1;
    }
    std::size_t next = 0;
    const auto label = [&](std::int32_t& digit) {
        if (digit < 0 || digit > 9) {
            return; // out of range: packing refuses it
        }
        if (mapping[digit] < 0 && next < alphabet.size()) {
            mapping[digit] = alphabet[next++];
        }
        digit = mapping[digit];
    };
    if (v.registered != 0) {
        for (std::int32_t& digit : v.code) {
            label(digit);
        }
    }
    for (int i = 0; i < v.count && i < code_length; ++i) {
        label(v.digits[i]);
    }
    // Digits the state does not hold take the labels left, in order, so that the mapping is a
    // permutation of the alphabet.
    for (int d : alphabet) {
        if (mapping[d] < 0 && next < alphabet.size()) {
            mapping[d] = alphabet[next++];
        }
    }
}

bool pack(const lock_values& values, packed_state& packed) {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    // A value's bits above its width, where it has any, show that it does not fit (a negative
    // value has them all). A value that fits needs no mask.
    std::uint64_t beyond = 0;
    each_field(values, [&](auto value, auto number) {
        constexpr int width = field_widths[decltype(number)::value];
        constexpr int at = field_offset(decltype(number)::value);
        const auto u = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        beyond |= u >> width;
        if constexpr (at >= 64) {
            high |= u << (at - 64);
        } else {
            low |= u << at;
            if constexpr (at + width > 64) { // the field straddles the two words
                high |= u >> (64 - at);
            }
        }
    });
    packed = {low, static_cast<std::uint32_t>(high)};
    return beyond == 0;
}

lock_values unpack(const packed_state& packed) {
    lock_values values;
    each_field(values, [&](auto& value, auto number) {
        constexpr int width = field_widths[decltype(number)::value];
        constexpr int at = field_offset(decltype(number)::value);
        std::uint64_t u = 0;
        if constexpr (at >= 64) {
            u = std::uint64_t{packed.high} >> (at - 64);
        } else if constexpr (at + width > 64) {
            u = packed.low >> at | std::uint64_t{packed.high} << (64 - at);
        } else {
            u = packed.low >> at;
        }
        value = static_cast<std::remove_reference_t<decltype(value)>>(
            u & ((std::uint64_t{1} << width) - 1));
    });
    return values;
}

namespace {

// The packed counter field I replaced by its value's entry in `table`.
template <int I>
void replace_field(std::uint64_t& low, std::uint64_t& high, const std::uint16_t* table) {
    constexpr int width = field_widths[I];
    constexpr int at = field_offset(I);
    constexpr std::uint64_t mask = (std::uint64_t{1} << width) - 1;
    std::uint64_t& word = at >= 64 ? high : low;
    constexpr int shift = at >= 64 ? at - 64 : at;
    static_assert(at >= 64 || at + width <= 64, "a counter does not straddle the two words");
    const std::uint64_t value = word >> shift & mask;
    word = (word & ~(mask << shift)) | (std::uint64_t{table[value]} & mask) << shift;
}

} // namespace

packed_state replace_counters(const packed_state& packed,
                              const std::uint16_t (*tables)[counter_values]) {
    static_assert(timer_bits <= 10 && lock_timer_bits <= 10, "a counter's table holds its values");
    std::uint64_t low = packed.low;
    std::uint64_t high = packed.high;
    replace_field<1>(low, high, tables[counter_pw]);
    replace_field<14>(low, high, tables[counter_lock]);
    replace_field<18>(low, high, tables[counter_sound]);
    replace_field<20>(low, high, tables[counter_light]);
    return {low, static_cast<std::uint32_t>(high)};
}

std::string digit_text(const std::int32_t* digits, int count) {
    if (count <= 0) {
        return "none";
    }
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += static_cast<char>('0' + digits[i]);
    }
    return text;
}

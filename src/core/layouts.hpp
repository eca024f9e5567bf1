// Each layout's header fields, written once: name, byte offset in the record, type. The
// decoders, vorn's event keys, vornkit's columns and the tests all take them from here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

namespace vorn {

enum class FieldType : std::uint8_t { I32, U32, U64 };

struct Field {
    const char* name;     // the event dict's key and the column's name
    std::uint8_t offset;  // from the start of the record
    FieldType type;       // little-endian in the file
    bool channel_word;    // WD2: present only when the file has channel words
};

template <FieldType F>
using FieldValue = std::conditional_t<F == FieldType::I32, std::int32_t,
                                      std::conditional_t<F == FieldType::U32, std::uint32_t, std::uint64_t>>;

inline constexpr std::size_t field_size(FieldType t) {
    return t == FieldType::U64 ? 8 : 4;
}

// Little-endian field decoding from unaligned bytes (every supported target is
// little-endian; the assert keeps it that way).
static_assert(std::endian::native == std::endian::little,
              "event files are little-endian; so is every target");
template <class T>
inline T load_le(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline constexpr Field kWD1Fields[] = {
    {"event_size", 0, FieldType::I32, false},  // whole record length in bytes, header included
    {"board_id", 4, FieldType::I32, false},       {"pattern", 8, FieldType::I32, false},
    {"board_channel", 12, FieldType::I32, false}, {"event_counter", 16, FieldType::I32, false},
    {"timestamp", 20, FieldType::I32, false},
};

inline constexpr Field kWD2Fields[] = {
    {"event_counter", 0, FieldType::U32, false},
    {"timestamp", 4, FieldType::U64, false},
    {"samples", 12, FieldType::U32, false},  // per channel
    {"sampling_period", 16, FieldType::U64, false},
    {"channels", 24, FieldType::I32, true},  // the channel word, or the reader's channel count
};

// Calls f(field, value) for each field of a header, in table order. `members` ties the
// header's members in that order; their types are checked against the table.
template <const auto& Table, class Tuple, class F>
inline void for_each_field(Tuple&& members, F&& f) {
    constexpr std::size_t n = std::size(Table);
    static_assert(std::tuple_size_v<std::remove_cvref_t<Tuple>> == n, "a header has one member per field");
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                using M = std::remove_cvref_t<std::tuple_element_t<I, std::remove_cvref_t<Tuple>>>;
                static_assert(std::is_same_v<M, FieldValue<Table[I].type>>,
                              "member type differs from the table");
                f(Table[I], std::get<I>(members));
            }(),
            ...);
    }
    (std::make_index_sequence<n>{});
}

// Decodes the fields present in every record from `p`; channel words are left to the layout.
template <const auto& Table, class Tuple>
inline void decode_fields(const std::uint8_t* p, Tuple&& members) {
    for_each_field<Table>(members, [p](const Field& field, auto& value) {
        if (!field.channel_word) value = load_le<std::remove_cvref_t<decltype(value)>>(p + field.offset);
    });
}

}  // namespace vorn

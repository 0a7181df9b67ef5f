#include "upload/encoders.h"

#include <algorithm>
#include <cstring>

namespace velpic {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit value: a group of three bytes takes two lookups instead of four.
struct PairTable {
    char pairs[4096][2];
    constexpr PairTable() : pairs() {
        for (int i = 0; i < 4096; ++i) {
            pairs[i][0] = kAlphabet[i >> 6];
            pairs[i][1] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

// Whole groups: count groups of three bytes from in, four characters each to out.
void encode_groups(const unsigned char* in, std::size_t count, char* out) {
    for (std::size_t i = 0; i < count; ++i, in += 3, out += 4) {
        const unsigned value = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8) | in[2];
        std::memcpy(out, kPairs.pairs[value >> 12], 2);
        std::memcpy(out + 2, kPairs.pairs[value & 0xFFF], 2);
    }
}

// The four characters of group number `group`, the last one padded when the data ends inside it.
void encode_group(std::string_view data, std::uint64_t group, char out[4]) {
    const std::uint64_t first = group * 3;
    const std::uint64_t rest = data.size() - first;
    unsigned char bytes[3] = {};
    for (std::uint64_t i = 0; i < 3 && i < rest; ++i)
        bytes[i] = static_cast<unsigned char>(data[static_cast<std::size_t>(first + i)]);
    encode_groups(bytes, 1, out);
    // The missing bytes count as zeros; their characters become padding.
    if (rest < 3)
        out[3] = '=';
    if (rest < 2)
        out[2] = '=';
}

} // namespace

std::uint64_t base64_length(std::uint64_t size) {
    return (size + 2) / 3 * 4;
}

std::size_t base64_encode_part(std::string_view data, std::uint64_t offset, char* out, std::size_t length) {
    const std::uint64_t total = base64_length(data.size());
    if (offset >= total)
        return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, total - offset));
    std::size_t written = 0;
    std::uint64_t group = offset / 4;
    char four[4];
    // A start inside a group: its remaining characters.
    if (const auto skip = static_cast<std::size_t>(offset % 4); skip != 0) {
        encode_group(data, group, four);
        const std::size_t take = std::min<std::size_t>(4 - skip, length);
        std::memcpy(out, four + skip, take);
        written = take;
        ++group;
    }
    // Whole groups straight into out, the last group of the data aside (it may need padding).
    const std::uint64_t whole_groups = data.size() / 3;
    if (group < whole_groups) {
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>((length - written) / 4, whole_groups - group));
        encode_groups(reinterpret_cast<const unsigned char*>(data.data()) + group * 3, count, out + written);
        written += count * 4;
        group += count;
    }
    // A group cut by the end of out, or the padded last one.
    if (written < length) {
        encode_group(data, group, four);
        const std::size_t take = std::min<std::size_t>(4, length - written);
        std::memcpy(out + written, four, take);
        written += take;
    }
    return written;
}

std::string base64_encode(std::string_view data) {
    std::string out(static_cast<std::size_t>(base64_length(data.size())), '\0');
    base64_encode_part(data, 0, out.data(), out.size());
    return out;
}

std::string upload_timestamp(const LocalClock& clock) {
    const DateTimeFields now = clock ? clock() : system_local_time();
    // The whole seconds come from the date-time without its milliseconds, which are written separately.
    DateTimeFields whole = now;
    whole.millisecond = 0;
    static const double kBase = text_to_datetime("1970-01-01 08:00:00");
    const double seconds = datetime_difference(datetime_from_fields(whole), kBase, kSeconds);
    return std::to_string(static_cast<long long>(seconds)) + pad_left_zeros(std::to_string(now.millisecond), 3);
}

std::string pad_left_zeros(std::string_view text, long width) {
    std::string out;
    if (width > 0 && static_cast<size_t>(width) > text.size())
        out.assign(static_cast<size_t>(width) - text.size(), '0');
    out.append(text);
    return out;
}

} // namespace velpic
